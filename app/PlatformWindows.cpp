// Windows: settings in the system registry (HKEY_LOCAL_MACHINE), the ports
// the system lists under HARDWARE\DEVICEMAP\SERIALCOMM, the Win32 COM port
// control, and the Qt connection to serial device servers over TCP/IP.
#include "app/Platform.h"

#include "link/net/QtNetPort.h"
#include "link/serial/Win32SerialPort.h"
#include "settings/WinRegistry.h"

namespace fw {

PlatformParts MakePlatformParts() {
    auto registry = std::make_unique<WinRegistry>();
    PortListSource ports = RegistryPortList(*registry);
    return PlatformParts{
        std::move(registry),
        [] { return std::make_unique<Win32SerialPort>(); },
        [] { return std::make_unique<QtNetPort>(); },
        std::move(ports),
        nullptr,
    };
}

} // namespace fw
