#include "link/net/NetTransport.h"

namespace fw {

NetTransport::NetTransport(std::unique_ptr<INetPort> port, std::string address,
                           ArrivalHandler onArrived)
    : port_(std::move(port)), receive_(std::move(onArrived)), address_(std::move(address)) {
    port_->SetOnArrival([this] {
        receive_.Receive([this] { return port_->ReadAll(); }, [this] { return port_->HasInput(); });
    });
}

NetTransport::~NetTransport() {
    port_->SetOnArrival(nullptr);
}

Opened NetTransport::Open(const std::function<void()>& opening) {
    if (port_->IsOpen()) {
        return std::nullopt;
    }
    opening();
    const std::optional<NetAddress> address = ParseNetAddress(address_);
    if (!address) {
        return OpenFailure{std::string(kMsgInvalidAddress) + " \"" + address_ + "\" - " +
                           kMsgAddressHint};
    }
    if (const CommError error = port_->OpenAddress(*address, kNetConnectTimeoutMs)) {
        return OpenFailure{std::string(kMsgNoConnection) + " " + address_ + " - " +
                           kMsgNoConnectionHint + "\n\n(" + error.description + ")"};
    }
    return std::nullopt;
}

OpenProgress NetTransport::PollOpen() {
    const NetOpening o = port_->Opening();
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

bool NetTransport::Send(const std::uint8_t* data, std::size_t count) {
    if (!port_->IsOpen()) {
        return false;
    }
    port_->Send(data, count);
    return true;
}

std::string NetTransport::Name() const {
    const std::string device = Device();
    std::string name = device.empty() ? "TCP" : "TCP " + device;
    if (Lost()) {
        const std::string why = port_->Opening().note;
        if (!why.empty()) {
            name += " (" + why + ")";
        }
    }
    return name;
}

} // namespace fw
