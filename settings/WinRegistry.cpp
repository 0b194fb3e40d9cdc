// <windows.h> defines HKEY_LOCAL_MACHINE, ERROR_SUCCESS, REG_SZ and the like as
// macros, which would rewrite fw's constants of the same names. The root
// handles are taken from it first, then those macros are dropped before fw's
// headers come in. Inside namespace fw the plain names are fw's; the platform's
// are spelt ::HKEY, ::DWORD and so on.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

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

#undef HKEY_CLASSES_ROOT
#undef HKEY_CURRENT_USER
#undef HKEY_LOCAL_MACHINE
#undef HKEY_USERS
#undef ERROR_SUCCESS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_ACCESS_DENIED
#undef ERROR_INVALID_HANDLE
#undef ERROR_WRITE_FAULT
#undef ERROR_MORE_DATA
#undef ERROR_NO_MORE_ITEMS
#undef REG_NONE
#undef REG_SZ
#undef REG_EXPAND_SZ
#undef REG_BINARY
#undef REG_DWORD
#undef REG_MULTI_SZ
#undef KEY_QUERY_VALUE

#include "settings/WinRegistry.h"

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

// Hands out the opened key. `status` must be the finished call's result: the
// call is made first, on a line of its own, because a call and `opened` side by
// side as arguments could be evaluated in either order.
LONG Opened(::LONG status, ::HKEY opened, HKEY* result) {
    if (status == 0 && result != nullptr) {
        *result = reinterpret_cast<HKEY>(opened);
    }
    return static_cast<LONG>(status);
}

// The platform's DWORD is unsigned long; fw's is std::uint32_t. Both are 32
// bits on Windows, but the pointers differ in type, so values go through
// locals of the platform's type.
class DwordArg {
public:
    explicit DwordArg(DWORD* p) : p_(p), value_(p != nullptr ? *p : 0) {}
    ~DwordArg() {
        if (p_ != nullptr) {
            *p_ = static_cast<DWORD>(value_);
        }
    }
    DwordArg(const DwordArg&) = delete;
    DwordArg& operator=(const DwordArg&) = delete;
    ::DWORD* get() { return p_ != nullptr ? &value_ : nullptr; }

private:
    DWORD* p_;
    ::DWORD value_;
};

} // namespace

LONG WinRegistry::RegCreateKeyA(HKEY key, const std::string& subKey, HKEY* result) {
    ::HKEY opened = nullptr;
    const ::LONG status = ::RegCreateKeyA(ToWin(key), subKey.c_str(), &opened);
    return Opened(status, opened, result);
}

LONG WinRegistry::RegOpenKeyA(HKEY key, const std::string& subKey, HKEY* result) {
    ::HKEY opened = nullptr;
    const ::LONG status = ::RegOpenKeyA(ToWin(key), subKey.c_str(), &opened);
    return Opened(status, opened, result);
}

LONG WinRegistry::RegOpenKeyExA(HKEY key, const std::string& subKey, DWORD options,
                                DWORD samDesired, HKEY* result) {
    ::HKEY opened = nullptr;
    const ::LONG status = ::RegOpenKeyExA(ToWin(key), subKey.c_str(), options, samDesired, &opened);
    return Opened(status, opened, result);
}

LONG WinRegistry::RegSetValueExA(HKEY key, const std::string& valueName, DWORD reserved, DWORD type,
                                 const std::uint8_t* data, DWORD cbData) {
    return static_cast<LONG>(
        ::RegSetValueExA(ToWin(key), valueName.c_str(), reserved, type, data, cbData));
}

LONG WinRegistry::RegQueryValueExA(HKEY key, const std::string& valueName, DWORD* reserved,
                                   DWORD* type, std::uint8_t* data, DWORD* cbData) {
    DwordArg reservedArg(reserved), typeArg(type), sizeArg(cbData);
    return static_cast<LONG>(::RegQueryValueExA(ToWin(key), valueName.c_str(), reservedArg.get(),
                                                typeArg.get(), data, sizeArg.get()));
}

LONG WinRegistry::RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName,
                                DWORD* reserved, DWORD* type, std::uint8_t* data, DWORD* cbData) {
    DwordArg nameArg(cchValueName), reservedArg(reserved), typeArg(type), sizeArg(cbData);
    return static_cast<LONG>(::RegEnumValueA(ToWin(key), index, valueName, nameArg.get(),
                                             reservedArg.get(), typeArg.get(), data,
                                             sizeArg.get()));
}

LONG WinRegistry::RegCloseKey(HKEY key) {
    return static_cast<LONG>(::RegCloseKey(ToWin(key)));
}

} // namespace fw
