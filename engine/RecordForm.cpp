#include "engine/RecordForm.h"

#include "engine/Rounding.h"
#include "settings/Hex.h"

namespace fw {

namespace {

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

bool IsRecordLine(const std::string& line) {
    return line.size() >= 2 && Upper(line[0]) == 'S' && (line[1] == '1' || line[1] == '2');
}

std::string TextForm(const std::string& line) {
    return line + '\r';
}

std::size_t BinaryBodyLength(std::size_t lineLength) {
    if (lineLength <= 2) {
        return 0;
    }
    return static_cast<std::size_t>(HalfRoundedEven(static_cast<std::int64_t>(lineLength) - 2));
}

std::optional<std::vector<std::uint8_t>> BinaryForm(const std::string& line) {
    if (!IsRecordLine(line)) {
        return std::nullopt;
    }
    const std::size_t n = BinaryBodyLength(line.size());
    std::vector<std::uint8_t> out;
    out.reserve(n + 3);
    out.push_back(0x46);
    out.push_back(static_cast<std::uint8_t>(line[1]));
    for (std::size_t i = 0; i < n; ++i) {
        // Characters 2i+3 and 2i+4 counted from 1; the last may stand alone.
        const std::size_t at = 2 * i + 2;
        int value = HexDigit(line[at]);
        if (at + 1 < line.size()) {
            const int low = HexDigit(line[at + 1]);
            value = (value < 0 || low < 0) ? -1 : value * 16 + low;
        }
        if (value < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(value));
    }
    out.push_back(0x0D);
    return out;
}

} // namespace fw
