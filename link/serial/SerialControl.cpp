#include "link/serial/SerialControl.h"

#include <utility>

namespace fw {

SerialControl::SerialControl(DeviceLookup lookup) : lookup_(std::move(lookup)) {
}

CommError SerialControl::SetCommPort(std::int16_t port) {
    if (PortOpen())
        return {kCommErrPortOpen, "Operation not valid while the port is open"};
    if (port < 1 || !lookup_ || !lookup_(port))
        return NoDeviceFor(port);
    commPort_ = port;
    return {};
}

CommError SerialControl::SetPortOpen(bool open) {
    if (failed_)
        Close(); // finish the close a vanished device started
    if (!open) {
        Close();
        return {};
    }
    return Open();
}

std::optional<std::string> SerialControl::Device() const {
    return commPort_ >= 1 && lookup_ ? lookup_(commPort_) : std::nullopt;
}

void SerialControl::Opened(std::string device) {
    lastDevice_ = std::move(device);
    commEvent_ = 0;
    failed_ = false;
    lost_ = false;
}

void SerialControl::Lose() {
    failed_ = true;
    lost_ = true;
    Later([this] {
        if (failed_)
            Close();
    });
}

void SerialControl::Raise() {
    commEvent_ = kComEvReceive;
    if (!onComm_)
        return;
    // A copy: the handler may replace itself.
    const auto handler = onComm_;
    handler();
}

} // namespace fw
