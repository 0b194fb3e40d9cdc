// The registry-export text format ("REGEDIT4"), read and written: what the
// file-backed registry keeps on disk, and what a person can read and edit.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Tarnvel\Flashwright\Settings]
//   "Connction Type"="COM"
//   "Filename"="C:\\fw\\a \"b\".sx"
//   "Count"=dword:0000000a
//   "Blob"=hex:00,01,02
//   "Other"=hex(7):41,00,00
//   @="the unnamed value"
//
// Strings escape only backslash and double quote; the string form implies one
// terminating NUL. Data that the string form cannot carry exactly (no NUL at
// the end, a NUL inside, control characters) is written as hex(1). Long hex
// lists continue on the next line after a trailing backslash. Comment lines
// (';') are kept with the line they stand before.
#pragma once

#include "settings/MemoryRegistry.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fw {

// The longest text read or written: settings take a few hundred bytes, and a
// file that is not what it should be must not take up much memory.
inline constexpr std::size_t kMaxRegFileSize = 1u << 20;

// Comment lines as they stand (without the line end), each group with the line
// it comes before, so that rewriting the file leaves them where they were.
// Keys and values are named in lower case.
struct RegFileComments {
    std::vector<std::string> beforeHeader;
    std::map<std::string, std::vector<std::string>> beforeKey;
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> beforeValue;
    std::vector<std::string> atEnd;
};

struct RegFileContents {
    std::vector<MemoryRegistry::Key> keys;
    // The comment lines, with what they stood before; those before a line
    // that was left out go with the next line kept.
    RegFileComments comments;
    // Something in the text did not parse. What did parse is kept: a bad value
    // line is skipped, and a bad key line drops the values that follow it up to
    // the next good key line (they cannot be placed with certainty).
    bool damaged = false;
    // 1-based number of the first line that did not parse; 0 when none did.
    std::size_t firstBadLine = 0;
};

// Never fails and never throws on any input except for lack of memory. What
// would make the written text longer than kMaxRegFileSize is left out as
// damage. Accepts
// LF and CRLF, a UTF-8 byte-order mark, UTF-16 little-endian text with its
// byte-order mark (as the Windows registry editor exports), the headers "REGEDIT4" and "Windows
// Registry Editor Version 5.00", ';' comment lines, "[-key]" and "name"=- (the
// key's or value's lines are left out, nothing else is removed). Keys and
// values come out as MemoryRegistry would hold them after the same writes:
// names matched case-insensitively with the first spelling kept, parents of
// every key created before it, a repeated value keeping its first place.
RegFileContents ParseRegFile(std::string_view text);

// The text of `keys` with `comments` in their places, in UTF-8 under the
// "REGEDIT4" header; nullopt when a key or value name holds a line break,
// which the format cannot carry, or when it would be longer than
// kMaxRegFileSize. ParseRegFile of the result gives `keys` and `comments` back
// for any that ParseRegFile produced (comments whose line is gone move to the
// end).
std::optional<std::string> WriteRegFile(const std::vector<MemoryRegistry::Key>& keys,
                                        const RegFileComments& comments = {});

} // namespace fw
