#include "tests/support/WinRegistryTools.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace fw::test {

void DeleteMachineKeyTree(const std::string& path) {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

bool CreateVolatileMachineKey(const std::string& path) {
    HKEY key = nullptr;
    const LONG status =
        ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

bool RunningOnWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace fw::test
