// What differs between the systems the wizard runs on: where the settings
// live, which serial ports there are, and the control that opens one. Each
// system has its own source file (PlatformLinux.cpp, PlatformWindows.cpp),
// picked by the CMake lists.
#pragma once

#include "link/Transport.h"
#include "pages/PortDiscovery.h"
#include "settings/Registry.h"

#include <memory>

namespace fw {

struct PlatformParts {
    std::unique_ptr<IRegistry> registry;
    // A serial control for the connection page's test opens and for the link.
    SerialPortFactory makeSerialPort;
    // A run's connection to a serial device server (TCP/IP).
    NetPortFactory makeNetPort;
    // The system's serial port names for the port search ("COM1\0COM7\0").
    PortListSource portList;
    // Held while a search walks that list; empty: nothing.
    PortSearchHold portSearchHold;
};

PlatformParts MakePlatformParts();

} // namespace fw
