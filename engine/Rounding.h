// Rounding as the program has always done it for display and record sizes: to
// the nearest whole number, halves to the even neighbour.
#pragma once

#include <cmath>
#include <cstdint>

namespace fw {

// Exact for every value a double holds; does not depend on the current
// floating-point rounding mode.
inline double RoundHalfEven(double value) {
    const double down = std::floor(value);
    const double diff = value - down;
    if (diff < 0.5) {
        return down;
    }
    if (diff > 0.5) {
        return down + 1.0;
    }
    return std::fmod(down, 2.0) == 0.0 ? down : down + 1.0;
}

// Half of a whole number, rounded half to even: (n / 2) for the record length.
inline std::int64_t HalfRoundedEven(std::int64_t n) {
    return static_cast<std::int64_t>(RoundHalfEven(static_cast<double>(n) / 2.0));
}

} // namespace fw
