#include "platform/StopSignals.h"

#include <cerrno>

namespace fw {

// A Windows program is ended through its windows or the console's own close,
// not through signals sent to it: there is nothing to catch.
int CatchStopSignals() {
    errno = ENOSYS;
    return -1;
}

int TakeStopSignal() {
    return 0;
}

void ReleaseStopSignals() {
}

} // namespace fw
