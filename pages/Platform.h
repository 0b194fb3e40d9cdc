// What differs between the systems both front ends run on: where the settings
// live and how several of them are stored at once, which serial ports there
// are and the control that opens one, and the stop signals. Each system has
// its own source file (PlatformLinux.cpp, PlatformWindows.cpp), picked by the
// CMake lists. The wizard and the command line take them from here alike.
#pragma once

#include "link/Transport.h"
#include "pages/PortDiscovery.h"
#include "platform/StopSignals.h"
#include "settings/Registry.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fw {

class MemoryRegistry;

struct PlatformParts {
    // The settings: the registry file (Linux), or the system registry with
    // the per-user fallback in the 32-bit view (Windows).
    std::unique_ptr<IRegistry> registry;
    // A serial control for the connection page's test opens and for the link.
    SerialPortFactory makeSerialPort;
    // A run's connection to a serial device server (TCP/IP).
    NetPortFactory makeNetPort;
    // The system's serial port names for the port search ("COM1\0COM7\0").
    PortListSource portList;
    // Held while a search walks that list; empty: nothing.
    PortSearchHold portSearchHold;
    // The device behind COM port n as the system names it ("/dev/ttyUSB0",
    // "\Device\Serial0"), for a listing; empty when not known.
    std::function<std::string(int port)> portDevice;
};

// The parts over the settings store, the serial ports numbered from it.
PlatformParts MakePlatformParts();
// The same, with the serial ports numbered from `ports` instead of the store
// (Linux: its Ports key, a copy of the store's that may hold ports registered
// for one run); it must outlive the parts. Windows numbers its ports itself.
PlatformParts MakePlatformParts(IRegistry& ports);

// Whether a serial port may be named by its device's path (Linux:
// "/dev/ttyUSB0"); Windows names its ports COMn only.
bool PortsByDevicePath();

// Where the settings live, for messages: the settings file, or the registry key.
std::string SettingsPlace();

// The store's keys copied into `copy`, read once: Linux numbers its serial
// ports from them. On Windows the copy stays empty.
void CopySettings(IRegistry& store, MemoryRegistry& copy);

// Stores the (value name, text) pairs in the settings section of `store`, all
// of them or none: empty when stored, else why not, in words for the user
// ("another program has kept FILE locked for 3 s", "access to ... was denied").
// Linux writes them in one step of the settings file; Windows writes them one
// by one and, when one is refused, sets those written before it back.
std::string SaveSettingsAtOnce(IRegistry& store,
                               const std::vector<std::pair<std::string, std::string>>& values);

// The stop signals, handled in the event loop: Linux's SIGINT (Ctrl-C),
// SIGTERM, SIGHUP and SIGQUIT; the Windows console's Ctrl-C, Ctrl-Break,
// close, log-off and shut-down, given the numbers of platform/StopSignals.h.
// `stopped` is called with the number once for each; when it returns, the
// runs it stopped are taken to be on record (a console being closed waits for
// that). Null (errno set) when they cannot be caught.
std::unique_ptr<QObject> WatchStopSignals(std::function<void(int signal)> stopped);

// What the watch does when the signals' pipe or event is raised: the signal
// taken, `stopped` told, and the signal handled.
inline void HandleStopSignal(const std::function<void(int signal)>& stopped) {
    if (const int sig = TakeStopSignal(); sig != 0) {
        stopped(sig);
        StopSignalHandled();
    }
}

} // namespace fw
