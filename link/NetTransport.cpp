#include "link/NetTransport.h"

namespace fw {

NetTransport::NetTransport(std::unique_ptr<ISerialPort> port, std::string address,
                           ArrivalHandler onArrived)
    : SerialTransport(std::move(port), {}, std::move(onArrived)), address_(std::move(address)) {
}

INetPort* NetTransport::Net() const {
    return dynamic_cast<INetPort*>(&Port());
}

Opened NetTransport::Open(const std::function<void()>& opening) {
    if (Port().PortOpen()) {
        return std::nullopt;
    }
    opening();
    const std::optional<NetAddress> address = ParseNetAddress(address_);
    if (!address) {
        return OpenFailure{std::string(kMsgInvalidAddress) + " \"" + address_ + "\" - " +
                           kMsgAddressHint};
    }
    INetPort* net = Net();
    const CommError error = net != nullptr
                                ? net->OpenAddress(*address, kNetConnectTimeoutMs)
                                : CommError{kCommErrDeviceFailure, "no network link here"};
    if (error) {
        return OpenFailure{std::string(kMsgNoConnection) + " " + address_ + " - " +
                           kMsgNoConnectionHint + "\n\n(" + error.description + ")"};
    }
    return std::nullopt;
}

OpenProgress NetTransport::PollOpen() {
    INetPort* net = Net();
    if (net == nullptr) {
        return {};
    }
    const NetOpening o = net->Opening();
    switch (o.state) {
    case NetOpening::State::Connecting:
        return {true, std::nullopt, {}};
    case NetOpening::State::Open:
        return {false, std::nullopt, o.note.empty() ? "" : "the device server " + o.note};
    case NetOpening::State::Idle:
    case NetOpening::State::Failed:
        break;
    }
    if (o.refused) {
        // The server is there but would change the data or the line: the run
        // ends before the analyser is reset.
        return {false,
                OpenFailure{std::string(kMsgServerRefused) + " " + address_ + " " + o.note +
                            ".\n\n" + kMsgServerRefusedHint},
                {}};
    }
    return {false,
            OpenFailure{std::string(kMsgNoConnection) + " " + address_ + " - " +
                        kMsgNoConnectionHint + "\n\n(" + o.note + ")"},
            {}};
}

std::string NetTransport::Name() const {
    const std::string device = Device();
    std::string name = device.empty() ? "TCP" : "TCP " + device;
    if (INetPort* net = Net(); net != nullptr && Lost()) {
        const std::string why = net->Opening().note;
        if (!why.empty()) {
            name += " (" + why + ")";
        }
    }
    return name;
}

} // namespace fw
