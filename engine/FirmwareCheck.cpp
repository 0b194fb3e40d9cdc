#include "engine/FirmwareCheck.h"

#include "engine/FirmwareFile.h"
#include "settings/Hex.h"

#include <cstddef>

namespace fw {

namespace {

// A printable rendering of a character for a message.
std::string Shown(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
        return std::string("'") + c + "'";
    }
    return "byte 0x" + HexText(u, 2);
}

// Bytes of the address field after the count, by type digit; 0 for a type
// that does not exist (S4). S3 is refused by name before this is asked.
std::size_t AddressBytes(char type) {
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '7':
        return 4;
    default:
        return 0;
    }
}

// What is wrong with the pairs of digits after the type of an S-record line:
// hex digits only, a count byte that matches the bytes that follow, room for
// the address and the checksum, and a correct checksum. On success `value` is
// the address field (for S5/S6, the record count it gives).
std::optional<std::string> FieldsProblem(const std::string& line, std::size_t addressBytes,
                                         std::uint32_t& value, std::size_t& dataBytes) {
    const std::size_t digits = line.size() - 2;
    for (std::size_t i = 2; i < line.size(); ++i) {
        if (HexDigit(line[i]) < 0) {
            return "has " + Shown(line[i]) + " at column " + std::to_string(i + 1) +
                   ", which is not a hexadecimal digit";
        }
    }
    if (digits % 2 != 0) {
        return "has an odd number of hexadecimal digits";
    }
    if (digits < 2) {
        return "has no byte count";
    }
    const auto byteAt = [&line](std::size_t k) {
        return static_cast<unsigned>(HexByte(line[2 + 2 * k], line[3 + 2 * k]));
    };
    const std::size_t count = byteAt(0);
    const std::size_t following = digits / 2 - 1;
    if (count != following) {
        return "gives a byte count of " + std::to_string(count) + " but " +
               std::to_string(following) + (following == 1 ? " byte follows" : " bytes follow");
    }
    if (count < addressBytes + 1) {
        return "is too short for its address and checksum";
    }
    unsigned sum = 0;
    for (std::size_t k = 0; k < count; ++k) { // count, address and data
        sum += byteAt(k);
    }
    const unsigned expected = ~sum & 0xFFu;
    const unsigned written = byteAt(count);
    if (written != expected) {
        return "has a wrong checksum (the record says " + HexText(written, 2) +
               ", its bytes give " + HexText(expected, 2) + ")";
    }
    value = 0;
    for (std::size_t k = 1; k <= addressBytes; ++k) {
        value = value << 8 | byteAt(k);
    }
    dataBytes = count - addressBytes - 1;
    return std::nullopt;
}

void CountRecord(char type, std::uint32_t address, std::size_t data, FirmwareSummary& s) {
    if (s.records == 0 || address < s.lowAddress) {
        s.lowAddress = address;
    }
    if (data > 0) {
        const std::uint32_t last = address + static_cast<std::uint32_t>(data) - 1;
        if (s.dataBytes == 0 || last > s.highAddress) {
            s.highAddress = last;
        }
    }
    ++s.records;
    ++(type == '1' ? s.s1Records : s.s2Records);
    s.dataBytes += static_cast<std::int64_t>(data);
}

// What the start of a file that does not begin with an S-record looks like:
// a program or data file given by mistake. Empty when the lines are to be
// judged one by one.
std::string LooksLike(std::string_view head) {
    if (head.substr(0, 4) == "\177ELF") {
        return "it looks like an ELF program file, not Motorola S-records";
    }
    const std::size_t first = head.find_first_not_of("\r\n");
    if (first == std::string_view::npos || head[first] == 'S' || head[first] == 's') {
        return {};
    }
    if (head[first] == ':') {
        return "it looks like an Intel HEX file, not Motorola S-records";
    }
    head = head.substr(0, 512);
    std::size_t unprintable = 0;
    for (const char c : head) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0) {
            unprintable = head.size();
            break;
        }
        if ((u < 0x20 || u >= 0x7F) && u != '\r' && u != '\n' && u != '\t') {
            ++unprintable;
        }
    }
    if (2 * unprintable > head.size()) {
        return "it looks like a binary file, not Motorola S-records";
    }
    return {};
}

} // namespace

std::optional<std::string> LineProblem(const std::string& line, FirmwareSummary* summary) {
    if (line.empty()) {
        return std::nullopt; // a blank line
    }
    if (line[0] != 'S' && line[0] != 's') {
        return "is not an S-record: it starts with " + Shown(line[0]) + ", not 'S'";
    }
    if (line.size() < 2) {
        return "has no record type after the 'S'";
    }
    const char type = line[1];
    if (type == '3') {
        return "is an S3 record (32-bit address); the analyser takes S1 and S2 records only";
    }
    const std::size_t addressBytes = AddressBytes(type);
    if (addressBytes == 0) {
        return "has " + Shown(type) + " after the 'S', which is not an S-record type";
    }
    std::uint32_t value = 0;
    std::size_t data = 0;
    if (std::optional<std::string> wrong = FieldsProblem(line, addressBytes, value, data)) {
        return wrong;
    }
    if (summary == nullptr) {
        return std::nullopt;
    }
    if (type == '1' || type == '2') {
        CountRecord(type, value, data, *summary);
    } else if ((type == '5' || type == '6') && value != summary->records) {
        // The count a toolchain writes after the data: a file that lost (or
        // gained) records since is not the image that was built.
        return "counts " + std::to_string(value) + (value == 1 ? " data record" : " data records") +
               ", but " + std::to_string(summary->records) +
               (summary->records == 1 ? " comes" : " come") + " before it";
    }
    return std::nullopt;
}

FirmwareCheck CheckFirmwareFile(const std::string& path) {
    WholeFile loaded = FirmwareFile::Load(path);
    if (loaded.bytes) {
        return CheckFirmwareImage(std::move(loaded.bytes));
    }
    FirmwareCheck check;
    check.detail = loaded.why;
    check.reason = loaded.problem == WholeFile::Problem::TooLarge
                       ? "it " + loaded.why + ", more than any S-record image of the analyser"
                       : kMsgInvalidFile;
    return check;
}

FirmwareCheck CheckFirmwareImage(std::shared_ptr<const std::string> image) {
    FirmwareCheck check;
    FirmwareFile file;
    file.Open(image);
    check.reason = LooksLike(file.Head());
    if (!check.reason.empty()) {
        return check;
    }
    std::string line;
    std::int64_t number = 0;
    for (;;) {
        const FirmwareFile::ReadResult result = file.ReadLine(line);
        if (result == FirmwareFile::ReadResult::End) {
            break;
        }
        ++number;
        if (result == FirmwareFile::ReadResult::TooLong) {
            check.line = number;
            check.reason = "is longer than " + std::to_string(FirmwareFile::kMaxLine) +
                           " characters; this is not an S-record file";
            return check;
        }
        if (std::optional<std::string> wrong = LineProblem(line, &check.summary)) {
            check.line = number;
            check.reason = std::move(*wrong);
            return check;
        }
    }
    if (check.summary.records == 0) {
        check.reason = "it holds no S1 or S2 record";
        return check;
    }
    check.summary.bytes = file.Length();
    check.summary.sha256 = file.Digest();
    check.image = std::move(image);
    check.ok = true;
    return check;
}

std::string RefusalMessage(const FirmwareCheck& check) {
    if (check.reason == kMsgInvalidFile) {
        return check.reason;
    }
    const std::string what =
        check.line > 0 ? "line " + std::to_string(check.line) + " " + check.reason : check.reason;
    return "The firmware file cannot be loaded: " + what + ".\n\nNothing was sent to the analyser.";
}

} // namespace fw
