#include "platform/StopSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace fw {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int gPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int sig) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    // Non-blocking: with the pipe full, the signals already waiting say enough.
    [[maybe_unused]] const ssize_t n = ::write(gPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

std::intptr_t CatchStopSignals() {
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : kStopSignals) {
        if (::sigaction(sig, &action, nullptr) != 0) {
            return -1;
        }
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        return -1;
    }
    return gPipe[0];
}

int TakeStopSignal() {
    int last = 0;
    unsigned char byte = 0;
    while (gPipe[0] >= 0 && ::read(gPipe[0], &byte, 1) == 1) {
        last = byte;
    }
    return last;
}

void StopSignalHandled() {
}

void ReleaseStopSignals() {
    for (const int sig : kStopSignals) {
        ::signal(sig, SIG_DFL);
    }
}

} // namespace fw
