#include "settings/Text.h"

#include <cstdio>

namespace fw {

namespace {

// The length of the valid UTF-8 sequence at the start of `text` and the code
// point it encodes; 0 when it is not one.
std::size_t Utf8Sequence(std::string_view text, char32_t& point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead < 0x80) {
        point = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (byte(i) & 0x3F);
    }
    // Overlong forms, surrogates and points beyond Unicode are no characters.
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
        return 0;
    }
    return length;
}

} // namespace

std::string Printable(std::string_view text, std::size_t maxBytes) {
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        if (shown.size() >= maxBytes) {
            shown += "...";
            break;
        }
        char32_t point = 0;
        const std::size_t length = Utf8Sequence(text.substr(at), point);
        if (length == 0 || point < 0x20 || (point >= 0x7F && point <= 0x9F)) {
            // A control character or a stray byte: its bytes as numbers.
            const std::size_t bytes = length == 0 ? 1 : length;
            for (std::size_t i = 0; i < bytes; ++i) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02X",
                              static_cast<unsigned char>(text[at + i]));
                shown += escaped;
            }
            at += bytes;
            continue;
        }
        shown.append(text.substr(at, length));
        at += length;
    }
    return shown;
}

} // namespace fw
