#include "engine/FirmwareCheck.h"

#include "engine/FirmwareFile.h"
#include "engine/RecordForm.h"
#include "settings/Hex.h"

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

bool IsS3Line(const std::string& line) {
    return line.size() >= 2 && (line[0] == 'S' || line[0] == 's') && line[1] == '3';
}

// What is wrong with one S1/S2 line (a line IsRecordLine accepts).
std::optional<std::string> RecordProblem(const std::string& line, FirmwareSummary* summary) {
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
    const std::size_t addressBytes = line[1] == '1' ? 2 : 3;
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
    if (summary != nullptr) {
        std::uint32_t address = 0;
        for (std::size_t k = 1; k <= addressBytes; ++k) {
            address = address << 8 | byteAt(k);
        }
        const std::size_t data = count - addressBytes - 1;
        if (summary->records == 0 || address < summary->lowAddress) {
            summary->lowAddress = address;
        }
        if (data > 0) {
            const std::uint32_t last = address + static_cast<std::uint32_t>(data) - 1;
            if (summary->dataBytes == 0 || last > summary->highAddress) {
                summary->highAddress = last;
            }
        }
        ++summary->records;
        ++(line[1] == '1' ? summary->s1Records : summary->s2Records);
        summary->dataBytes += static_cast<std::int64_t>(data);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> LineProblem(const std::string& line, FirmwareSummary* summary) {
    if (IsS3Line(line)) {
        return "is an S3 record (32-bit address); the analyser takes S1 and S2 records only";
    }
    return IsRecordLine(line) ? RecordProblem(line, summary) : std::nullopt;
}

FirmwareCheck CheckFirmwareFile(const std::string& path) {
    FirmwareCheck check;
    FirmwareFile file;
    if (!file.Open(path)) {
        check.reason = kMsgInvalidFile;
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
        if (result == FirmwareFile::ReadResult::Error) {
            check.reason = "the file could not be read to the end";
            return check;
        }
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
    check.summary.bytes = file.BytesRead();
    check.summary.sha256 = file.Digest();
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
