#include "tools/Pacer.h"

#include <algorithm>
#include <cmath>

namespace fw::sim {

Pacer::Pacer(long baud, Clock::time_point start)
    : rate_(static_cast<double>(baud) / 10.0),
      // About 10 ms of line time, at least one byte: small enough to keep the
      // pace visible to the writer, large enough not to wake for every byte.
      burst_(std::max(1.0, std::floor(rate_ / 100.0))), tokens_(burst_), last_(start) {
}

void Pacer::Refill(Clock::time_point now) {
    if (now <= last_) {
        return;
    }
    const std::chrono::duration<double> elapsed = now - last_;
    tokens_ = std::min(burst_, tokens_ + elapsed.count() * rate_);
    last_ = now;
}

std::size_t Pacer::Available(Clock::time_point now) {
    if (Unpaced()) {
        return static_cast<std::size_t>(-1);
    }
    Refill(now);
    return static_cast<std::size_t>(tokens_);
}

void Pacer::Consume(std::size_t bytes) {
    if (!Unpaced()) {
        tokens_ -= static_cast<double>(bytes);
    }
}

Pacer::Clock::time_point Pacer::NextByte(Clock::time_point now) {
    if (Unpaced()) {
        return now;
    }
    Refill(now);
    if (tokens_ >= 1.0) {
        return now;
    }
    const std::chrono::duration<double> wait((1.0 - tokens_) / rate_);
    return now + std::chrono::ceil<Clock::duration>(wait);
}

} // namespace fw::sim
