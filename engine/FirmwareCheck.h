// The check a firmware file passes before the analyser is touched: every S1
// and S2 record well formed with a correct checksum, no S3 record, at least one
// record. The file is read once, streaming, and described by its length, its
// record count and its SHA-256, so that the upload can prove it sent the same
// file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fw {

inline constexpr const char* kMsgInvalidFile = "Invalid File - please select a firmware file.";
inline constexpr const char* kMsgFileChanged = "The firmware file changed during the upload.";

struct FirmwareSummary {
    std::int64_t bytes = 0;        // length of the file as read
    std::int64_t records = 0;      // S1 and S2 records
    std::int64_t s1Records = 0;    // of which S1 (16-bit addresses)
    std::int64_t s2Records = 0;    // of which S2 (24-bit addresses)
    std::int64_t dataBytes = 0;    // bytes the records program
    std::uint32_t lowAddress = 0;  // first programmed address (records > 0)
    std::uint32_t highAddress = 0; // last programmed address (records > 0 with data)
    std::string sha256;            // lower-case hex
};

struct FirmwareCheck {
    bool ok = false;
    std::int64_t line = 0; // the refused line (1-based); 0 when no line is to blame
    std::string reason;    // what is wrong, for the user; empty when ok
    FirmwareSummary summary;
};

// What keeps one line of a firmware file from going to the analyser: an S3
// record, or an S1/S2 record that is not well formed or has a wrong checksum.
// nullopt for a good record and for the lines that are skipped. Counts a good
// record's data bytes and addresses into `summary`.
std::optional<std::string> LineProblem(const std::string& line, FirmwareSummary* summary = nullptr);

// Checks the whole file. A file that cannot be opened is refused with the
// program's "Invalid File" message; every other refusal names the line.
FirmwareCheck CheckFirmwareFile(const std::string& path);

// The user's message for a refused file.
std::string RefusalMessage(const FirmwareCheck& check);

} // namespace fw
