// Registry routines: one text value written or read per call, the data of all
// values of a key joined, and the byte/text conversions beneath them.
#pragma once

#include "settings/Registry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fw {

// Creates (or opens) `keyPath` below `hive`, writes `value` as a string value,
// closes the key. True only when the value was written; `status` (when given)
// receives the failing call's status, or ERROR_SUCCESS.
bool RegWriteString(IRegistry& reg, const std::string& keyPath, const std::string& valueName,
                    const std::string& value, HKEY hive, LONG* status = nullptr);

// The longest value RegReadString reads (a path of 32767 characters fits).
inline constexpr DWORD kMaxReadSize = 1u << 16;

// The text of the value, less the value's last byte (a string's terminating
// NUL), or `defaultValue` when the key cannot be opened or the value cannot be
// read (absent, or longer than kMaxReadSize). Values of up to 254 bytes take one
// query; longer ones a second with a buffer of the size the store names.
std::string RegReadString(IRegistry& reg, const std::string& keyPath, const std::string& valueName,
                          const std::string& defaultValue, HKEY hive);

// The data of every value of `keyPath` below HKEY_LOCAL_MACHINE, joined in
// enumeration order (string values bring their terminating NUL along). Empty
// when the key cannot be opened or has no values.
std::string RegListValueData(IRegistry& reg, const std::string& keyPath);

// Byte i of `buffer` receives the low 8 bits of character i; the byte after the
// last character receives 0. `buffer` must hold text.size() + 1 bytes.
void StrToBytes(const std::string& text, std::vector<std::uint8_t>& buffer);

// A text of the first n bytes of `buffer`, one character per byte; empty for
// n <= 0.
std::string BytesToStr(const std::uint8_t* buffer, long n);

} // namespace fw
