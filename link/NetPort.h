// A serial control that can also carry the link over TCP/IP to a serial device
// server. While connected it is that link: what the engine sends and receives
// through the control goes over the network instead of a serial device.
#pragma once

#include "engine/SerialPort.h"
#include "link/NetAddress.h"

namespace fw {

// How long a connection to a device server may take before it counts as
// unreachable.
inline constexpr int kNetConnectTimeoutMs = 3000;

class INetPort {
public:
    virtual ~INetPort() = default;
    // Connects, waiting at most `timeoutMs`; on success the control reads as
    // open. The error's description says why it failed ("Connection refused").
    virtual CommError OpenAddress(const NetAddress& address, int timeoutMs) = 0;
};

} // namespace fw
