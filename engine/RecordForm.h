// The two forms in which a firmware record goes to the bootloader.
//
// Text form: the line exactly as read, then CR (no LF).
// Binary form, for bootloaders that take it: "F", the record type digit, the
// bytes written in the line after the type (count, address, data, checksum;
// each from two hexadecimal digits), then CR.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fw {

// S1 and S2 lines (either letter case) are the records that are sent. The
// other lines the check lets through (blank lines, S0 and S5-S9) are not
// sent; any other line refuses the file (LineProblem).
bool IsRecordLine(const std::string& line);

std::string TextForm(const std::string& line);

// Number of bytes the binary form carries between the type and the CR:
// (length - 2) / 2, halves rounded to the even neighbour, so a line with an odd
// number of digits either drops its last digit or sends it as a byte alone.
std::size_t BinaryBodyLength(std::size_t lineLength);

// The binary form of a record line (n + 3 bytes, n = BinaryBodyLength). nullopt
// when the line is not an S1/S2 record or a byte is not written in hexadecimal:
// such a record must not reach the flash.
std::optional<std::vector<std::uint8_t>> BinaryForm(const std::string& line);

} // namespace fw
