#include "link/net/WinSendQueue.h"

#include <winsock2.h>

namespace fw {

bool BoundWinSendQueue(std::intptr_t socket) {
    const SOCKET s = static_cast<SOCKET>(socket);
    int size = 0;
    int length = sizeof size;
    if (::getsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&size), &length) == 0 &&
        size > 0 && size <= 2 * kWinSendBufferBytes) // Wine reports Linux's doubled figure
        return true;
    size = kWinSendBufferBytes;
    return ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size),
                        sizeof size) == 0;
}

} // namespace fw
