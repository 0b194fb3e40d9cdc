// flashwright-cli flash --watch: a station. Every serial port (with --type
// USB: every converter) that appears while it runs is flashed once per
// appearance, in the order they came, each its own run on a bench of runs
// with the batch's id in its record; a unit still plugged in is not flashed
// again. Runs until Ctrl-C (or SIGTERM, SIGHUP, SIGQUIT), which abandons the
// runs still going; then the table of every unit.
#include "cli/Commands.h"

#include "cli/ConsoleBench.h"
#include "cli/Terminal.h"
#include "engine/RunConfig.h"
#include "engine/RunRecord.h"
#include "link/usb/ConverterList.h"
#include "link/usb/UsbDriverFactory.h"
#include "pages/BenchNames.h"
#include "pages/Platform.h"
#include "pages/PortWatch.h"
#include "run/Bench.h"
#include "settings/Settings.h"
#include "settings/Text.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace fw::cli {
namespace {

constexpr int kPollMs = 300;

} // namespace

int WatchCommand(const FlashOptions& o) {
    const PlatformParts parts = MakePlatformParts();
    Settings stored(*parts.registry);
    const std::string filename = o.file ? *o.file : stored.GetSettingValue(kSection, kFilename, "");
    const bool converters = o.type && *o.type == "USB";
    if (o.type && !converters && *o.type != "COM") {
        std::fprintf(stderr, "%s: --watch watches serial ports (COM) or converters (USB)\n",
                     kProgram);
        return kExitUsage;
    }
    std::shared_ptr<const FirmwareCheck> checked;
    if (o.operations[4] || o.sha256) {
        if (const std::optional<int> refused = CheckBeforeRuns(filename, o.sha256, &checked)) {
            return *refused;
        }
    }
    // The port list is read again at every look: a port registered meanwhile
    // (the simulator registers itself) appears as a plugged-in one does.
    const std::unique_ptr<IUsbDriver> usb = MakeUsbDriver();
    FileRunLog runLog(DefaultRunLogPath(), kProgram);
    std::FILE* out = o.json ? stderr : stdout;
    Bench bench(Bench::Services{MachineTransports(parts, *usb),
                                [out](const BenchRun& run) -> std::unique_ptr<IRunScreen> {
                                    auto screen = std::make_unique<ConsoleScreen>(out, false, run);
                                    screen->view.SetPrefix(Printable(run.name) + ": ");
                                    screen->box.SetPrefix(Printable(run.name) + ": ");
                                    return screen;
                                },
                                PostToEventLoop, [] { return EngineClock::now(); }, &runLog, true});
    if (o.timeoutSeconds) {
        bench.SetTimeout(std::chrono::duration_cast<EngineClock::duration>(
            std::chrono::duration<double>(*o.timeoutSeconds)));
    }
    RunConfig shared;
    shared.filename = filename;
    shared.checked = checked; // one image for every unit
    ApplyOperations(o.operations, shared.operations);

    PortWatch watch;
    const auto look = [&] {
        std::vector<std::string> present;
        if (converters) {
            for (const Converter& c : ListConverters(*usb).converters) {
                present.push_back(kUsbNamePrefix + c.serial);
            }
        } else {
            present = SplitPortList(parts.portList());
        }
        for (const std::string& name : watch.Look(present).appeared) {
            const bool going =
                std::any_of(bench.Runs().begin(), bench.Runs().end(), [&](const BenchRun& r) {
                    return r.name == name && r.Phase() != BenchPhase::Ended;
                });
            if (!going) {
                WriteProgress(out, Printable(name) + ": plugged in\n");
                bench.Add(name, BenchRunConfig(name, shared));
            }
        }
    };
    look(); // what is there now is not flashed
    WriteProgress(out, std::string(kProgram) + ": watching " +
                           (converters ? "the USB converters" : "the serial ports") +
                           "; Ctrl-C ends\n");
    QTimer poll;
    poll.setInterval(kPollMs);
    QObject::connect(&poll, &QTimer::timeout, &poll, look);
    poll.start();
    const int signalNumber = RunBenchToEnd(bench, nullptr, true);
    poll.stop();

    // The table: every unit in the order it came.
    std::size_t width = 8;
    for (const BenchRun& r : bench.Runs()) {
        width = std::max(width, Printable(r.name).size());
    }
    const auto row = [width](const std::string& name, const std::string& result,
                             const std::string& reason) {
        std::string text = name;
        text.resize(width + 2, ' ');
        text += result;
        text.resize(width + 2 + 13, ' ');
        return text + reason + "\n";
    };
    std::string table = std::string(kProgram) + ": stopped (" + SignalName(signalNumber) + ")\n" +
                        row("ANALYSER", "RESULT", "REASON");
    std::size_t ok = 0;
    for (const BenchRun& r : bench.Runs()) {
        ok += r.Result() == RunResult::Success ? 1 : 0;
        table += row(Printable(r.name), OutcomeText(r), OneLine(r.Reason()));
    }
    table += std::to_string(ok) + " of " + std::to_string(bench.Runs().size()) + " units OK\n";
    WriteProgress(out, table);
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
