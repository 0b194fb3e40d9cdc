#include "settings/UsefulUtils.h"

#include <algorithm>
#include <string>

namespace fw {

void StrToBytes(const std::string& text, std::vector<std::uint8_t>& buffer) {
    if (buffer.size() < text.size() + 1) {
        buffer.resize(text.size() + 1);
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        buffer[i] = static_cast<std::uint8_t>(text[i]);
    }
    buffer[text.size()] = 0;
}

std::string BytesToStr(const std::uint8_t* buffer, long n) {
    if (n <= 0 || buffer == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

bool RegWriteString(IRegistry& reg, const std::string& keyPath, const std::string& valueName,
                    const std::string& value, HKEY hive, LONG* status) {
    LONG ignored = ERROR_SUCCESS;
    LONG& result = status != nullptr ? *status : ignored;
    // The text's bytes and a NUL directly behind them; the count covers the
    // text alone and the registry keeps the NUL as the string's terminator.
    // A text that itself ends in a NUL character would have that character
    // taken for the terminator and lost on reading, so there the terminator is
    // counted as well.
    std::vector<std::uint8_t> buffer(value.size() + 2, 0);
    const bool endsInNul = !value.empty() && value.back() == '\0';
    StrToBytes(value, buffer);
    HKEY key = 0;
    result = reg.RegCreateKeyA(hive, keyPath, &key);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    result = reg.RegSetValueExA(key, valueName, 0, REG_SZ, buffer.data(),
                                static_cast<DWORD>(value.size() + (endsInNul ? 1 : 0)));
    reg.RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

std::string RegReadString(IRegistry& reg, const std::string& keyPath, const std::string& valueName,
                          const std::string& defaultValue, HKEY hive) {
    std::string result = defaultValue;
    HKEY key = 0;
    if (reg.RegOpenKeyA(hive, keyPath, &key) != ERROR_SUCCESS) {
        return result;
    }
    // First a 256-byte buffer offered as 254 bytes, enough for every setting
    // but a long firmware path. When the store answers that the value needs
    // more, the read is made again with a buffer of the size it named, so a
    // long path is never lost; a value that keeps growing between the calls, or
    // one beyond kMaxReadSize, reads as absent.
    std::vector<std::uint8_t> buffer(256, 0);
    DWORD size = 254;
    DWORD type = 0;
    LONG status = reg.RegQueryValueExA(key, valueName, nullptr, &type, buffer.data(), &size);
    for (int retry = 0; status == ERROR_MORE_DATA && size <= kMaxReadSize && retry < 3; ++retry) {
        buffer.assign(std::size_t{size} + 2, 0);
        status = reg.RegQueryValueExA(key, valueName, nullptr, &type, buffer.data(), &size);
    }
    if (status == ERROR_SUCCESS) {
        // The count includes the terminating NUL, which is dropped.
        result = BytesToStr(buffer.data(), static_cast<long>(size) - 1);
    }
    reg.RegCloseKey(key);
    return result;
}

std::string RegListValueData(IRegistry& reg, const std::string& keyPath) {
    std::string result;
    HKEY key = 0;
    if (reg.RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath, &key) != ERROR_SUCCESS) {
        return result;
    }
    std::uint8_t data[2001];
    for (DWORD index = 0;; ++index) {
        char name[256];
        std::fill(name, name + 255, ' ');
        name[255] = 0;
        DWORD nameLength = 255;
        DWORD dataSize = 2000;
        DWORD type = 0;
        // Any failure ends the listing: the normal end, but also a value whose
        // name or data do not fit the buffers.
        if (reg.RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataSize) !=
            ERROR_SUCCESS) {
            break;
        }
        result += BytesToStr(data, static_cast<long>(dataSize));
    }
    reg.RegCloseKey(key);
    return result;
}

} // namespace fw
