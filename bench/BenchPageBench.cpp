// The wizard's bench page flashing many simulated analysers at once, in this
// process (QT_QPA_PLATFORM=offscreen unless a display is set), and its station.
//
//   bench-page-bench [--n N,...] [--kib KIB] [--station UNITS]
//
// Bench mode, one line per N: N analyser-sims at 38400 baud, each on its own
// pty, all flashed with one image (--kib, default 64) from the bench page:
//   page n= ok= kib= baud= wire_bound_s= median_s= worst_s= median_ratio=
//        worst_ratio= cpu_pct= peak_rss_mb= bench_s= loop_gap_max_ms= loop_gap_max_cpu_ms=
//        loop_gap_p99_ms=
// Each run's time is its upload, from its first record sent to the state
// that confirms the run (read from the bench every 2 ms); the wire bound is
// the binary forms of the image's records at 10 bits a byte. cpu_pct is this
// process's CPU time over the bench as a share of one core; loop_gap_* is how
// late a 10 ms probe timer on the window's event loop fired (the longest time
// the window could not answer), with the CPU time this process spent within
// the longest (near 0: the machine did not run it, the page was not busy). A
// `baseline` line before it is the probe alone for 3 s. BENCH_GAPS=1 prints
// every gap over 30 ms on standard error.
//
// Station mode (--station UNITS, default 5): the station on, units plugged in
// one after another (an analyser-sim started and registered); per unit the
// time from its port being listed to the first byte sent to it:
//   station units= median_ms= worst_ms=
#include "engine/RecordForm.h"
#include "link/serial/QtSerialPort.h"
#include "pages/BenchNames.h"
#include "pages/BenchPage.h"
#include "tests/e2e/E2eRig.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

namespace fw::e2e {
namespace {

constexpr long kBaud = 38400;

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double PeakRssMb() {
    const std::string status = ReadFile("/proc/self/status");
    const std::size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::stod(status.substr(at + 6)) / 1024.0;
}

// A serial control that notes when it first sends anything.
class StampingPort : public test::BorrowedSerialPort {
public:
    StampingPort(std::unique_ptr<ISerialPort> port, std::optional<Clock::time_point>& firstByte)
        : BorrowedSerialPort(*port), port_(std::move(port)), firstByte_(firstByte) {}
    void Output(const std::vector<std::uint8_t>& bytes) override {
        if (!firstByte_ && port_->PortOpen())
            firstByte_ = Clock::now();
        port_->Output(bytes);
    }

private:
    std::unique_ptr<ISerialPort> port_;
    std::optional<Clock::time_point>& firstByte_;
};

struct Setup {
    TempDir dir;
    FileRegistry registry{dir.File("flashwright.reg")};
    ComPortNames names{&registry};
    Settings settings{registry};
    std::unique_ptr<IUsbDriver> usb =
        std::make_unique<SysfsUsbDriver>(dir.File("sys"), dir.File("dev"));
    test::RecordingMessageBox box;
    FileRunLog runLog{dir.File("runs.jsonl")};
    std::optional<Clock::time_point> firstByte; // of the last port made
    RunConfig choices;
    std::unique_ptr<BenchPage> page;
    std::vector<std::unique_ptr<SimProcess>> sims;

    std::string Plug(const std::string& sim, int com) {
        sims.push_back(std::make_unique<SimProcess>());
        return sims.back()->Start({sim, "--registry", dir.File("flashwright.reg"), "--com",
                                   std::to_string(com), "--baud", std::to_string(kBaud),
                                   "--bootloader-version", "1.2", "--exit-after-run"},
                                  dir.File("sim" + std::to_string(com)));
    }
    // The bench page as the operations page's Next shows it, with the
    // wizard's default operations.
    BenchPage& Start(const std::string& image, std::vector<std::string> bench) {
        SetOperationDefaults(choices.operations);
        choices.filename = image;
        page = std::make_unique<BenchPage>(BenchPage::Services{
            choices, box,
            TransportMakers{[this]() -> std::unique_ptr<ISerialPort> {
                                firstByte.reset();
                                return std::make_unique<StampingPort>(
                                    std::make_unique<QtSerialPort>(names), firstByte);
                            },
                            nullptr, *usb},
            &runLog, [this] { return names.PlatformList(); }, *usb});
        page->SetAnalysers(std::move(bench));
        page->Show();
        page->StartBench();
        return *page;
    }
};

void Spin(const std::function<bool()>& done, Millis limit) {
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end)
        QCoreApplication::processEvents(
            QEventLoop::WaitForMoreEvents); // a timer ticks every 10 ms at most
}

int BenchMode(const std::string& sim, const std::string& srecCat, int n, long kib) {
    Setup s;
    const std::string image = s.dir.File("fw.sx");
    if (!MakeImage(srecCat, image, 0, static_cast<std::uint32_t>(kib * 1024), 3))
        return 1;
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) {
        if (const std::string error = s.Plug(sim, 10 + i); !error.empty()) {
            std::fprintf(stderr, "bench-page-bench: %s\n", error.c_str());
            return 1;
        }
        names.push_back("COM" + std::to_string(10 + i));
    }
    // The probe: a 10 ms timer on the window's loop, and how late each firing is.
    std::vector<double> gaps;
    auto t0 = Clock::now();
    double cpuAtTick = 0;
    double longest = 0;    // the longest gap, ms
    double longestCpu = 0; // this process's CPU time within it, ms
    QElapsedTimer since;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, &probe, [&] {
        gaps.push_back(std::max(0.0, static_cast<double>(since.nsecsElapsed()) / 1e6 - 10.0));
        const double cpuNow = CpuSeconds();
        if (gaps.back() > longest) {
            longest = gaps.back();
            longestCpu = (cpuNow - cpuAtTick) * 1000.0;
        }
        if (gaps.back() > 30 && std::getenv("BENCH_GAPS") != nullptr)
            std::fprintf(stderr, "gap %.1f ms at %.2f s, %.1f ms of CPU in it\n", gaps.back(),
                         std::chrono::duration<double>(Clock::now() - t0).count(),
                         (cpuNow - cpuAtTick) * 1000.0);
        cpuAtTick = cpuNow;
        since.restart();
    });
    // Each run's upload, from its first record to its confirm state.
    std::map<std::size_t, Clock::time_point> started;
    std::map<std::size_t, double> elapsed;
    QTimer watch;
    watch.setInterval(2);
    BenchPage* page = nullptr;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        for (const fw::BenchRun& r : page->Runs()->Runs()) {
            if (elapsed.count(r.index) != 0)
                continue;
            const auto now = Clock::now();
            const UploadCount upload = r.Upload();
            if (r.Run() != nullptr && started.count(r.index) == 0 && upload.sent > 0)
                started[r.index] = now;
            if (started.count(r.index) == 0)
                continue;
            // Every record confirmed, or the confirm state; a run that ended
            // between two looks ends at the second.
            if (r.Run() == nullptr || (upload.total > 0 && upload.confirmed >= upload.total) ||
                r.Run()->engine.State().nUpdateState >= UpdateState::ConfirmRun)
                elapsed[r.index] = std::chrono::duration<double>(now - started[r.index]).count();
        }
    });
    // The machine's own answer time first: the probe alone for 3 s.
    since.start();
    probe.start();
    Spin([] { return false; }, Millis(3000));
    probe.stop();
    std::sort(gaps.begin(), gaps.end());
    std::printf("baseline loop_gap_max_ms=%.1f loop_gap_p99_ms=%.1f\n", gaps.back(),
                gaps[gaps.size() * 99 / 100]);
    gaps.clear();
    longest = longestCpu = 0;
    const double cpu0 = CpuSeconds();
    t0 = Clock::now();
    since.start();
    probe.start();
    page = &s.Start(image, names);
    watch.start();
    Spin([&] { return page->Done(); }, Millis(900'000));
    const double benchSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    probe.stop();
    watch.stop();
    std::size_t ok = 0;
    for (const fw::BenchRun& r : page->Runs()->Runs())
        ok += r.Result() == RunResult::Success ? 1 : 0;
    std::vector<double> times;
    for (const auto& [index, t] : elapsed)
        times.push_back(t);
    if (ok != static_cast<std::size_t>(n) || times.size() != static_cast<std::size_t>(n)) {
        std::fprintf(stderr, "bench-page-bench: %zu of %d OK (%s)\n", ok, n,
                     page->CountText().c_str());
        return 1;
    }
    std::sort(times.begin(), times.end());
    std::sort(gaps.begin(), gaps.end());
    const double median = times.size() % 2 == 1
                              ? times[times.size() / 2]
                              : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    const double bound = static_cast<double>(WireBytes(image)) * 10.0 / kBaud;
    std::printf("page n=%d ok=%zu kib=%ld baud=%ld wire_bound_s=%.3f median_s=%.3f worst_s=%.3f "
                "median_ratio=%.4f worst_ratio=%.4f cpu_pct=%.2f peak_rss_mb=%.1f bench_s=%.3f "
                "loop_gap_max_ms=%.1f loop_gap_max_cpu_ms=%.1f loop_gap_p99_ms=%.1f\n",
                n, ok, kib, kBaud, bound, median, times.back(), median / bound,
                times.back() / bound, cpu / benchSeconds * 100.0, PeakRssMb(), benchSeconds,
                gaps.empty() ? 0.0 : gaps.back(), longestCpu,
                gaps.empty() ? 0.0 : gaps[gaps.size() * 99 / 100]);
    std::fflush(stdout);
    return 0;
}

int StationMode(const std::string& sim, const std::string& srecCat, int units) {
    Setup s;
    const std::string image = s.dir.File("fw.sx");
    if (!MakeImage(srecCat, image, 0, 4096, 3))
        return 1;
    BenchPage& page = s.Start(image, {});
    Spin([] { return false; }, Millis(500));
    std::vector<double> ms;
    for (int i = 0; i < units; ++i) {
        s.firstByte.reset();
        if (const std::string error = s.Plug(sim, 10 + i); !error.empty()) {
            std::fprintf(stderr, "bench-page-bench: %s\n", error.c_str());
            return 1;
        }
        const auto listed = Clock::now(); // registered: the next look lists it
        Spin([&] { return s.firstByte.has_value(); }, Millis(10'000));
        if (!s.firstByte) {
            std::fprintf(stderr, "bench-page-bench: unit %d was not flashed\n", i);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(*s.firstByte - listed).count());
        Spin([&] { return page.StationDone() == i + 1; }, Millis(60'000));
    }
    std::sort(ms.begin(), ms.end());
    std::printf("station units=%d done=%d median_ms=%.1f worst_ms=%.1f\n", units,
                page.StationDone(), ms[ms.size() / 2], ms.back());
    std::fflush(stdout);
    return 0;
}

} // namespace
} // namespace fw::e2e

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<int> ns;
    long kib = 64;
    int units = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--n" && i + 1 < argc) {
            std::string list = argv[++i];
            for (std::size_t at = 0; at < list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                ns.push_back(std::atoi(list.substr(at, comma - at).c_str()));
                at = comma + 1;
            }
        } else if (arg == "--kib" && i + 1 < argc) {
            kib = std::atol(argv[++i]);
        } else if (arg == "--station" && i + 1 < argc) {
            units = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: bench-page-bench [--n N,...] [--kib KIB] [--station UNITS]\n");
            return 2;
        }
    }
    if (ns.empty() && units == 0) {
        ns = {32};
        units = 5;
    }
    int failures = 0;
    for (const int n : ns)
        failures += fw::e2e::BenchMode(FW_ANALYSER_SIM, FW_SREC_CAT, n, kib) != 0 ? 1 : 0;
    if (units > 0)
        failures += fw::e2e::StationMode(FW_ANALYSER_SIM, FW_SREC_CAT, units) != 0 ? 1 : 0;
    return failures == 0 ? 0 : 1;
}
