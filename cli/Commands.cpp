#include "cli/Commands.h"

#include "cli/ConsoleBench.h"
#include "cli/Terminal.h"
#include "engine/FirmwareCheck.h"
#include "engine/RunRecord.h"
#include "link/serial/ComPortNames.h"
#include "link/usb/ConverterList.h"
#include "link/usb/UsbDriverFactory.h"
#include "pages/Platform.h"
#include "pages/PortDiscovery.h"
#include "settings/MemoryRegistry.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace fw::cli {
namespace {

// The port search's list box, kept in memory.
class ListOfPorts : public IListBox {
public:
    int ListCount() const override { return static_cast<int>(items.size()); }
    void AddItem(const std::string& text) override { items.push_back(text); }
    std::string List(int index) const override { return items.at(static_cast<std::size_t>(index)); }
    void SetListIndex(int index) override { selected = index; }
    int ListIndex() const override { return selected; }

    std::vector<std::string> items;
    int selected = -1;
};

// The port search's words to the user ("no ports", "port missing") are of no
// use to a listing: it says so itself.
class QuietBox : public IMessageBox {
public:
    void Show(const std::string&, MsgIcon, const std::string&) override {}
};

// --port DEVICE (Linux): the device takes the number a port already lists it
// under, else a free one, registered in the Ports key as the simulator
// registers itself: in the settings file with --save, otherwise in `runPorts`,
// a copy of the file's keys that serves this run only. The number, or nullopt
// (said on stderr) when none is free or the file cannot be written.
std::optional<int> NumberDevice(IRegistry& registry, MemoryRegistry& runPorts,
                                const std::string& device, bool save) {
    const std::optional<DevicePort> port = PortForDevice(ComPortNames(&registry), device);
    if (!port) {
        std::fprintf(stderr, "%s: no free COM number for %s in %s\n", kProgram, device.c_str(),
                     SettingsPlace().c_str());
        return std::nullopt;
    }
    CopySettings(registry, runPorts); // as just read by the port listing
    if (!port->fresh) {
        return port->number;
    }
    const std::string name = ComName(port->number);
    if (!RegWriteString(save ? registry : runPorts, kPortsKeyPath, name, device,
                        HKEY_LOCAL_MACHINE)) {
        std::fprintf(stderr, "%s: cannot register %s as %s in %s\n", kProgram, device.c_str(),
                     name.c_str(), SettingsPlace().c_str());
        return std::nullopt;
    }
    if (save) {
        std::fprintf(stderr, "%s: %s registered as %s\n", kProgram, device.c_str(), name.c_str());
    }
    return port->number;
}

std::string Printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

int ListCommand() {
    // The settings read once (on Linux a copy of the file, in which the ports
    // are numbered): the port search looks a port up many times, and each
    // look at the file itself would read it again.
    const PlatformParts stored = MakePlatformParts();
    MemoryRegistry copy;
    CopySettings(*stored.registry, copy);
    const PlatformParts parts = MakePlatformParts(copy);
    QuietBox quiet;
    PortDiscovery discovery(parts.portList, *parts.registry, quiet, parts.portSearchHold);
    ListOfPorts ports;
    const std::unique_ptr<ISerialPort> probe = parts.makeSerialPort();
    // No wanted port, and nothing written back: a listing changes nothing.
    discovery.loadComPortAndBaud(*probe, ports, 0, kTrue);

    std::printf("Serial ports:\n");
    if (ports.items.empty()) {
        std::printf("  (none)\n");
    }
    const std::shared_ptr<void> hold = parts.portSearchHold ? parts.portSearchHold() : nullptr;
    for (const std::string& entry : ports.items) {
        const bool inUse =
            entry.size() >= std::string(kInUseMark).size() && entry.ends_with(kInUseMark);
        const std::int64_t number = EntryPortNumber(entry);
        const std::string device =
            number > 0 && number <= kMaxComPort ? parts.portDevice(static_cast<int>(number)) : "";
        const std::string name = ComName(static_cast<int>(number));
        std::printf("  %-7s %s%s\n", name.c_str(), device.empty() ? "?" : device.c_str(),
                    inUse ? kInUseMark : "");
    }

    std::printf("USB converters:\n");
    const ConverterList list = ListConverters(*MakeUsbDriver());
    for (const Converter& c : list.converters) {
        std::printf("  %s : %s\n", c.description.c_str(), c.serial.c_str());
    }
    if (!list.error.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s%s\n", kProgram, kMsgUsbDriverError, list.error.c_str());
        return kExitFailed;
    }
    if (list.converters.empty()) {
        std::printf("  (none)\n");
    }
    return kExitOk;
}

std::string RefusalText(const FirmwareCheck& check) {
    return check.reason == kMsgInvalidFile
               ? (check.detail.empty() ? "cannot be opened" : check.detail)
               : (check.line > 0 ? "line " + std::to_string(check.line) + " " : std::string()) +
                     check.reason;
}

std::optional<int> CheckBeforeRuns(const std::string& path,
                                   const std::optional<std::string>& sha256,
                                   std::shared_ptr<const FirmwareCheck>* checked) {
    auto check = std::make_shared<FirmwareCheck>(CheckFirmwareFile(path));
    if (!check->ok) {
        std::fprintf(stderr, "%s: refused: %s; no analyser was touched\n", path.c_str(),
                     RefusalText(*check).c_str());
        return kExitFailed;
    }
    if (sha256 && *sha256 != check->summary.sha256) {
        std::fprintf(stderr,
                     "%s: refused: its SHA-256 is %s, not %s as --sha256 requires; no analyser "
                     "was touched\n",
                     path.c_str(), check->summary.sha256.c_str(), sha256->c_str());
        return kExitFailed;
    }
    if (checked != nullptr) {
        *checked = std::move(check);
    }
    return std::nullopt;
}

int CheckCommand(const std::string& path) {
    const FirmwareCheck check = CheckFirmwareFile(path);
    if (!check.ok) {
        std::fprintf(stderr, "%s: refused: %s\n", path.c_str(), RefusalText(check).c_str());
        return kExitFailed;
    }
    const FirmwareSummary& s = check.summary;
    const char* kind = s.s1Records > 0 && s.s2Records > 0 ? "S1 and S2"
                       : s.s2Records > 0                  ? "S2 (24-bit addresses)"
                                                          : "S1 (16-bit addresses)";
    const int width = s.s2Records > 0 ? 6 : 4;
    std::printf("file:       %s\n", path.c_str());
    std::printf("bytes:      %" PRId64 "\n", s.bytes);
    std::printf("records:    %" PRId64 " %s\n", s.records, kind);
    std::printf("addresses:  0x%0*" PRIX32 " to 0x%0*" PRIX32 "\n", width, s.lowAddress, width,
                s.dataBytes > 0 ? s.highAddress : s.lowAddress);
    std::printf("data bytes: %" PRId64 "\n", s.dataBytes);
    std::printf("sha256:     %s\n", s.sha256.c_str());
    return kExitOk;
}

int FlashCommand(const FlashOptions& o) {
    // The run takes what is given on the command line and, for the rest, the
    // stored values; the stored values change only when asked (--save).
    PlatformParts stored = MakePlatformParts();
    IRegistry& registry = *stored.registry;
    Settings settings(registry);
    MemoryRegistry runPorts;
    const std::optional<int> port =
        o.portDevice ? NumberDevice(registry, runPorts, *o.portDevice, o.save) : o.port;
    if (o.portDevice && !port) {
        return kExitFailed;
    }
    const RunConfig defaults;
    RunConfig config;
    const std::string code =
        o.type ? *o.type
               : settings.GetSettingValue(kSection, kConnectionType, TypeCode(defaults.type));
    config.comPort = port ? std::to_string(*port)
                          : settings.GetSettingValue(kSection, kComPort, defaults.comPort);
    config.usbSerial =
        o.usb ? *o.usb : settings.GetSettingValue(kSection, kUsbAnalyser, defaults.usbSerial);
    config.address =
        o.address ? *o.address : settings.GetSettingValue(kSection, kAddress, defaults.address);
    config.filename =
        o.file ? *o.file : settings.GetSettingValue(kSection, kFilename, defaults.filename);
    ApplyOperations(o.operations, config.operations);
    const std::optional<ConnectionType> type = ParseConnectionType(code);
    if (!type) {
        // Only a hand-edited store holds another type; the link would open
        // nothing and the run would wait for the analyser without end.
        std::fprintf(stderr,
                     "%s: the stored connection type \"%s\" in %s is none of COM, USB, TCP: give "
                     "--type, or correct \"%s\" there\n",
                     kProgram, code.c_str(), SettingsPlace().c_str(), kConnectionType);
        return kExitUsage;
    }
    config.type = *type;
    if (o.sha256) {
        // A pinned release: the file is checked and its digest compared
        // before anything is stored or the port opens.
        if (const std::optional<int> refused =
                CheckBeforeRuns(config.filename, o.sha256, &config.checked)) {
            return *refused;
        }
    }
    if (o.save) {
        // As the connection and firmware pages' Next buttons store them: the
        // type with what belongs to it, then the file; all of them, or none
        // and then no run either.
        std::vector<std::pair<std::string, std::string>> values{
            {kConnectionType, TypeCode(config.type)}};
        if (config.type == ConnectionType::Serial) {
            values.emplace_back(kComPort, config.comPort);
        } else if (config.type == ConnectionType::Usb) {
            values.emplace_back(kUsbAnalyser, config.usbSerial);
        } else if (config.type == ConnectionType::Tcp) {
            values.emplace_back(kAddress, config.address);
        }
        values.emplace_back(kFilename, config.filename);
        if (const std::string failure = SaveSettingsAtOnce(registry, values); !failure.empty()) {
            std::fprintf(stderr, "%s: the settings were not saved: %s; nothing was sent\n",
                         kProgram, failure.c_str());
            return kExitFailed;
        }
    }
    // A device given by path without --save is numbered in the run's copy.
    const PlatformParts parts =
        o.portDevice && !o.save ? MakePlatformParts(runPorts) : std::move(stored);
    const std::unique_ptr<IUsbDriver> usb = MakeUsbDriver();
    // With --json the record alone goes to standard output.
    std::FILE* progressOut = o.json ? stderr : stdout;
    FileRunLog runLog;
    // One analyser is a bench of one, shown as the single run it is: one live
    // line on a terminal, its record without a batch.
    Bench bench(Bench::Services{MachineTransports(parts, *usb),
                                [progressOut](const BenchRun& run) {
                                    auto screen = std::make_unique<ConsoleScreen>(
                                        progressOut, IsTerminal(::fileno(progressOut)), run);
                                    screen->view.FollowTerminalWidth(::fileno(progressOut));
                                    return screen;
                                },
                                PostToEventLoop, [] { return EngineClock::now(); }, &runLog,
                                false});
    if (o.timeoutSeconds) {
        bench.SetTimeout(std::chrono::duration_cast<EngineClock::duration>(
            std::chrono::duration<double>(*o.timeoutSeconds)));
    }
    bench.on.timedOut = [&o](BenchRun& run) {
        static_cast<ConsoleScreen&>(*run.Screen()).view.BreakLine();
        WriteProgress(stderr, std::string(kProgram) + Printed(": the run did not end within %g s\n",
                                                              *o.timeoutSeconds));
    };
    const BenchRun& run = bench.Add(std::string(), config);
    const int signalNumber = RunBenchToEnd(bench, [](int sig) {
        WriteProgress(stderr, std::string(kProgram) + ": interrupted (" + SignalName(sig) +
                                  "); the run was abandoned\n");
    });
    if (signalNumber != 0) {
        return 128 + signalNumber;
    }

    const RunRecord* record = run.Record();
    if (record != nullptr && record->result == RunResult::Success &&
        record->recordsUnconfirmed > 0) {
        // Accepted as the wizard accepts it, but said: the analyser stayed
        // silent about the last records.
        WriteProgress(progressOut, "Unconfirmed: " + std::to_string(record->recordsUnconfirmed) +
                                       " of " + std::to_string(record->recordsSent) +
                                       " records had no answer from the analyser\n");
    }
    if (o.json && record != nullptr) {
        WriteProgress(stdout, ToJsonLine(*record) + "\n");
    }
    return run.Result() == RunResult::Success  ? kExitOk
           : run.Result() == RunResult::NoLink ? kExitNoLink
                                               : kExitFailed;
}

} // namespace fw::cli
