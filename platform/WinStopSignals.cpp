// The Windows console's stop events. The system calls the handler on a thread
// of its own, so the handler only notes the event and sets an event handle
// that the program's one thread watches; the atomic and the two event
// handles are the only things the two threads share. For a console window
// being closed, a log-off and a shut-down the system ends the program as soon
// as the handler returns: the handler waits until the program says the runs
// are on record, within the 5 s the system allows.
#include "platform/StopSignals.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cerrno>

namespace fw {

namespace {

constexpr DWORD kHandledWaitMs = 4500;

HANDLE gStop = nullptr;    // set while a stop waits for the event loop
HANDLE gHandled = nullptr; // set once the stop has been dealt with
std::atomic<int> gLast{0};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    int number = 0;
    switch (type) {
    case CTRL_C_EVENT:
        number = kStopInterrupt;
        break;
    case CTRL_BREAK_EVENT:
        number = kStopBreak;
        break;
    case CTRL_CLOSE_EVENT:
        number = kStopHangUp;
        break;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        number = kStopTerminate;
        break;
    default:
        return FALSE;
    }
    gLast.store(number);
    ::SetEvent(gStop);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        ::WaitForSingleObject(gHandled, kHandledWaitMs);
    }
    return TRUE;
}

} // namespace

std::intptr_t CatchStopSignals() {
    if (gStop == nullptr) {
        gStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        gHandled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (gStop == nullptr || gHandled == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    ::ResetEvent(gHandled);
    if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
        errno = EINVAL;
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(gStop);
}

int TakeStopSignal() {
    if (gStop == nullptr) {
        return 0;
    }
    ::ResetEvent(gStop);
    return gLast.exchange(0);
}

void StopSignalHandled() {
    if (gHandled != nullptr) {
        ::SetEvent(gHandled);
    }
}

void ReleaseStopSignals() {
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    StopSignalHandled();
}

} // namespace fw
