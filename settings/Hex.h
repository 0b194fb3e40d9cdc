// Hexadecimal digits, as the firmware records, the settings file and the
// simulated analyser write them.
#pragma once

#include <cstdint>
#include <string>

namespace fw {

// The value of one hexadecimal digit (either letter case), or -1.
constexpr int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The byte written by two digits, or -1 when either is not a digit.
constexpr int HexByte(char high, char low) {
    const int h = HexDigit(high);
    const int l = HexDigit(low);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

// `value` in hexadecimal, at least `minDigits` long (zeros in front).
inline std::string HexText(std::uint32_t value, int minDigits, bool upperCase = true) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0 || static_cast<int>(text.size()) < minDigits);
    return text;
}

} // namespace fw
