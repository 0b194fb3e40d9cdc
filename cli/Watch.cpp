// flashwright-cli flash --watch: a station. Every serial port (with --type
// USB: every converter) that appears while it runs is flashed once per
// appearance, in the order they came, each its own run on a bench of runs
// with the batch's id in its record; a unit still plugged in is not flashed
// again. Runs until Ctrl-C (or SIGTERM, SIGHUP, SIGQUIT), which abandons the
// runs still going; then the table of every unit.
#include "cli/Commands.h"

#include "cli/ConsoleBench.h"
#include "engine/RunConfig.h"
#include "engine/RunRecord.h"
#include "link/serial/ComPortNames.h"
#include "link/usb/ConverterList.h"
#include "link/usb/UsbDriverFactory.h"
#include "pages/BenchNames.h"
#include "pages/PortWatch.h"
#include "platform/StopSignals.h"
#include "run/Bench.h"
#include "settings/FileRegistry.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace fw::cli {
namespace {

constexpr int kPollMs = 300;

const char* Outcome(const BenchRun& run) {
    if (run.Phase() != BenchPhase::Ended) {
        return run.Phase() == BenchPhase::Running ? "running" : "waiting";
    }
    switch (run.Result()) {
    case RunResult::Success:
        return "OK";
    case RunResult::Failed:
        return "FAILED";
    case RunResult::NoLink:
        return "NO LINK";
    case RunResult::Abandoned:
        return "ABANDONED";
    case RunResult::NotStarted:
        return "NOT STARTED";
    }
    return "";
}

} // namespace

int WatchCommand(const FlashOptions& o) {
    FileRegistry registry(DefaultRegistryFile());
    Settings stored(registry);
    const std::string filename = o.file ? *o.file : stored.GetSettingValue(kSection, kFilename, "");
    const bool converters = o.type && *o.type == "USB";
    if (o.type && !converters && *o.type != "COM") {
        std::fprintf(stderr, "%s: --watch watches serial ports (COM) or converters (USB)\n",
                     kProgram);
        return kExitUsage;
    }
    std::string digest;
    if (o.operations[4] || o.sha256) {
        if (const std::optional<int> refused = CheckBeforeRuns(filename, o.sha256, &digest)) {
            return *refused;
        }
    }
    // The Ports key is read again at every look: a port registered meanwhile
    // (the simulator registers itself) appears as a plugged-in one does.
    ComPortNames names(&registry);
    const std::unique_ptr<IUsbDriver> usb = MakeUsbDriver();
    FileRunLog runLog(DefaultRunLogPath(), kProgram);
    std::FILE* out = o.json ? stderr : stdout;
    Bench bench(Bench::Services{MachineTransports(names, *usb),
                                [out](const BenchRun& run) -> std::unique_ptr<IRunScreen> {
                                    auto screen = std::make_unique<ConsoleScreen>(out, false, run);
                                    screen->view.SetPrefix(run.name + ": ");
                                    screen->box.SetPrefix(run.name + ": ");
                                    return screen;
                                },
                                PostToEventLoop, [] { return EngineClock::now(); }, &runLog, true});
    bench.SetDigest(digest);
    if (o.timeoutSeconds) {
        bench.SetTimeout(std::chrono::duration_cast<EngineClock::duration>(
            std::chrono::duration<double>(*o.timeoutSeconds)));
    }
    RunConfig shared;
    shared.filename = filename;
    ApplyOperations(o.operations, shared.operations);

    PortWatch watch;
    const auto look = [&] {
        std::vector<std::string> present;
        if (converters) {
            for (const Converter& c : ListConverters(*usb).converters) {
                present.push_back(kUsbNamePrefix + c.serial);
            }
        } else {
            present = SplitPortList(names.PlatformList());
        }
        for (const std::string& name : watch.Look(present).appeared) {
            const bool going =
                std::any_of(bench.Runs().begin(), bench.Runs().end(), [&](const BenchRun& r) {
                    return r.name == name && r.Phase() != BenchPhase::Ended;
                });
            if (!going) {
                std::fprintf(out, "%s: plugged in\n", name.c_str());
                std::fflush(out);
                bench.Add(name, BenchRunConfig(name, shared));
            }
        }
    };
    look(); // what is there now is not flashed
    std::fprintf(out, "%s: watching %s; Ctrl-C ends\n", kProgram,
                 converters ? "the USB converters" : "the serial ports");
    std::fflush(out);

    const int stopSignals = CatchStopSignals();
    if (stopSignals < 0) {
        std::fprintf(stderr, "%s: cannot catch Ctrl-C: %s\n", kProgram, std::strerror(errno));
        return kExitFailed;
    }
    int signalNumber = 0;
    QSocketNotifier interrupt(stopSignals, QSocketNotifier::Read);
    QObject::connect(&interrupt, &QSocketNotifier::activated, &interrupt, [&] {
        signalNumber = TakeStopSignal();
        bench.StopAll();
        QCoreApplication::exit(0);
    });
    QTimer poll;
    poll.setInterval(kPollMs);
    QObject::connect(&poll, &QTimer::timeout, &poll, look);
    bench.Start();
    poll.start();
    QCoreApplication::exec();
    poll.stop();
    ReleaseStopSignals();

    // The table: every unit in the order it came.
    std::size_t width = 8;
    for (const BenchRun& r : bench.Runs()) {
        width = std::max(width, r.name.size());
    }
    std::fprintf(out, "%s: stopped (%s)\n", kProgram, SignalName(signalNumber));
    std::fprintf(out, "%-*s  %-11s  %s\n", static_cast<int>(width), "ANALYSER", "RESULT", "REASON");
    std::size_t ok = 0;
    for (const BenchRun& r : bench.Runs()) {
        ok += r.Result() == RunResult::Success ? 1 : 0;
        std::fprintf(out, "%-*s  %-11s  %s\n", static_cast<int>(width), r.name.c_str(), Outcome(r),
                     OneLine(r.Reason()).c_str());
    }
    std::fprintf(out, "%zu of %zu units OK\n", ok, bench.Runs().size());
    std::fflush(out);
    if (o.json) {
        std::string records = "[";
        for (const BenchRun& r : bench.Runs()) {
            if (const RunRecord* record = r.Record()) {
                records += (records.size() > 1 ? "," : "") + ToJsonLine(*record);
            }
        }
        std::printf("%s]\n", records.c_str());
        std::fflush(stdout);
    }
    return ok == bench.Runs().size() ? kExitOk : kExitFailed;
}

} // namespace fw::cli
