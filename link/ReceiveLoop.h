// How a transport whose port raises a receive event hands what arrived to
// the run (the serial port's and the device server's): everything waiting in
// one call per read, read again while more waits, and never from inside the
// run's own handler. An event raised while the handler is still running (a
// message box may be open in it) is not handled then: its bytes wait in the
// port and are taken once the handler has finished.
#pragma once

#include "link/Transport.h"

#include <functional>
#include <string>
#include <utility>

namespace fw {

class ReceiveLoop {
public:
    explicit ReceiveLoop(ArrivalHandler onArrived) : onArrived_(std::move(onArrived)) {}

    // The port's receive event: `readAll` takes everything waiting from the
    // port, `waiting` says whether more has come since.
    void Receive(const std::function<std::string()>& readAll, const std::function<bool()>& waiting);

private:
    ArrivalHandler onArrived_;
    bool receiving_ = false; // inside Receive
};

} // namespace fw
