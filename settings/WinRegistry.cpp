// <windows.h> defines HKEY_LOCAL_MACHINE, ERROR_SUCCESS, REG_SZ and the like as
// macros, which would rewrite fw's constants of the same names. The root
// handles are taken from it first, then those macros are dropped before fw's
// headers come in. Inside namespace fw the plain names are fw's; the platform's
// are spelt ::HKEY, ::DWORD and so on.
#include "settings/WinApi.h"

namespace {

struct Root {
    unsigned long fwValue; // fw's value of the root
    ::HKEY handle;
};
const Root kRoots[] = {
    {0x80000000u, HKEY_CLASSES_ROOT},
    {0x80000001u, HKEY_CURRENT_USER},
    {0x80000002u, HKEY_LOCAL_MACHINE},
    {0x80000003u, HKEY_USERS},
};

} // namespace

#include "settings/WinNamesDropped.h"

#include "settings/WinRegistry.h"

#include "settings/WinText.h"

#include <cstring>
#include <vector>

namespace fw {

namespace {

// On 64-bit Windows the predefined roots are sign-extended pointers, not the
// 32-bit numbers fw uses for them; every other handle passes through as is.
::HKEY ToWin(HKEY key) {
    for (const Root& root : kRoots) {
        if (key == root.fwValue) {
            return root.handle;
        }
    }
    return reinterpret_cast<::HKEY>(key);
}

// Keys below HKEY_LOCAL_MACHINE are opened in the 32-bit view.
::REGSAM View(HKEY key) {
    return key == HKEY_LOCAL_MACHINE ? KEY_WOW64_32KEY : 0;
}

// Hands out the opened key. `status` must be the finished call's result: the
// call is made first, on a line of its own, because a call and `opened` side by
// side as arguments could be evaluated in either order.
LONG Opened(::LONG status, ::HKEY opened, HKEY* result) {
    if (status == 0 && result != nullptr) {
        *result = reinterpret_cast<HKEY>(opened);
    }
    return static_cast<LONG>(status);
}

bool IsText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A value's data as this side holds it: texts in UTF-8, everything else as
// stored.
std::vector<std::uint8_t> FromStored(DWORD type, std::vector<std::uint8_t> stored) {
    if (!IsText(type)) {
        return stored;
    }
    std::wstring wide(stored.size() / 2, L'\0');
    std::memcpy(wide.data(), stored.data(), wide.size() * sizeof(wchar_t));
    const std::string text = Utf8FromWide(wide);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Hands `value` out as the ANSI calls do: the size needed when it does not fit
// (ERROR_MORE_DATA), and behind a text that fits without its terminator, a NUL
// where the buffer has room.
LONG HandOut(DWORD type, const std::vector<std::uint8_t>& value, std::uint8_t* data,
             DWORD* cbData) {
    const DWORD size = static_cast<DWORD>(value.size());
    if (cbData == nullptr) {
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    }
    if (data != nullptr) {
        if (size > *cbData) {
            *cbData = size;
            return ERROR_MORE_DATA;
        }
        if (size > 0) {
            std::memcpy(data, value.data(), size);
        }
        if (IsText(type) && size < *cbData && (size == 0 || value.back() != 0)) {
            data[size] = 0;
        }
    }
    *cbData = size;
    return ERROR_SUCCESS;
}

// The system registry in the shape of the ANSI calls, over the wide ones.
class SystemRegistry : public IRegistry {
public:
    LONG RegCreateKeyA(HKEY key, const std::string& subKey, HKEY* result) override {
        ::HKEY opened = nullptr;
        const ::LONG status =
            ::RegCreateKeyExW(ToWin(key), WideFromUtf8(subKey).c_str(), 0, nullptr, 0,
                              KEY_READ | KEY_WRITE | View(key), nullptr, &opened, nullptr);
        return Opened(status, opened, result);
    }
    LONG RegOpenKeyA(HKEY key, const std::string& subKey, HKEY* result) override {
        ::HKEY opened = nullptr;
        const ::LONG status = ::RegOpenKeyExW(ToWin(key), WideFromUtf8(subKey).c_str(), 0,
                                              KEY_READ | View(key), &opened);
        return Opened(status, opened, result);
    }
    LONG RegOpenKeyExA(HKEY key, const std::string& subKey, DWORD options, DWORD samDesired,
                       HKEY* result) override {
        ::HKEY opened = nullptr;
        const ::LONG status = ::RegOpenKeyExW(ToWin(key), WideFromUtf8(subKey).c_str(), options,
                                              samDesired | View(key), &opened);
        return Opened(status, opened, result);
    }
    LONG RegSetValueExA(HKEY key, const std::string& valueName, DWORD reserved, DWORD type,
                        const std::uint8_t* data, DWORD cbData) override {
        if (!IsText(type) || data == nullptr) {
            return static_cast<LONG>(::RegSetValueExW(ToWin(key), WideFromUtf8(valueName).c_str(),
                                                      reserved, type, data, cbData));
        }
        // As the ANSI call: a text whose terminator was not counted but lies
        // right behind it is stored with it.
        if (cbData > 0 && data[cbData - 1] != 0 && data[cbData] == 0) {
            ++cbData;
        }
        // Behind the text a character that is not NUL: the wide call would
        // otherwise add the terminator the rule above left out.
        const std::wstring wide =
            WideFromUtf8(std::string_view(reinterpret_cast<const char*>(data), cbData)) + L'.';
        return static_cast<LONG>(
            ::RegSetValueExW(ToWin(key), WideFromUtf8(valueName).c_str(), reserved, type,
                             reinterpret_cast<const ::BYTE*>(wide.data()),
                             static_cast<::DWORD>((wide.size() - 1) * sizeof(wchar_t))));
    }
    LONG RegQueryValueExA(HKEY key, const std::string& valueName, DWORD* /*reserved*/, DWORD* type,
                          std::uint8_t* data, DWORD* cbData) override {
        const std::wstring name = WideFromUtf8(valueName);
        ::DWORD storedType = 0;
        ::DWORD size = 0;
        ::LONG status =
            ::RegQueryValueExW(ToWin(key), name.c_str(), nullptr, &storedType, nullptr, &size);
        std::vector<std::uint8_t> stored;
        for (int retry = 0; status == 0 && retry < 3; ++retry) { // the value may grow meanwhile
            stored.assign(size, 0);
            status = ::RegQueryValueExW(ToWin(key), name.c_str(), nullptr, &storedType,
                                        stored.data(), &size);
            if (status != 234) { // ERROR_MORE_DATA
                break;
            }
            status = 0;
        }
        if (status != 0) {
            return static_cast<LONG>(status);
        }
        stored.resize(size);
        if (type != nullptr) {
            *type = static_cast<DWORD>(storedType);
        }
        return HandOut(static_cast<DWORD>(storedType), FromStored(storedType, std::move(stored)),
                       data, cbData);
    }
    LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName,
                       DWORD* /*reserved*/, DWORD* type, std::uint8_t* data,
                       DWORD* cbData) override {
        if (valueName == nullptr || cchValueName == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        ::DWORD longestName = 0;
        ::DWORD largestData = 0;
        ::LONG status =
            ::RegQueryInfoKeyW(ToWin(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, &longestName, &largestData, nullptr, nullptr);
        if (status != 0) {
            return static_cast<LONG>(status);
        }
        std::wstring name(longestName + 1, L'\0');
        std::vector<std::uint8_t> stored(largestData);
        ::DWORD nameLength = longestName + 1;
        ::DWORD size = largestData;
        ::DWORD storedType = 0;
        status = ::RegEnumValueW(ToWin(key), index, name.data(), &nameLength, nullptr, &storedType,
                                 stored.data(), &size);
        if (status != 0) {
            return static_cast<LONG>(status);
        }
        const std::string utf8Name = Utf8FromWide(std::wstring_view(name.data(), nameLength));
        // The name buffer must hold the name and its NUL.
        if (utf8Name.size() + 1 > *cchValueName) {
            return ERROR_MORE_DATA;
        }
        stored.resize(size);
        const std::vector<std::uint8_t> value = FromStored(storedType, std::move(stored));
        if (data != nullptr && cbData != nullptr && value.size() > *cbData) {
            *cbData = static_cast<DWORD>(value.size());
            return ERROR_MORE_DATA;
        }
        std::memcpy(valueName, utf8Name.c_str(), utf8Name.size() + 1);
        *cchValueName = static_cast<DWORD>(utf8Name.size());
        if (type != nullptr) {
            *type = static_cast<DWORD>(storedType);
        }
        return HandOut(static_cast<DWORD>(storedType), value, data, cbData);
    }
    LONG RegCloseKey(HKEY key) override { return static_cast<LONG>(::RegCloseKey(ToWin(key))); }
};

} // namespace

std::unique_ptr<IRegistry> WinRegistry::System() {
    return std::make_unique<SystemRegistry>();
}

WinRegistry::WinRegistry() : PerUserFallbackRegistry(System()) {
}

} // namespace fw
