// Linux: settings in the registry file below the user's configuration folder,
// ports numbered over the device tree (and the registry's extra ports), the Qt
// serial control, and the Qt connection to serial device servers over TCP/IP.
#include "app/Platform.h"

#include "link/net/QtNetPort.h"
#include "link/serial/ComPortNames.h"
#include "link/serial/QtSerialPort.h"
#include "settings/FileRegistry.h"

namespace fw {

PlatformParts MakePlatformParts() {
    auto registry = std::make_unique<FileRegistry>(DefaultRegistryFile());
    auto names = std::make_shared<ComPortNames>(registry.get());
    return PlatformParts{
        std::move(registry),
        [names] { return std::make_unique<QtSerialPort>(*names); },
        [] { return std::make_unique<QtNetPort>(); },
        [names] { return names->PlatformList(); },
        [names] { return names->HoldRegistryPorts(); },
    };
}

} // namespace fw
