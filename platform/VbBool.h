// Truth values as the program stores them: 16 bits, True with every bit set.
#pragma once

#include <cstdint>

namespace fw {

using VbBool = std::int16_t;
constexpr VbBool kTrue = -1;
constexpr VbBool kFalse = 0;
constexpr VbBool ToVb(bool b) {
    return b ? kTrue : kFalse;
}

} // namespace fw
