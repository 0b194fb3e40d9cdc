// A serial control that can also carry the link over TCP/IP to a serial device
// server. While connected it is that link: what the engine sends and receives
// through the control goes over the network instead of a serial device.
#pragma once

#include "link/NetAddress.h"
#include "link/SerialPort.h"

#include <string>

namespace fw {

// How long a connection to a device server may take, the name lookup
// included, before it counts as unreachable.
inline constexpr int kNetConnectTimeoutMs = 3000;
// How long an RFC 2217 server has to answer the option requests and the line
// settings before the run goes on without its confirmation.
inline constexpr int kNetAnswerTimeoutMs = 1000;

// Where a connect started by OpenAddress stands.
struct NetOpening {
    enum class State { Idle, Connecting, Open, Failed } state = State::Idle;
    // Failed: why ("Connection refused", "refused binary transmission ...").
    // Open: what the server left unconfirmed, empty when nothing.
    std::string note;
    // Failed: the server itself refused what the link needs (RFC 2217), as
    // opposed to it not being reached.
    bool refused = false;
};

class INetPort {
public:
    virtual ~INetPort() = default;
    // Starts connecting and returns at once: the name is looked up and each
    // of its addresses tried in turn, all within `timeoutMs`; then an RFC 2217
    // server is negotiated with. The control reads as open once Opening()
    // says Open. An error returned here means nothing was started.
    virtual CommError OpenAddress(const NetAddress& address, int timeoutMs) = 0;
    virtual NetOpening Opening() const = 0;
};

} // namespace fw
