// What the Windows kernel may hold of a TCP connection's output. Windows has
// no call that counts the bytes a socket has queued but not yet sent (Linux:
// SIOCOUTQ), and by default it buffers as much as the connection can carry,
// tens of KB that keep flowing to the device after the user stopped. So the
// queue is kept small instead: a send buffer of kWinSendBufferBytes, which
// also turns off Windows' growing of it. Windows only.
#pragma once

#include <cstdint>

namespace fw {

inline constexpr int kWinSendBufferBytes = 4096;

// Bounds the socket's send buffer (once; later calls only look). False when
// the system refused.
bool BoundWinSendQueue(std::intptr_t socket);

} // namespace fw
