// The check a firmware file passes before the analyser is touched: every line
// blank or a well-formed S-record with a correct checksum, no S3 record, a
// record count (S5/S6) that matches the records before it, at least one S1/S2
// record. A line that is none of these is refused, never skipped: a record
// whose "S" was lost would otherwise leave a hole in the analyser's image. The
// file is read once, into memory, and described by its length, its record
// count and its SHA-256; the upload sends those very bytes (the image), so a
// file replaced or rewritten on disk afterwards changes nothing that is sent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace fw {

inline constexpr const char* kMsgInvalidFile = "Invalid File - please select a firmware file.";

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
    std::string detail;    // a file that was not read: what it is ("is a folder, not a file")
    FirmwareSummary summary;
    std::shared_ptr<const std::string> image; // the bytes checked (ok only)
};

// What keeps one line of a firmware file from going to the analyser: a line
// that is not blank and not a well-formed S-record of a type the analyser can
// take (S0, S1, S2, S5-S9), with a correct checksum. nullopt for a good line.
// With `summary`, counts an S1/S2 record's data bytes and addresses into it,
// and holds an S5/S6 record count against the records counted so far; the
// check and the upload both pass every line through here, so they agree.
std::optional<std::string> LineProblem(const std::string& line, FirmwareSummary* summary = nullptr);

// Reads the whole file and checks it. A file that cannot be read (missing, a
// folder, a FIFO, a device) is refused with the program's "Invalid File"
// message, and `detail` says what it is; an ELF, Intel HEX or binary file is
// refused as what it looks like; every other refusal names the line.
FirmwareCheck CheckFirmwareFile(const std::string& path);
// The same for bytes already read.
FirmwareCheck CheckFirmwareImage(std::shared_ptr<const std::string> image);

// The user's message for a refused file.
std::string RefusalMessage(const FirmwareCheck& check);

} // namespace fw
