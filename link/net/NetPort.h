// The connection to a serial device server, as the link uses it: started by
// an address and left to come up while the event loop runs, then a byte
// stream to the analyser behind the server until it is closed or lost.
#pragma once

#include "link/net/NetAddress.h"
#include "link/serial/SerialPort.h"

#include <cstddef>
#include <cstdint>
#include <functional>
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
    // server is negotiated with. The connection is open once Opening() says
    // Open. An error returned here means nothing was started.
    virtual CommError OpenAddress(const NetAddress& address, int timeoutMs) = 0;
    virtual NetOpening Opening() const = 0;
    // Closes the connection (what was sent is given a moment to reach the
    // server), and ends a connect still under way.
    virtual void Close() = 0;
    // Connected and not lost: bytes can be sent.
    virtual bool IsOpen() const = 0;
    // Sends every byte unchanged and in order (only while open).
    virtual void Send(const std::uint8_t* data, std::size_t count) = 0;
    // Bytes handed to Send and not yet on the line: those the connection
    // still holds, the kernel's send queue, and those held back while the
    // server has suspended the flow.
    virtual std::size_t Unsent() const = 0;
    // Received bytes wait to be read.
    virtual bool HasInput() const = 0;
    // Removes everything received by now and returns it, one character per
    // byte ("" when nothing waits).
    virtual std::string ReadAll() = 0;
    // Raised on the event loop whenever received bytes wait.
    virtual void SetOnArrival(std::function<void()> handler) = 0;
    // True once the open connection has gone (closed by the server, failed,
    // the telnet protocol broken) until it is closed; Opening() then says why.
    virtual bool Lost() const = 0;
    // The address as given ("rfc2217://host:port"), for messages.
    virtual std::string DeviceName() const = 0;
};

} // namespace fw
