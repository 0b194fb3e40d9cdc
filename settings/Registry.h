// A registry in the shape of the platform's ANSI registry calls: keys below
// predefined roots, named values of bytes, numeric status codes.
#pragma once

#include <cstdint>
#include <string>

namespace fw {

using HKEY = std::uintptr_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;

inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr DWORD KEY_QUERY_VALUE = 0x0001;

class IRegistry {
public:
    virtual ~IRegistry() = default;
    // Creates every missing key on the path, then opens the last one.
    virtual LONG RegCreateKeyA(HKEY key, const std::string& subKey, HKEY* result) = 0;
    virtual LONG RegOpenKeyA(HKEY key, const std::string& subKey, HKEY* result) = 0;
    virtual LONG RegOpenKeyExA(HKEY key, const std::string& subKey, DWORD options, DWORD samDesired,
                               HKEY* result) = 0;
    // Stores the cbData bytes. For the string types, when they do not end in a
    // NUL and the byte directly behind them is one, that NUL is stored too: for
    // these types the byte after the counted ones must be readable.
    virtual LONG RegSetValueExA(HKEY key, const std::string& valueName, DWORD reserved, DWORD type,
                                const std::uint8_t* data, DWORD cbData) = 0;
    // *cbData: buffer size on entry, bytes returned (or needed, with
    // ERROR_MORE_DATA) on exit.
    virtual LONG RegQueryValueExA(HKEY key, const std::string& valueName, DWORD* reserved,
                                  DWORD* type, std::uint8_t* data, DWORD* cbData) = 0;
    // Values enumerate in the order they were first written. *cchValueName: name
    // buffer size on entry, name length (without NUL) on exit.
    virtual LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName,
                               DWORD* reserved, DWORD* type, std::uint8_t* data, DWORD* cbData) = 0;
    virtual LONG RegCloseKey(HKEY key) = 0;
    // Why the last failed change failed, in words for the user ("<file> is not
    // writable: Permission denied"); empty when the store cannot say more than
    // its status code.
    virtual std::string WriteFailure() const { return {}; }
};

// A registry that opens every key one way: RegOpenKeyA and RegOpenKeyExA
// alike, whatever options and access rights the latter asks for.
class KeyOpeningRegistry : public IRegistry {
public:
    LONG RegCreateKeyA(HKEY key, const std::string& subKey, HKEY* result) override {
        return OpenKey(key, subKey, true, result);
    }
    LONG RegOpenKeyA(HKEY key, const std::string& subKey, HKEY* result) override {
        return OpenKey(key, subKey, false, result);
    }
    LONG RegOpenKeyExA(HKEY key, const std::string& subKey, DWORD /*options*/, DWORD /*samDesired*/,
                       HKEY* result) override {
        return OpenKey(key, subKey, false, result);
    }

protected:
    // Opens `subKey` below `key`; with `create`, creates every missing key on
    // the path first.
    virtual LONG OpenKey(HKEY key, const std::string& subKey, bool create, HKEY* result) = 0;
};

} // namespace fw
