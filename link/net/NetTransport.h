// The transport to a serial device server at an address ("host:port" or
// "rfc2217://host:port"), over the server's connection (INetPort). The connect
// runs while the engine ticks: the run starts only once the connection is up
// (and an RFC 2217 server has set the line); a lost connection is not taken
// back by itself (Previous and Next connect again). What arrives goes to the
// run as a serial port's does (link/ReceiveLoop).
#pragma once

#include "link/ReceiveLoop.h"
#include "link/Transport.h"
#include "link/net/NetPort.h"

namespace fw {

inline constexpr const char* kMsgServerRefused = "The device server at";
inline constexpr const char* kMsgServerRefusedHint =
    "Flashwright needs binary transmission and the line at 38400 baud, 8N1, without flow "
    "control: set the server's serial side to that and enter its raw TCP port as HOST:PORT, "
    "without rfc2217://.";

class NetTransport : public ITransport {
public:
    NetTransport(std::unique_ptr<INetPort> port, std::string address, ArrivalHandler onArrived);
    ~NetTransport() override;

    Opened Open(const std::function<void()>& opening) override;
    OpenProgress PollOpen() override;
    bool Reconnects() const override { return false; }
    bool Send(const std::uint8_t* data, std::size_t count) override;
    std::size_t PendingOutput() override { return port_->Unsent(); }
    bool Lost() const override { return port_->Lost(); }
    bool Reopen() override { return false; }
    bool IsOpen() const override { return port_->IsOpen(); }
    // Also ends a connect still under way (Previous, Ctrl-C).
    void Close() override { port_->Close(); }
    // "TCP rfc2217://host:port", and why the link was lost once it was.
    std::string Name() const override;
    std::string Device() const override { return port_->DeviceName(); }

private:
    std::unique_ptr<INetPort> port_;
    ReceiveLoop receive_;
    std::string address_; // as stored
};

} // namespace fw
