#include "cli/Commands.h"

#include "cli/ConsoleView.h"
#include "engine/FirmwareCheck.h"
#include "engine/RunRecord.h"
#include "engine/UpdateEngine.h"
#include "link/ComPortNames.h"
#include "link/LinkOperations.h"
#include "link/QtNetSerialPort.h"
#include "link/UsbDriverFactory.h"
#include "pages/PortDiscovery.h"
#include "settings/FileRegistry.h"
#include "settings/MemoryRegistry.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace fw::cli {
namespace {

constexpr const char* kProgram = "flashwright-cli";

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

std::string BeforeNul(const FtTextBuffer& buffer) {
    std::size_t n = 0;
    while (n < buffer.size() && buffer[n] != '\0') {
        ++n;
    }
    return std::string(buffer.data(), n);
}

// Ctrl-C (and a polite kill) arrive on this pipe, so that they are handled in
// the event loop like any other event, never inside a signal handler.
int gSignalPipe[2] = {-1, -1};

extern "C" void OnSignal(int sig) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

bool CatchSignals() {
    if (gSignalPipe[0] < 0 && ::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// The values of the Settings key a run reads, each with the default the
// program reads it with.
struct StoredValue {
    const char* name;
    const char* fallback;
};
constexpr StoredValue kRunValues[] = {{kConnectionType, "COM"},
                                      {kComPort, "1"},
                                      {kUsbAnalyser, ""},
                                      {kAddress, "192.168.0.1"},
                                      {kFilename, ""}};

} // namespace

int ListCommand() {
    FileRegistry registry(DefaultRegistryFile());
    ComPortNames names(&registry);
    QuietBox quiet;
    PortDiscovery discovery([&names] { return names.PlatformList(); }, registry, quiet);
    ListOfPorts ports;
    QtSerialPort probe(names);
    // No wanted port, and nothing written back: a listing changes nothing.
    discovery.loadComPortAndBaud(probe, ports, 0, kTrue);

    std::printf("Serial ports:\n");
    if (ports.items.empty()) {
        std::printf("  (none)\n");
    }
    for (const std::string& entry : ports.items) {
        const bool inUse =
            entry.size() >= std::string(kInUseMark).size() && entry.ends_with(kInUseMark);
        const std::int64_t number = EntryPortNumber(entry);
        const std::optional<std::string> device = number > 0 && number <= kMaxComPort
                                                      ? names.DevicePath(static_cast<int>(number))
                                                      : std::nullopt;
        const std::string name = "COM" + std::to_string(number);
        std::printf("  %-7s %s%s\n", name.c_str(), device.value_or("?").c_str(),
                    inUse ? kInUseMark : "");
    }

    std::printf("USB converters:\n");
    int status = kExitOk;
    std::uint32_t count = 0;
    try {
        const std::unique_ptr<IUsbDriver> usb = MakeUsbDriver();
        usb->FT_ListDevices(count, FT_LIST_NUMBER_ONLY);
        for (std::uint32_t i = 0; i < count; ++i) {
            FtTextBuffer description{};
            FtTextBuffer serial{};
            usb->FT_ListDevices(i, description, FT_LIST_BY_INDEX_DESCRIPTION);
            usb->FT_ListDevices(i, serial, FT_LIST_BY_INDEX_SERIAL_NUMBER);
            std::printf("  %s : %s\n", BeforeNul(description).c_str(), BeforeNul(serial).c_str());
        }
    } catch (const UsbDriverError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s%s\n", kProgram, kMsgUsbDriverError, e.what());
        status = kExitFailed;
    }
    if (count == 0 && status == kExitOk) {
        std::printf("  (none)\n");
    }
    return status;
}

int CheckCommand(const std::string& path) {
    const FirmwareCheck check = CheckFirmwareFile(path);
    if (!check.ok) {
        const std::string what =
            check.reason == kMsgInvalidFile
                ? "cannot be opened"
                : (check.line > 0 ? "line " + std::to_string(check.line) + " " : std::string()) +
                      check.reason;
        std::fprintf(stderr, "%s: refused: %s\n", path.c_str(), what.c_str());
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
    // The run reads its settings from a copy: what is given on the command
    // line stands in for the stored value without replacing it, unless asked.
    FileRegistry registry(DefaultRegistryFile());
    Settings stored(registry);
    MemoryRegistry runRegistry;
    Settings settings(runRegistry);
    for (const StoredValue& v : kRunValues) {
        settings.SaveSettingValue(kSection, v.name,
                                  stored.GetSettingValue(kSection, v.name, v.fallback));
    }
    if (o.type) {
        settings.SaveSettingValue(kSection, kConnectionType, *o.type);
    }
    if (o.port) {
        settings.SaveSettingValue(kSection, kComPort, std::to_string(*o.port));
    }
    if (o.usb) {
        settings.SaveSettingValue(kSection, kUsbAnalyser, *o.usb);
    }
    if (o.address) {
        settings.SaveSettingValue(kSection, kAddress, *o.address);
    }
    if (o.file) {
        settings.SaveSettingValue(kSection, kFilename, *o.file);
    }
    const std::string type = settings.GetSettingValue(kSection, kConnectionType, "COM");
    if (o.save) {
        // As the connection and firmware pages' Next buttons store them: the
        // type with what belongs to it, then the file.
        bool saved = stored.SaveSettingValue(kSection, kConnectionType, type);
        if (type == "COM") {
            saved &= stored.SaveSettingValue(kSection, kComPort,
                                             settings.GetSettingValue(kSection, kComPort, "1"));
        } else if (type == "USB") {
            saved &= stored.SaveSettingValue(kSection, kUsbAnalyser,
                                             settings.GetSettingValue(kSection, kUsbAnalyser, ""));
        } else if (type == "TCP") {
            saved &= stored.SaveSettingValue(
                kSection, kAddress,
                settings.GetSettingValue(kSection, kAddress, kDefaultNetAddress));
        }
        saved &= stored.SaveSettingValue(kSection, kFilename,
                                         settings.GetSettingValue(kSection, kFilename, ""));
        if (!saved) {
            std::fprintf(stderr, "%s: the settings could not be saved to %s\n", kProgram,
                         DefaultRegistryFile().c_str());
        }
    }
    ComPortNames names(&registry);
    const std::unique_ptr<IUsbDriver> usb = MakeUsbDriver();
    // With --json the record alone goes to standard output.
    std::FILE* progressOut = o.json ? stderr : stdout;
    ConsoleView view(progressOut, ::isatty(::fileno(progressOut)) == 1,
                     [&names] { return std::make_unique<QtNetSerialPort>(names); });
    ConsoleMessageBox box(stderr, &view);
    ModFlashwright mod;
    ApplyOperations(o.operations, mod);
    ProgressFields fields;
    Link link(mod, view, settings, *usb, box);
    FileRunLog runLog;
    UpdateEngine engine(mod, fields, view, link, settings, box, &runLog);
    view.SetFigures([&fields, &engine] {
        return UploadFigures{fields.nRecordsSent, fields.nRecordsPassed,
                             engine.CheckedFile().summary.records,
                             engine.CheckedFile().summary.bytes};
    });

    int exitCode = -1;
    const auto finish = [&exitCode](int code) {
        if (exitCode < 0) {
            exitCode = code;
            QCoreApplication::exit(code);
        }
    };
    const auto checkEnd = [&] {
        if (!engine.RunActive()) {
            finish(engine.LastRun().result == "success" ? kExitOk : kExitFailed);
        }
    };

    if (!CatchSignals()) {
        std::fprintf(stderr, "%s: cannot catch Ctrl-C: %s\n", kProgram, std::strerror(errno));
    }
    QSocketNotifier interrupt(gSignalPipe[0], QSocketNotifier::Read);
    int signalNumber = 0;
    QObject::connect(&interrupt, &QSocketNotifier::activated, &interrupt, [&] {
        unsigned char byte = 0;
        while (::read(gSignalPipe[0], &byte, 1) == 1) {
            signalNumber = byte;
        }
        // What Previous does: nothing more is sent, the converter and the
        // firmware file close, the run is recorded as abandoned, and the
        // serial port closes with the page.
        mod.nUpdateState = kStateIdle;
        link.CloseUsb();
        engine.AbandonRun();
        view.Unload();
        view.BreakLine();
        std::fprintf(stderr, "%s: interrupted; the run was abandoned\n", kProgram);
        finish(128 + signalNumber);
    });

    // The page's load and activation, then the operations page's Next.
    view.SetOnTick([&] {
        engine.AFTimer1_Timer();
        checkEnd();
    });
    view.Load();
    view.Serial()->SetOnComm([&] {
        engine.afComm1_OnComm();
        checkEnd();
    });
    engine.FormActivate();
    engine.ConnectToAnalyser();
    if (mod.nUpdateState != kStateStart) {
        exitCode = kExitNoLink; // the run is on record as failed
    } else {
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &timeout, [&] {
            if (engine.RunActive()) {
                engine.FailRun("timed out");
                view.BreakLine();
                std::fprintf(stderr, "%s: the run did not end within %g s\n", kProgram,
                             *o.timeoutSeconds);
            }
            checkEnd();
        });
        if (o.timeoutSeconds) {
            timeout.start(static_cast<int>(*o.timeoutSeconds * 1000));
        }
        QCoreApplication::exec();
    }

    // Leaving the run as Previous leaves it (nothing is abandoned that ended).
    mod.nUpdateState = kStateIdle;
    link.CloseUsb();
    engine.AbandonRun();
    view.Unload();
    view.BreakLine();
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);

    if (o.json) {
        std::printf("%s\n", ToJsonLine(engine.LastRun()).c_str());
        std::fflush(stdout);
    }
    return exitCode;
}

} // namespace fw::cli
