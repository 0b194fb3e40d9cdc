// Small text helpers every layer shares.
#pragma once

#include <string>
#include <string_view>

namespace fw {

// `text` without the characters of `blanks` at either end.
constexpr std::string_view Trim(std::string_view text, std::string_view blanks = " \t") {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// `text` as it may be shown on a terminal or in a message: every control
// character (C0, DEL, C1) and every byte that is not part of valid UTF-8 is
// written as "\xNN", so that a name from a file cannot move the cursor or
// repaint the screen. Longer than `maxBytes`, it is cut there and ends in
// "...".
std::string Printable(std::string_view text, std::size_t maxBytes = std::string_view::npos);

// A port number as the user, the port list and the Ports key name it: "COM7".
inline std::string ComName(int port) {
    return "COM" + std::to_string(port);
}

} // namespace fw
