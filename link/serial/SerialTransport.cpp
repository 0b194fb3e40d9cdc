#include "link/serial/SerialTransport.h"

#include "settings/Settings.h"

#include <algorithm>

namespace fw {

SerialTransport::SerialTransport(std::unique_ptr<ISerialPort> port, std::string comPort,
                                 ArrivalHandler onArrived)
    : port_(std::move(port)), receive_(std::move(onArrived)), comPort_(std::move(comPort)) {
    port_->SetOnComm([this] {
        if (port_->CommEvent() == kComEvReceive) {
            receive_.Receive([this] { return port_->ReadAll(); },
                             [this] { return port_->InBufferCount() > 0; });
        }
    });
}

SerialTransport::~SerialTransport() {
    port_->SetOnComm(nullptr);
}

Opened SerialTransport::Open(const std::function<void()>& opening) {
    if (port_->PortOpen()) {
        return std::nullopt;
    }
    opening();
    const std::optional<std::int16_t> number = ToInt16(comPort_);
    if (!number || port_->SetCommPort(*number)) {
        return OpenFailure{kMsgInvalidPort};
    }
    if (const CommError error = port_->SetPortOpen(true)) {
        // Named, with the reason, so that a bench of several analysers shows
        // which port another program holds.
        return OpenFailure{std::string(kMsgPortBusy) + "\n\n" + ComName(port_->CommPort()) + ": " +
                           error.description};
    }
    return std::nullopt;
}

bool SerialTransport::Send(const std::uint8_t* data, std::size_t count) {
    if (!port_->PortOpen()) {
        return false;
    }
    port_->Output(std::vector<std::uint8_t>(data, data + count));
    return true;
}

std::size_t SerialTransport::PendingOutput() {
    return port_->PortOpen() ? static_cast<std::size_t>(std::max(0, port_->OutBufferCount())) : 0;
}

bool SerialTransport::Lost() const {
    return port_->DeviceLost();
}

bool SerialTransport::Reopen() {
    return !port_->SetPortOpen(true) && port_->PortOpen();
}

bool SerialTransport::IsOpen() const {
    return port_->PortOpen();
}

void SerialTransport::Close() {
    if (port_->PortOpen()) {
        port_->SetPortOpen(false);
    }
}

std::string SerialTransport::Name() const {
    const std::string name = ComName(port_->CommPort());
    const std::string device = Device();
    return device.empty() ? name : name + " (" + device + ")";
}

std::string SerialTransport::Device() const {
    return port_->DeviceName();
}

} // namespace fw
