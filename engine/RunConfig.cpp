#include "engine/RunConfig.h"

namespace fw {

void SetOperationDefaults(Operations& operations) {
    operations.bOpBootloader = kTrue;
    operations.bOpEraseFlash = kTrue;
    operations.bOpUpload = kTrue;
    operations.bOpRun = kTrue;
}

const char* TypeCode(ConnectionType type) {
    switch (type) {
    case ConnectionType::Tcp:
        return "TCP";
    case ConnectionType::Usb:
        return "USB";
    case ConnectionType::Serial:
        break;
    }
    return "COM";
}

std::optional<ConnectionType> ParseConnectionType(std::string_view code) {
    for (const ConnectionType type :
         {ConnectionType::Serial, ConnectionType::Tcp, ConnectionType::Usb}) {
        if (code == TypeCode(type)) {
            return type;
        }
    }
    return std::nullopt;
}

} // namespace fw
