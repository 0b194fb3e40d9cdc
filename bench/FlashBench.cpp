// flash-bench: how fast, how smoothly and how cheaply the wizard's engine
// uploads a firmware image to the paced analyser simulator.
//
//   flash-bench [--runs KIB@BAUD,...] [--tcp-runs KIB@BAUD,...]
//               [--tcp-mode raw|rfc2217|raw,rfc2217] [--flood MB]
//               [--no-baseline] [--sim PATH] [--srec-cat PATH]
//
// Without --runs: 64 and 256 KiB at 38400 and 125000 baud, and 4096 KiB at
// 125000; without --tcp-runs, 64 KiB at 38400 through a serial device server
// (ser2net on the simulator's pty), whose line starts with "tcp" (raw TCP) or
// "tcp rfc2217" (telnet with COM-PORT-OPTION); --tcp-mode chooses which of the
// two each TCP run is made in (default both).
// Each run is a child process of its own (so that its peak memory is its own)
// and prints one line:
//
//   baud= records= wire_bytes= elapsed_s= wire_bound_s= ratio= cpu_pct=
//   tick_p50_ms= tick_p99_ms= peak_rss_mb=
//
// elapsed_s runs from the first record handed to the serial port (state 12) to
// state 14; wire_bytes are the bytes sent in that time; wire_bound_s is the
// time the line needs for them (10 bits a byte); cpu_pct is this process's
// CPU time over elapsed_s (one core = 100); the tick figures are the measured
// periods between ticks while the engine asks for 2 ms (state 12); peak_rss_mb
// is the child's getrusage maximum resident set; check_ms is the time the
// check of the whole file before the run takes.
//
// Then (--flood 0: not) a "flood ..." line: the analyser rejects a record and
// sends MB megabytes (default 50) while the "Failed Sx!" box stays open for
// box_s seconds; peak_rss_mb is the child's peak, answer_ms the time from the
// box closing to the page's next tick, drained_s how long the rest of the
// flood then takes to read, drained_mb how much that was (every byte read from
// the port) and drain_mb_s the rate it was read at.
//
// First, unless --no-baseline, a "baseline ..." line gives the machine's own
// 2 ms timer regularity (a bare sleep loop and a bare Qt timer) at that time.
#include "engine/FirmwareCheck.h"
#include "tests/e2e/E2eRig.h"
#include "tests/support/Ser2net.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sys/resource.h>

namespace fw::e2e {
namespace {

// Periods in whole microseconds, up to 100 ms (longer ones count as 100 ms).
// Fixed size, so that the measurement itself takes the same memory for every
// image size.
class PeriodHistogram {
public:
    // A period since the last mark (the first mark only starts one), counted
    // when `count`.
    void Mark(bool count) {
        const auto now = Clock::now();
        if (count && last_) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - *last_);
            ++counts_[static_cast<std::size_t>(std::clamp<long long>(us.count(), 0, kBins - 1))];
            ++total_;
        }
        last_ = now;
    }
    std::uint64_t Count() const { return total_; }
    // The smallest period (ms) that at least `p` of all periods do not exceed.
    double PercentileMs(double p) const {
        const auto wanted = std::max<std::uint64_t>(
            1, static_cast<std::uint64_t>(std::ceil(p * static_cast<double>(total_))));
        std::uint64_t seen = 0;
        for (std::size_t us = 0; us < counts_.size() && total_ > 0; ++us) {
            if ((seen += counts_[us]) >= wanted)
                return static_cast<double>(us) / 1000.0;
        }
        return total_ > 0 ? static_cast<double>(kBins - 1) / 1000.0 : 0.0;
    }

private:
    static constexpr long long kBins = 100'000;
    std::vector<std::uint32_t> counts_ = std::vector<std::uint32_t>(kBins, 0);
    std::uint64_t total_ = 0;
    std::optional<Clock::time_point> last_;
};

// One upload in this process, over the serial port or (`mode` "raw" or
// "rfc2217") through ser2net.
int Child(int argc, char** argv, const std::string& sim, const std::string& image, long baud,
          const std::string& mode) {
    const bool tcp = !mode.empty();
    QCoreApplication app(argc, argv);
    Rig rig;
    std::string error =
        rig.StartSim(sim, {"--baud", std::to_string(baud), "--bootloader-version", "1.2"});
    test::Ser2net server;
    if (error.empty() && tcp)
        error = server.Start(rig.dir.File("."), rig.sim.Device(), mode == "rfc2217");
    if (!error.empty()) {
        std::fprintf(stderr, "flash-bench: %s\n", error.c_str());
        return 1;
    }
    rig.Store(tcp ? "TCP" : "COM", image);
    rig.settings.SaveSettingValue(kSection, kAddress,
                                  std::string(mode == "rfc2217" ? "rfc2217://" : "") +
                                      "127.0.0.1:" + std::to_string(server.Port()));
    const auto checkStart = Clock::now();
    if (!CheckFirmwareFile(image).ok) {
        std::fprintf(stderr, "flash-bench: the image does not pass the check\n");
        return 1;
    }
    const double checkMs =
        std::chrono::duration<double, std::milli>(Clock::now() - checkStart).count();

    std::optional<Clock::time_point> start, end;
    std::clock_t cpuStart = 0, cpuEnd = 0;
    std::size_t wireBytes = 0;
    PeriodHistogram periods;
    bool measuringPeriod = false;
    rig.beforeTick = [&] { periods.Mark(measuringPeriod); };
    rig.afterTick = [&] {
        measuringPeriod = rig.State() == Uploading && rig.view.timer.interval() == 2;
        if (start && !end && rig.State() >= ConfirmRun) {
            end = Clock::now();
            cpuEnd = std::clock();
        }
    };
    rig.Next();
    rig.Port().onOutput = [&](std::size_t n) {
        if (rig.State() != Uploading && rig.State() != WaitAcks)
            return;
        if (!start) {
            start = Clock::now();
            cpuStart = std::clock();
        }
        wireBytes += end ? 0 : n;
    };

    // A safety net, not a measurement: twice the line time of the whole file
    // (the binary form is about half as long as the text) and two minutes.
    const auto fileMs = static_cast<long long>(std::filesystem::file_size(image)) * 10'000 / baud;
    if (!rig.RunToEnd(Millis(120'000 + 2 * fileMs)) || rig.State() != Finished || !end) {
        std::fprintf(stderr, "flash-bench: the run did not finish (state %d)\n%s\n",
                     static_cast<int>(rig.State()), rig.sim.Stderr().c_str());
        return 1;
    }
    const double elapsed = std::chrono::duration<double>(*end - *start).count();
    const double bound = static_cast<double>(wireBytes) * 10.0 / static_cast<double>(baud);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%sbaud=%ld records=%d wire_bytes=%zu elapsed_s=%.3f wire_bound_s=%.3f ratio=%.4f "
                "cpu_pct=%.2f tick_p50_ms=%.3f tick_p99_ms=%.3f peak_rss_mb=%.1f check_ms=%.1f\n",
                !tcp                ? ""
                : mode == "rfc2217" ? "tcp rfc2217 "
                                    : "tcp ",
                baud, static_cast<int>(rig.fields.nRecordsSent), wireBytes, elapsed, bound,
                elapsed / bound,
                static_cast<double>(cpuEnd - cpuStart) / CLOCKS_PER_SEC / elapsed * 100.0,
                periods.PercentileMs(0.50), periods.PercentileMs(0.99),
                static_cast<double>(usage.ru_maxrss) / 1024.0, checkMs);
    std::fflush(stdout);
    return 0;
}

// A flood of `mb` megabytes while the "Failed Sx!" box is open.
int FloodChild(int argc, char** argv, const std::string& sim, const std::string& image, long mb) {
    QCoreApplication app(argc, argv);
    Rig rig;
    const std::string error = rig.StartSim(
        sim, {"--baud", "0", "--reject-record", "3", "--flood-after-reject",
              std::to_string(mb * 1000 * 1000), "--reboot-ms", "20", "--erase-ms", "20"});
    if (!error.empty()) {
        std::fprintf(stderr, "flash-bench: %s\n", error.c_str());
        return 1;
    }
    rig.Store("COM", image);
    constexpr double kBoxSeconds = 3.0;
    std::optional<Clock::time_point> closed, answered;
    rig.box.whileOpen = [&] { // the modal box's own event loop
        const auto until = Clock::now() + std::chrono::duration<double>(kBoxSeconds);
        while (Clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            ::usleep(1000);
        }
        closed = Clock::now();
    };
    rig.afterTick = [&] {
        if (closed && !answered)
            answered = Clock::now();
    };
    rig.Next();
    if (!rig.RunUntil([&] { return answered.has_value(); }, Millis(60'000))) {
        std::fprintf(stderr, "flash-bench: no rejection seen\n%s\n", rig.sim.Stderr().c_str());
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakAtClose = static_cast<double>(usage.ru_maxrss) / 1024.0;
    // The rest of the flood: read until the line has been quiet for half a second.
    const std::size_t readAtAnswer = rig.Port().bytesIn;
    const auto drainStart = Clock::now();
    auto lastData = drainStart;
    rig.Port().onInput = [&](std::size_t) { lastData = Clock::now(); };
    rig.RunUntil([&] { return Clock::now() - lastData > Millis(500); }, Millis(120'000));
    getrusage(RUSAGE_SELF, &usage);
    const double drainedMb = static_cast<double>(rig.Port().bytesIn - readAtAnswer) / 1e6;
    const double drainSeconds = std::chrono::duration<double>(lastData - drainStart).count();
    std::printf("flood mb=%ld box_s=%.1f peak_rss_at_close_mb=%.1f answer_ms=%.1f drained_s=%.2f "
                "drained_mb=%.1f drain_mb_s=%.1f peak_rss_mb=%.1f state=%d\n",
                mb, kBoxSeconds, peakAtClose,
                std::chrono::duration<double, std::milli>(*answered - *closed).count(),
                std::chrono::duration<double>(lastData - *closed).count(), drainedMb,
                drainSeconds > 0 ? drainedMb / drainSeconds : 0.0,
                static_cast<double>(usage.ru_maxrss) / 1024.0, static_cast<int>(rig.State()));
    std::fflush(stdout);
    return 0;
}

// The platform's own timer regularity at 2 ms, for reading the tick figures:
// an absolute clock_nanosleep loop and an empty PreciseTimer slot left to run
// at its interval, as the progress page's timer runs while records go out.
void Baseline(int argc, char** argv) {
    constexpr std::uint64_t kPeriods = 2500;
    PeriodHistogram sleeps;
    sleeps.Mark(false);
    // steady_clock is CLOCK_MONOTONIC, in nanoseconds.
    for (auto next = Clock::now(); sleeps.Count() < kPeriods;) {
        const auto ns = (next += Millis(2)).time_since_epoch().count();
        const timespec at{static_cast<time_t>(ns / 1'000'000'000),
                          static_cast<long>(ns % 1'000'000'000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        sleeps.Mark(true);
    }

    QCoreApplication app(argc, argv);
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    PeriodHistogram ticks;
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        ticks.Mark(true);
        if (ticks.Count() >= kPeriods)
            app.quit();
    });
    timer.start(2);
    app.exec();
    std::printf("baseline nanosleep_p50_ms=%.3f nanosleep_p99_ms=%.3f qtimer_p50_ms=%.3f "
                "qtimer_p99_ms=%.3f\n",
                sleeps.PercentileMs(0.50), sleeps.PercentileMs(0.99), ticks.PercentileMs(0.50),
                ticks.PercentileMs(0.99));
    std::fflush(stdout);
}

int Parent(const std::string& sim, const std::string& srecCat, const std::string& runs,
           const std::string& tcpRuns, const std::string& tcpModes, long floodMb) {
    TempDir dir;
    int failures = 0;
    if (floodMb > 0) {
        const std::string image = dir.File("flood.sx");
        const pid_t pid =
            MakeImage(srecCat, image, 0, 4096, 2)
                ? Spawn({"/proc/self/exe", "--flood-child", image, std::to_string(floodMb), sim})
                : -1;
        if (pid <= 0 || WaitExit(pid) != 0) {
            std::fprintf(stderr, "flash-bench: the flood run failed\n");
            ++failures;
        }
    }
    const auto parsed = ParseRuns(runs);
    const auto parsedTcp = ParseRuns(tcpRuns);
    if (!parsed || !parsedTcp) {
        std::fprintf(stderr, "flash-bench: --runs and --tcp-runs want KIB@BAUD[,KIB@BAUD...]\n");
        return 2;
    }
    std::vector<std::string> modes;
    for (const char* mode : {"raw", "rfc2217"}) {
        if (("," + tcpModes + ",").find("," + std::string(mode) + ",") != std::string::npos)
            modes.emplace_back(mode);
    }
    std::vector<std::pair<BenchRun, std::string>> all;
    for (const BenchRun& run : *parsed)
        all.emplace_back(run, "");
    for (const BenchRun& run : *parsedTcp) {
        for (const std::string& mode : modes)
            all.emplace_back(run, mode);
    }
    for (const auto& [run, mode] : all) {
        const auto [kib, baud] = run;
        const std::string image = dir.File(std::to_string(kib) + "k.sx");
        if (!MakeImage(srecCat, image, 0, static_cast<std::uint32_t>(kib * 1024), 3)) {
            std::fprintf(stderr, "flash-bench: no image from srec_cat (Debian srecord)\n");
            return 1;
        }
        // A process of its own for each run, so that its peak memory is its own.
        const pid_t pid = Spawn({"/proc/self/exe",
                                 mode.empty()    ? "--child"
                                 : mode == "raw" ? "--tcp-child"
                                                 : "--rfc2217-child",
                                 image, std::to_string(baud), sim});
        if (pid <= 0 || WaitExit(pid) != 0) {
            std::fprintf(stderr, "flash-bench: run %ld KiB at %ld baud failed\n", kib, baud);
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

} // namespace
} // namespace fw::e2e

int main(int argc, char** argv) {
    // --child IMAGE BAUD SIM, --tcp-child ..., --rfc2217-child ...
    const std::string first = argc > 1 ? argv[1] : "";
    if (argc == 5 && (first == "--child" || first == "--tcp-child" || first == "--rfc2217-child"))
        return fw::e2e::Child(argc, argv, argv[4], argv[2], std::strtol(argv[3], nullptr, 10),
                              first == "--child"       ? ""
                              : first == "--tcp-child" ? "raw"
                                                       : "rfc2217");
    if (argc == 5 && std::string(argv[1]) == "--flood-child") // --flood-child IMAGE MB SIM
        return fw::e2e::FloodChild(argc, argv, argv[4], argv[2], std::strtol(argv[3], nullptr, 10));
    std::string sim = FW_ANALYSER_SIM;
    std::string srecCat = FW_SREC_CAT;
    std::string runs = "64@38400,64@125000,256@38400,256@125000,4096@125000";
    std::string tcpRuns = "64@38400";
    std::string tcpModes = "raw,rfc2217";
    std::string flood = "50";
    bool baseline = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-baseline") {
            baseline = false;
        } else if (i + 1 < argc && (arg == "--runs" || arg == "--tcp-runs" || arg == "--tcp-mode" ||
                                    arg == "--sim" || arg == "--srec-cat" || arg == "--flood")) {
            (arg == "--runs"       ? runs
             : arg == "--tcp-runs" ? tcpRuns
             : arg == "--tcp-mode" ? tcpModes
             : arg == "--sim"      ? sim
             : arg == "--flood"    ? flood
                                   : srecCat) = argv[++i];
        } else {
            std::fprintf(arg == "--help" ? stdout : stderr,
                         "usage: flash-bench [--runs KIB@BAUD,...] [--tcp-runs KIB@BAUD,...] "
                         "[--tcp-mode raw|rfc2217|raw,rfc2217] [--flood MB] [--no-baseline] "
                         "[--sim PATH] [--srec-cat PATH]\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    if (baseline)
        fw::e2e::Baseline(argc, argv);
    return fw::e2e::Parent(sim, srecCat, runs, tcpRuns, tcpModes,
                           std::strtol(flood.c_str(), nullptr, 10));
}
