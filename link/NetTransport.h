// The transport to a serial device server at an address ("host:port" or
// "rfc2217://host:port"), over a serial control that can also connect to an
// address (INetPort). The connect runs while the engine ticks: the run starts
// only once the connection is up (and an RFC 2217 server has set the line); a
// lost connection is not taken back by itself (Previous and Next connect
// again).
#pragma once

#include "link/NetPort.h"
#include "link/SerialTransport.h"

namespace fw {

inline constexpr const char* kMsgServerRefused = "The device server at";
inline constexpr const char* kMsgServerRefusedHint =
    "Flashwright needs binary transmission and the line at 38400 baud, 8N1, without flow "
    "control: set the server's serial side to that and enter its raw TCP port as HOST:PORT, "
    "without rfc2217://.";

class NetTransport : public SerialTransport {
public:
    NetTransport(std::unique_ptr<ISerialPort> port, std::string address, ArrivalHandler onArrived);

    Opened Open(const std::function<void()>& opening) override;
    OpenProgress PollOpen() override;
    bool Reconnects() const override { return false; }
    bool Reopen() override { return false; }
    // Also ends a connect still under way (Previous, Ctrl-C).
    void Close() override { Port().SetPortOpen(false); }
    // "TCP rfc2217://host:port", and why the link was lost once it was.
    std::string Name() const override;

private:
    INetPort* Net() const;
    std::string address_;
};

} // namespace fw
