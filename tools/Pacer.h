// Token bucket that holds a byte stream to the speed of a serial line: one
// byte per ten bit times (start bit, eight data bits, stop bit).
#pragma once

#include <chrono>
#include <cstddef>

namespace fw::sim {

class Pacer {
public:
    using Clock = std::chrono::steady_clock;

    // baud 0: no limit.
    Pacer(long baud, Clock::time_point start);

    bool Unpaced() const { return rate_ <= 0; }
    // Bytes that may pass at `now`.
    std::size_t Available(Clock::time_point now);
    void Consume(std::size_t bytes);
    // The earliest time at which one more byte may pass.
    Clock::time_point NextByte(Clock::time_point now);

private:
    void Refill(Clock::time_point now);

    double rate_;   // bytes per second
    double burst_;  // bytes a short idle spell may bank, like a UART's FIFO
    double tokens_; // bytes that may pass now
    Clock::time_point last_;
};

} // namespace fw::sim
