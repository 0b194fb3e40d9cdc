// first-page-bench: how long the wizard takes from start-up to the connection
// page on screen when the Ports key of the settings file holds many entries.
// The page searches the serial ports while it loads, so this is the port
// search over the real settings file, port names and serial control.
//
//   first-page-bench [--entries N] [--stale | --live N] [--settled]
//
// Without arguments: 0, 64 and 255 entries on live pseudo-terminals, 255
// entries whose devices are gone, and 255 entries of which 8 are live (a bench
// machine's Ports key), each in a process of its own; one line each:
//
//   entries= live= settled= first_page_ms= listed= lookups= lookup_ms=
//
// first_page_ms runs from showing the connection page to the page shown with its list
// filled; lookups counts the port-number-to-device lookups the serial control
// made, lookup_ms the time they took. The settings file is written just
// before the start, as the simulator does when it registers itself; with
// --settled the start waits until the file is over two seconds old.
#include "link/serial/ComPortNames.h"
#include "link/serial/QtSerialPort.h"
#include "link/usb/SysfsUsbDriver.h"
#include "pages/ConnectionPage.h"
#include "platform/VersionFacility.h"
#include "settings/FileRegistry.h"

#include <QApplication>
#include <QComboBox>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

class CountingBox : public fw::IMessageBox {
public:
    void Show(const std::string&, fw::MsgIcon, const std::string&) override { ++shown; }
    int shown = 0;
};

int Run(int argc, char** argv, int entries, int live, bool settled) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    char dirTemplate[] = "/tmp/fw-first-page-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr)
        return 2;
    const std::string dir = dirTemplate;
    const std::string file = dir + "/Flashwright.reg";

    // COM1..COMn, the first `live` each on a pseudo-terminal of its own, the
    // rest on devices that are gone; the masters stay open so that the
    // terminals do.
    std::vector<int> masters;
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright\\Ports]\n";
    for (int n = 1; n <= entries; ++n) {
        std::string device = dir + "/gone" + std::to_string(n);
        if (n <= live) {
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
                std::fprintf(stderr, "first-page-bench: no pseudo-terminal for COM%d\n", n);
                return 2;
            }
            masters.push_back(master);
            device = ::ptsname(master);
        }
        text += "\"COM" + std::to_string(n) + "\"=\"" + device + "\"\n";
    }
    std::ofstream(file, std::ios::binary) << text;
    if (settled)
        std::this_thread::sleep_for(std::chrono::milliseconds(2100)); // see FileRegistry::Load

    fw::FileRegistry registry(file);
    fw::SysfsUsbDriver usb;
    fw::ComPortNames names(&registry);
    CountingBox box;
    int lookups = 0;
    Clock::duration lookupTime{};
    const auto lookup = [&](int port) {
        const auto start = Clock::now();
        auto path = names.DevicePath(port);
        lookupTime += Clock::now() - start;
        ++lookups;
        return path;
    };
    // The wizard's first page as the wizard makes it.
    fw::Settings settings(registry);
    fw::RunConfig choices;
    fw::PortDiscovery discovery([&] { return names.PlatformList(); }, registry, box,
                                [&] { return names.HoldRegistryPorts(); });
    fw::ConnectionPage connection(
        fw::ConnectionPage::Services{settings, choices, usb, box, discovery,
                                     [&] { return std::make_unique<fw::QtSerialPort>(lookup); },
                                     [&] { return fw::MakePlatformVersionFacility(registry); }});

    const auto start = Clock::now();
    connection.Show();
    QApplication::processEvents();
    const auto shown = Clock::now();

    const auto* list = connection.Window() != nullptr
                           ? connection.Window()->findChild<QComboBox*>("cboConnection_Serial")
                           : nullptr;
    std::printf("entries=%d live=%d settled=%d first_page_ms=%.1f listed=%d lookups=%d "
                "lookup_ms=%.1f boxes=%d\n",
                entries, live, settled ? 1 : 0, Ms(shown - start),
                list != nullptr ? list->count() : -1, lookups, Ms(lookupTime), box.shown);
    std::fflush(stdout);
    for (int master : masters)
        ::close(master);
    std::filesystem::remove_all(dir);
    return list != nullptr && connection.IsLoaded() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    int entries = -1;
    int live = -1;
    bool settled = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--entries" && i + 1 < argc)
            entries = std::atoi(argv[++i]);
        else if (arg == "--stale")
            live = 0;
        else if (arg == "--live" && i + 1 < argc)
            live = std::atoi(argv[++i]);
        else if (arg == "--settled")
            settled = true;
        else {
            std::fprintf(stderr, "usage: %s [--entries N] [--stale | --live N] [--settled]\n",
                         argv[0]);
            return 2;
        }
    }
    if (entries >= 0)
        return Run(argc, argv, entries, live < 0 ? entries : std::min(live, entries), settled);

    // Each case in a process of its own, so that none inherits another's state.
    const std::vector<std::vector<std::string>> cases = {
        {"--entries", "0"},
        {"--entries", "64"},
        {"--entries", "255"},
        {"--entries", "255", "--settled"},
        {"--entries", "255", "--stale"},
        {"--entries", "255", "--live", "8"},
    };
    int status = 0;
    for (const auto& args : cases) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> child{argv[0]};
            for (const std::string& a : args)
                child.push_back(const_cast<char*>(a.c_str()));
            child.push_back(nullptr);
            ::execv("/proc/self/exe", child.data());
            ::_exit(127);
        }
        int wstatus = 0;
        ::waitpid(pid, &wstatus, 0);
        if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0)
            status = 1;
    }
    return status;
}
