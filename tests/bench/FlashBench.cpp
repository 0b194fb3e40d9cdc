// flash-bench: how fast, how smoothly and how cheaply the wizard's engine
// uploads a firmware image to the paced analyser simulator.
//
//   flash-bench [--runs KIB@BAUD,...] [--steady-timer] [--no-baseline] [--sim PATH]
//               [--srec-cat PATH]
//
// Without --runs: 64 and 256 KiB at 38400 and 125000 baud, and 4096 KiB at
// 125000. Each run is a child process of its own (so that its peak memory is
// its own) and prints one line:
//
//   baud= records= wire_bytes= elapsed_s= wire_bound_s= ratio= cpu_pct=
//   tick_p50_ms= tick_p99_ms= peak_rss_mb=
//
// elapsed_s runs from the first record handed to the serial port (state 12) to
// state 14; wire_bytes are the bytes sent in that time; wire_bound_s is the
// time the line needs for them (10 bits a byte); cpu_pct is this process's
// CPU time over elapsed_s (one core = 100); the tick figures are the measured
// periods between ticks while the engine asks for 2 ms (state 12); peak_rss_mb
// is the child's getrusage maximum resident set.
//
// First, unless --no-baseline, a "baseline ..." line gives the machine's own
// 2 ms timer regularity (a bare sleep loop and a bare Qt timer) at that time.
//
// The timer follows the progress page: every interval the engine sets restarts
// it, as a running QTimer does on setInterval. --steady-timer passes only
// changed intervals on, for comparison.
#include "tests/e2e/E2eRig.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fw::e2e {
namespace {

struct RunSpec {
    long kib = 0;
    long baud = 0;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    // Nearest rank, as PeriodHistogram counts.
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// Tick periods in whole microseconds, up to 100 ms (longer ones count as
// 100 ms). Fixed size, so that the measurement itself takes the same memory
// for every image size.
class PeriodHistogram {
public:
    PeriodHistogram() : counts_(kBins, 0) {}
    void Add(Clock::duration period) {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(period).count();
        ++counts_[static_cast<std::size_t>(std::clamp<long long>(us, 0, kBins - 1))];
        ++total_;
    }
    // The smallest period (ms) that at least `p` of all periods do not exceed.
    double PercentileMs(double p) const {
        if (total_ == 0) {
            return 0.0;
        }
        const auto wanted = static_cast<std::uint64_t>(std::ceil(p * static_cast<double>(total_)));
        std::uint64_t seen = 0;
        for (std::size_t us = 0; us < counts_.size(); ++us) {
            seen += counts_[us];
            if (seen >= std::max<std::uint64_t>(wanted, 1)) {
                return static_cast<double>(us) / 1000.0;
            }
        }
        return static_cast<double>(kBins - 1) / 1000.0;
    }

private:
    static constexpr long long kBins = 100'000;
    std::vector<std::uint32_t> counts_;
    std::uint64_t total_ = 0;
};

// One upload in this process.
int Child(int argc, char** argv, const std::string& sim, const std::string& image, long baud,
          bool steadyTimer) {
    QCoreApplication app(argc, argv);
    Rig rig(sim);
    rig.view.restartOnEveryInterval = !steadyTimer;
    const std::string error = rig.StartSim({"--baud", std::to_string(baud), "--version", "1.2"});
    if (!error.empty()) {
        std::fprintf(stderr, "flash-bench: %s\n", error.c_str());
        return 1;
    }
    rig.Store("COM", "7", image);

    std::optional<Clock::time_point> start;
    std::optional<Clock::time_point> end;
    double cpuStart = 0.0;
    double cpuEnd = 0.0;
    std::size_t wireBytes = 0;
    PeriodHistogram periods;
    std::optional<Clock::time_point> lastTick;
    bool measuringPeriod = false;

    rig.beforeTick = [&] {
        const auto now = Clock::now();
        if (measuringPeriod && lastTick) {
            periods.Add(now - *lastTick);
        }
        lastTick = now;
    };
    rig.afterTick = [&] {
        measuringPeriod = rig.State() == kStateUploading && rig.view.interval == 2;
        if (start && !end && rig.State() >= kStateConfirmRun) {
            end = Clock::now();
            cpuEnd = CpuSeconds();
        }
    };

    rig.Next();
    rig.view.Port().keep = false;
    rig.view.Port().onOutput = [&](std::size_t n) {
        const std::int32_t state = rig.State();
        if (state != kStateUploading && state != kStateWaitAcks) {
            return;
        }
        if (!start) {
            start = Clock::now();
            cpuStart = CpuSeconds();
        }
        if (!end) {
            wireBytes += n;
        }
    };

    // A safety net, not a measurement: twice the line time of the whole file
    // (the binary form is about half as long as the text) and two minutes.
    const double fileBytes = static_cast<double>(std::filesystem::file_size(image));
    const bool finished = rig.RunToEnd(
        Millis(120'000) + Millis(static_cast<long long>(fileBytes * 10.0 * 1000.0 * 2.0 /
                                                        static_cast<double>(baud))));
    if (!finished || rig.State() != kStateFinished || !start || !end) {
        std::fprintf(stderr, "flash-bench: the run did not finish (state %d)\n%s\n",
                     static_cast<int>(rig.State()), rig.sim.Stderr().c_str());
        return 1;
    }
    const double elapsed = Seconds(*end - *start);
    const double bound = static_cast<double>(wireBytes) * 10.0 / static_cast<double>(baud);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("baud=%ld records=%d wire_bytes=%zu elapsed_s=%.3f wire_bound_s=%.3f ratio=%.4f "
                "cpu_pct=%.2f tick_p50_ms=%.3f tick_p99_ms=%.3f peak_rss_mb=%.1f\n",
                baud, static_cast<int>(rig.fields.nRecordsSent), wireBytes, elapsed, bound,
                elapsed / bound, (cpuEnd - cpuStart) / elapsed * 100.0, periods.PercentileMs(0.50),
                periods.PercentileMs(0.99), static_cast<double>(usage.ru_maxrss) / 1024.0);
    std::fflush(stdout);
    return 0;
}

// The platform's own timer regularity at 2 ms, for reading the tick figures:
// an absolute clock_nanosleep loop and an empty PreciseTimer slot that sets its
// interval again on every tick, as the engine does while sending records.
int Baseline(int argc, char** argv) {
    constexpr int kPeriods = 2500;
    std::vector<double> sleeps;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    auto last = Clock::now();
    for (int i = 0; i < kPeriods; ++i) {
        next.tv_nsec += 2'000'000;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        const auto now = Clock::now();
        sleeps.push_back(std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    }

    QCoreApplication app(argc, argv);
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(2);
    std::vector<double> ticks;
    std::optional<Clock::time_point> previous;
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        const auto now = Clock::now();
        if (previous) {
            ticks.push_back(std::chrono::duration<double, std::milli>(now - *previous).count());
        }
        previous = now;
        timer.setInterval(2);
        if (ticks.size() >= kPeriods) {
            app.quit();
        }
    });
    timer.start();
    app.exec();
    std::printf("baseline nanosleep_p50_ms=%.3f nanosleep_p99_ms=%.3f qtimer_p50_ms=%.3f "
                "qtimer_p99_ms=%.3f\n",
                Percentile(sleeps, 0.50), Percentile(sleeps, 0.99), Percentile(ticks, 0.50),
                Percentile(ticks, 0.99));
    std::fflush(stdout);
    return 0;
}

std::vector<RunSpec> ParseRuns(const std::string& text) {
    std::vector<RunSpec> runs;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? comma : comma - at);
        RunSpec spec;
        if (std::sscanf(item.c_str(), "%ld@%ld", &spec.kib, &spec.baud) != 2 || spec.kib <= 0 ||
            spec.baud <= 0) {
            return {};
        }
        runs.push_back(spec);
        at = comma == std::string::npos ? text.size() : comma + 1;
    }
    return runs;
}

// Runs this program again with `args` and waits for it; true when it succeeded.
bool RunChild(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "flash-bench: cannot start a run: %s\n", std::strerror(errno));
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Parent(const char* self, const std::string& sim, const std::string& srecCat,
           std::vector<RunSpec> runs, bool steadyTimer, bool baseline) {
    if (runs.empty()) {
        runs = {{64, 38400}, {64, 125000}, {256, 38400}, {256, 125000}, {4096, 125000}};
    }
    if (baseline && !RunChild({self, "--baseline"})) {
        return 1;
    }
    TempDir dir;
    int failures = 0;
    for (const RunSpec& run : runs) {
        const std::string image = dir.File(std::to_string(run.kib) + "k.sx");
        if (access(image.c_str(), R_OK) != 0) {
            const std::string error =
                MakeImage(srecCat, image, 0, static_cast<std::uint32_t>(run.kib * 1024), 3);
            if (!error.empty()) {
                std::fprintf(stderr, "flash-bench: %s\n", error.c_str());
                return 1;
            }
        }
        std::vector<std::string> args{
            self, "--child", "--image", image, "--baud", std::to_string(run.baud), "--sim", sim};
        if (steadyTimer) {
            args.emplace_back("--steady-timer");
        }
        if (!RunChild(args)) {
            std::fprintf(stderr, "flash-bench: run %ld KiB at %ld baud failed\n", run.kib,
                         run.baud);
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

} // namespace
} // namespace fw::e2e

int main(int argc, char** argv) {
    std::string sim = FW_ANALYSER_SIM;
    std::string srecCat = FW_SREC_CAT;
    std::string image;
    std::string runs;
    long baud = 0;
    bool child = false;
    bool steadyTimer = false;
    bool baselineOnly = false;
    bool baseline = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "flash-bench: %s wants a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--child") {
            child = true;
        } else if (arg == "--image") {
            image = value();
        } else if (arg == "--baud") {
            baud = std::strtol(value().c_str(), nullptr, 10);
        } else if (arg == "--sim") {
            sim = value();
        } else if (arg == "--srec-cat") {
            srecCat = value();
        } else if (arg == "--baseline") {
            baselineOnly = true;
        } else if (arg == "--no-baseline") {
            baseline = false;
        } else if (arg == "--steady-timer") {
            steadyTimer = true;
        } else if (arg == "--runs") {
            runs = value();
        } else {
            std::fprintf(
                stderr, "usage: flash-bench [--runs KIB@BAUD,...] [--steady-timer] [--no-baseline] "
                        "[--sim PATH] [--srec-cat PATH]\n");
            return 2;
        }
    }
    if (baselineOnly) {
        return fw::e2e::Baseline(argc, argv);
    }
    if (child) {
        if (image.empty() || baud <= 0) {
            std::fprintf(stderr, "flash-bench: --child wants --image and --baud\n");
            return 2;
        }
        return fw::e2e::Child(argc, argv, sim, image, baud, steadyTimer);
    }
    const auto specs = fw::e2e::ParseRuns(runs);
    if (!runs.empty() && specs.empty()) {
        std::fprintf(stderr, "flash-bench: --runs wants KIB@BAUD[,KIB@BAUD...]\n");
        return 2;
    }
    if (srecCat.empty()) {
        std::fprintf(stderr, "flash-bench: srec_cat (Debian srecord) not found\n");
        return 1;
    }
    return fw::e2e::Parent(argv[0], sim, srecCat, specs, steadyTimer, baseline);
}
