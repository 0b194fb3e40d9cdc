// cli-bench: how close flashwright-cli, as a process, comes to the line's own
// speed against the paced analyser simulator.
//
//   cli-bench [--runs KIB@BAUD,...] [--fleet N,...] [--fleet-kib KIB] [--cli PATH]
//             [--sim PATH] [--srec-cat PATH]
//
// Without --runs: 64 and 256 KiB at 38400 and 125000 baud. Each run prints one
// line:
//
//   cli baud= records= wire_bytes= elapsed_s= wire_bound_s= ratio= cpu_pct=
//   peak_rss_mb= process_s=
//
// elapsed_s runs from the program's "Upload Firmware: sending" line to its
// "Verify Upload: OK" line, read from its standard output (a pipe, so plain
// lines, each flushed when written): the same span as flash-bench measures
// inside the engine (state 12 to state 14). wire_bytes are the binary forms
// of the image's records, wire_bound_s the time the line needs for them (10
// bits a byte). cpu_pct and peak_rss_mb are the program's own over its whole
// life (process_s), from wait4.
//
// --fleet N,... (fleet mode; --runs is then left out unless given too): N
// simulated analysers at 38400 baud on their own ptys, all flashed with one
// image (--fleet-kib, default 64) by one flashwright-cli process. One line per N:
//
//   fleet n= ok= kib= baud= wire_bound_s= median_s= worst_s= median_ratio=
//   worst_ratio= cpu_pct= peak_rss_mb= process_s=
//
// Each run's time is taken as above, from its own prefixed lines ("COM12:
// Upload Firmware: sending" to "COM12: Verify Upload: OK"); cpu_pct is the
// flashing process's CPU time over its life as a share of one core.
//
// --list N (only this, unless --runs or --fleet are given too): `flashwright-cli
// list` with N entries in the Ports key, every one a device that is not there,
// run five times:
//
//   list entries= median_ms= worst_ms=
//
// --refused N,... : a batch of N device servers that refuse at once (loopback
// addresses nobody listens on), with the default --jobs; one line per N:
//
//   refused n= process_s= records= said_refused= said_no_answer= peak_rss_mb=
//
// --hang: one device server behind a name the name server never answers (a
// preloaded resolver holds it 30 s), alone and after Ctrl-C: the time from
// the run's end (its "Connect to Analyser: FAILED" line, or the signal) to the
// program's exit.
//
//   hang case= exit_after_end_s= process_s=
#include "engine/RecordForm.h"
#include "tests/e2e/E2eRig.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fw::e2e {
namespace {

// The program run to its end with its standard output read line by line, each
// handed to `onLine` with the time it came.
struct Process {
    int status = -1;
    rusage usage{};
    double lifetime = 0; // seconds
    std::string output;
};

Process RunLines(const std::vector<std::string>& args,
                 const std::function<void(const std::string&, Clock::time_point)>& onLine) {
    Process p;
    int out[2];
    if (::pipe(out) != 0)
        return p;
    const auto spawned = Clock::now();
    const pid_t pid = SpawnWith(args, [&](posix_spawn_file_actions_t& actions) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        // Its messages are no figures.
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    });
    ::close(out[1]);
    if (pid < 0) {
        ::close(out[0]);
        return p;
    }
    std::string pending;
    char buffer[4096];
    for (;;) {
        pollfd poll{out[0], POLLIN, 0};
        if (::poll(&poll, 1, -1) < 0 && errno != EINTR)
            break;
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        const auto now = Clock::now();
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            p.output += line + "\n";
            onLine(line, now);
        }
    }
    ::close(out[0]);
    while (::wait4(pid, &p.status, 0, &p.usage) < 0 && errno == EINTR) {
    }
    p.lifetime = std::chrono::duration<double>(Clock::now() - spawned).count();
    return p;
}

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A settings folder and a KiB-sized image in `dir`; says why on stderr when
// srec_cat makes none.
bool PrepareImage(TempDir& dir, const std::string& srecCat, const std::string& image, long kib) {
    std::filesystem::create_directories(dir.File("config/Tarnvel"));
    if (!MakeImage(srecCat, image, 0, static_cast<std::uint32_t>(kib * 1024), 3)) {
        std::fprintf(stderr, "cli-bench: no image from srec_cat (Debian srecord)\n");
        return false;
    }
    return true;
}

int OneRun(const std::string& cli, const std::string& sim, const std::string& srecCat, long kib,
           long baud) {
    TempDir dir;
    const std::string image = dir.File("fw.sx");
    if (!PrepareImage(dir, srecCat, image, kib)) {
        return 1;
    }
    SimProcess simProcess;
    const std::string error = simProcess.Start(
        {sim, "--registry", dir.File("config/Tarnvel/Flashwright.reg"), "--com", "7", "--baud",
         std::to_string(baud), "--bootloader-version", "1.2", "--exit-after-run"},
        dir.File("sim"));
    if (!error.empty()) {
        std::fprintf(stderr, "cli-bench: %s\n", error.c_str());
        return 1;
    }

    const std::vector<std::string> args{"env",
                                        "XDG_CONFIG_HOME=" + dir.File("config"),
                                        "XDG_STATE_HOME=" + dir.File("state"),
                                        cli,
                                        "flash",
                                        "--port",
                                        "7",
                                        "--file",
                                        image,
                                        "--timeout",
                                        "600"};
    std::optional<Clock::time_point> start, end;
    const Process p = RunLines(args, [&](const std::string& line, Clock::time_point now) {
        if (!start && line.rfind("Upload Firmware: sending", 0) == 0)
            start = now;
        if (!end && line.rfind("Verify Upload: OK", 0) == 0)
            end = now;
    });
    const int status = p.status;
    const rusage& usage = p.usage;
    const double lifetime = p.lifetime;
    const std::string& all = p.output;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !start || !end) {
        std::fprintf(stderr, "cli-bench: the run failed\n%s%s\n", all.c_str(),
                     simProcess.Stderr().c_str());
        return 1;
    }
    const std::size_t wire = WireBytes(image);
    const double elapsed = std::chrono::duration<double>(*end - *start).count();
    const double bound = static_cast<double>(wire) * 10.0 / static_cast<double>(baud);
    const double cpu = CpuSeconds(usage);
    std::printf("cli baud=%ld records=%ld wire_bytes=%zu elapsed_s=%.3f wire_bound_s=%.3f "
                "ratio=%.4f cpu_pct=%.2f peak_rss_mb=%.1f process_s=%.3f\n",
                baud, kib * 1024 / 32, wire, elapsed, bound, elapsed / bound,
                cpu / lifetime * 100.0, static_cast<double>(usage.ru_maxrss) / 1024.0, lifetime);
    std::fflush(stdout);
    return 0;
}

// `flashwright-cli list` with `entries` absent ports registered.
int List(const std::string& cli, int entries) {
    TempDir dir;
    std::filesystem::create_directories(dir.File("config/Tarnvel"));
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright\\Ports]\n";
    for (int n = 1; n <= entries; ++n)
        text += "\"COM" + std::to_string(n) + "\"=\"/dev/ttyAbsent" + std::to_string(n) + "\"\n";
    WriteFile(dir.File("config/Tarnvel/Flashwright.reg"), text);
    std::vector<double> ms;
    for (int run = 0; run < 5; ++run) {
        const Process p = RunLines({"env", "XDG_CONFIG_HOME=" + dir.File("config"), cli, "list"},
                                   [](const std::string&, Clock::time_point) {});
        if (!WIFEXITED(p.status) || WEXITSTATUS(p.status) != 0) {
            std::fprintf(stderr, "cli-bench: list failed\n%s\n", p.output.c_str());
            return 1;
        }
        ms.push_back(p.lifetime * 1000);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("list entries=%d median_ms=%.1f worst_ms=%.1f\n", entries, ms[ms.size() / 2],
                ms.back());
    std::fflush(stdout);
    return 0;
}

// N device servers that refuse at once, in one batch.
int Refused(const std::string& cli, int n) {
    TempDir dir;
    std::string list;
    for (int i = 0; i < n; ++i) // port 9 (discard): nothing listens on loopback
        list += "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + ":9\n";
    WriteFile(dir.File("bench.txt"), list);
    WriteFile(dir.File("fw.sx"), "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n");
    const Process p = RunLines({"env", "XDG_CONFIG_HOME=" + dir.File("config"),
                                "XDG_STATE_HOME=" + dir.File("state"), cli, "flash", "--analysers",
                                dir.File("bench.txt"), "--file", dir.File("fw.sx")},
                               [](const std::string&, Clock::time_point) {});
    const std::string out = p.output;
    const auto count = [&out](const std::string& part) {
        std::size_t found = 0;
        for (std::size_t at = 0; (at = out.find(part, at)) != std::string::npos; ++at)
            ++found;
        return found;
    };
    const std::size_t records = ReadRuns(dir.File("state/Tarnvel/Flashwright/runs.jsonl")).size();
    // Each failure's row in the table (its message went to standard error).
    std::printf("refused n=%d process_s=%.3f records=%zu said_refused=%zu said_no_answer=%zu "
                "peak_rss_mb=%.1f\n",
                n, p.lifetime, records, count("(Connection refused)"), count("no answer within"),
                static_cast<double>(p.usage.ru_maxrss) / 1024.0);
    std::fflush(stdout);
    return records == static_cast<std::size_t>(n) ? 0 : 1;
}

// A name that is never answered: how long the exit comes after the run's end.
int Hang(const std::string& cli) {
    for (const bool interrupt : {false, true}) {
        TempDir dir;
        WriteFile(dir.File("fw.sx"), "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n");
        std::optional<Clock::time_point> ended;
        const auto spawned = Clock::now();
        pid_t pid = -1;
        int out[2];
        if (::pipe(out) != 0)
            return 1;
        pid = SpawnWith(
            {"env", "XDG_CONFIG_HOME=" + dir.File("config"), "XDG_STATE_HOME=" + dir.File("state"),
             std::string("LD_PRELOAD=") + FW_SLOW_RESOLVER, cli, "flash", "--address",
             "analyser.hang.test:4001", "--file", dir.File("fw.sx")},
            [&](posix_spawn_file_actions_t& actions) {
                posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
                posix_spawn_file_actions_addclose(&actions, out[0]);
                posix_spawn_file_actions_addclose(&actions, out[1]);
                posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
            });
        ::close(out[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(got));
            if (interrupt && !ended && text.find("Connecting...") != std::string::npos) {
                ::usleep(500'000);
                ended = Clock::now();
                ::kill(pid, SIGINT);
            }
            if (!interrupt && !ended &&
                text.find("Connect to Analyser: FAILED") != std::string::npos)
                ended = Clock::now();
        }
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const auto exited = Clock::now();
        if (!ended)
            return 1;
        std::printf("hang case=%s exit_after_end_s=%.3f process_s=%.3f\n",
                    interrupt ? "ctrl-c" : "no-link",
                    std::chrono::duration<double>(exited - *ended).count(),
                    std::chrono::duration<double>(exited - spawned).count());
        std::fflush(stdout);
    }
    return 0;
}

// N analysers flashed by one flashwright-cli process.
int Fleet(const std::string& cli, const std::string& sim, const std::string& srecCat, int n,
          long kib) {
    constexpr long kBaud = 38400;
    TempDir dir;
    const std::string image = dir.File("fw.sx");
    if (!PrepareImage(dir, srecCat, image, kib)) {
        return 1;
    }
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::string> args{"env",
                                  "XDG_CONFIG_HOME=" + dir.File("config"),
                                  "XDG_STATE_HOME=" + dir.File("state"),
                                  cli,
                                  "flash",
                                  "--file",
                                  image,
                                  "--timeout",
                                  "900",
                                  "--jobs", // a batch also for one analyser
                                  std::to_string(n)};
    for (int i = 0; i < n; ++i) {
        const std::string com = std::to_string(10 + i);
        sims.push_back(std::make_unique<SimProcess>());
        const std::string error = sims.back()->Start(
            {sim, "--registry", dir.File("config/Tarnvel/Flashwright.reg"), "--com", com, "--baud",
             std::to_string(kBaud), "--bootloader-version", "1.2", "--exit-after-run"},
            dir.File("sim" + com));
        if (!error.empty()) {
            std::fprintf(stderr, "cli-bench: %s\n", error.c_str());
            return 1;
        }
        args.insert(args.end(), {"--port", "COM" + com});
    }
    std::map<std::string, Clock::time_point> started;
    std::vector<double> elapsed;
    const Process p = RunLines(args, [&](const std::string& line, Clock::time_point now) {
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos)
            return;
        const std::string name = line.substr(0, colon);
        const std::string rest = line.substr(colon + 2);
        if (rest.rfind("Upload Firmware: sending", 0) == 0)
            started[name] = now;
        else if (rest.rfind("Verify Upload: OK", 0) == 0 && started.count(name) != 0)
            elapsed.push_back(std::chrono::duration<double>(now - started[name]).count());
    });
    if (!WIFEXITED(p.status) || WEXITSTATUS(p.status) != 0 ||
        elapsed.size() != static_cast<std::size_t>(n)) {
        std::fprintf(stderr, "cli-bench: the fleet of %d did not end OK\n%s\n", n,
                     p.output.c_str());
        return 1;
    }
    std::sort(elapsed.begin(), elapsed.end());
    const double median = elapsed.size() % 2 == 1
                              ? elapsed[elapsed.size() / 2]
                              : (elapsed[elapsed.size() / 2 - 1] + elapsed[elapsed.size() / 2]) / 2;
    const double bound = static_cast<double>(WireBytes(image)) * 10.0 / kBaud;
    std::printf("fleet n=%d ok=%zu kib=%ld baud=%ld wire_bound_s=%.3f median_s=%.3f worst_s=%.3f "
                "median_ratio=%.4f worst_ratio=%.4f cpu_pct=%.2f peak_rss_mb=%.1f "
                "process_s=%.3f\n",
                n, elapsed.size(), kib, kBaud, bound, median, elapsed.back(), median / bound,
                elapsed.back() / bound, CpuSeconds(p.usage) / p.lifetime * 100.0,
                static_cast<double>(p.usage.ru_maxrss) / 1024.0, p.lifetime);
    std::fflush(stdout);
    return 0;
}

} // namespace
} // namespace fw::e2e

int main(int argc, char** argv) {
    std::string runs = "64@38400,64@125000,256@38400,256@125000";
    bool runsGiven = false;
    std::vector<int> fleet;
    long fleetKib = 64;
    std::vector<int> lists;
    std::vector<int> refused;
    bool hang = false;
    std::string cli = FW_CLI;
    std::string sim = FW_ANALYSER_SIM;
    std::string srecCat = FW_SREC_CAT;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 < argc && arg == "--fleet") {
            std::istringstream list(argv[++i]);
            for (std::string n; std::getline(list, n, ',');)
                fleet.push_back(std::atoi(n.c_str()));
            if (fleet.empty() ||
                std::any_of(fleet.begin(), fleet.end(), [](int n) { return n < 1 || n > 200; })) {
                std::fprintf(stderr, "cli-bench: --fleet wants N[,N...], each 1 to 200\n");
                return 2;
            }
        } else if (i + 1 < argc && arg == "--refused") {
            std::istringstream list(argv[++i]);
            for (std::string n; std::getline(list, n, ',');)
                refused.push_back(std::atoi(n.c_str()));
        } else if (arg == "--hang") {
            hang = true;
        } else if (i + 1 < argc && arg == "--list") {
            lists.push_back(std::atoi(argv[++i]));
            if (lists.back() < 0 || lists.back() > 255) {
                std::fprintf(stderr, "cli-bench: --list wants 0 to 255 entries\n");
                return 2;
            }
        } else if (i + 1 < argc && arg == "--fleet-kib") {
            fleetKib = std::atol(argv[++i]);
            if (fleetKib < 1) {
                std::fprintf(stderr, "cli-bench: --fleet-kib wants a size above 0\n");
                return 2;
            }
        } else if (i + 1 < argc &&
                   (arg == "--runs" || arg == "--cli" || arg == "--sim" || arg == "--srec-cat")) {
            runsGiven = runsGiven || arg == "--runs";
            (arg == "--runs"  ? runs
             : arg == "--cli" ? cli
             : arg == "--sim" ? sim
                              : srecCat) = argv[++i];
        } else {
            std::fprintf(
                stderr,
                "usage: cli-bench [--runs KIB@BAUD,...] [--fleet N,...] "
                "[--fleet-kib KIB] [--list N] [--refused N,...] [--hang] [--cli PATH] [--sim PATH] "
                "[--srec-cat PATH]\n");
            return 2;
        }
    }
    int failures = 0;
    const auto parsed = fw::e2e::ParseRuns(runs);
    if (!parsed) {
        std::fprintf(stderr, "cli-bench: --runs wants KIB@BAUD[,KIB@BAUD...]\n");
        return 2;
    }
    for (const int entries : lists) {
        failures += fw::e2e::List(cli, entries) != 0 ? 1 : 0;
    }
    for (const int n : refused) {
        failures += fw::e2e::Refused(cli, n) != 0 ? 1 : 0;
    }
    if (hang) {
        failures += fw::e2e::Hang(cli) != 0 ? 1 : 0;
    }
    if ((fleet.empty() && lists.empty() && refused.empty() && !hang) || runsGiven) {
        for (const fw::e2e::BenchRun& run : *parsed) {
            failures += fw::e2e::OneRun(cli, sim, srecCat, run.kib, run.baud) != 0 ? 1 : 0;
        }
    }
    for (const int n : fleet) {
        failures += fw::e2e::Fleet(cli, sim, srecCat, n, fleetKib) != 0 ? 1 : 0;
    }
    return failures == 0 ? 0 : 1;
}
