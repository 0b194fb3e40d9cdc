#include "tests/support/WinRegistryTools.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace fw::test {

namespace {

// The program sees HKEY_LOCAL_MACHINE through the 32-bit view.
constexpr REGSAM kView = KEY_WOW64_32KEY;

void DeleteTree(HKEY root, REGSAM view, const std::string& path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
        ::RegDeleteTreeA(key, nullptr);
        ::RegCloseKey(key);
    }
    ::RegDeleteKeyExA(root, path.c_str(), view, 0);
}

} // namespace

void DeleteMachineKeyTree(const std::string& path) {
    DeleteTree(HKEY_LOCAL_MACHINE, kView, path);
    DeleteTree(HKEY_CURRENT_USER, 0, path); // what a denied write kept per user
}

bool CreateVolatileMachineKey(const std::string& path) {
    HKEY key = nullptr;
    const LONG status =
        ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_ALL_ACCESS | kView, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

bool SetAnsiMachineValue(const std::string& path, const std::string& name,
                         const std::string& ansi) {
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView,
                          nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status =
        ::RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(ansi.c_str()),
                         static_cast<DWORD>(ansi.size() + 1));
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::optional<std::string> InAnsiCodePage(const std::wstring& text) {
    BOOL lossy = FALSE;
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) {
        return std::nullopt;
    }
    std::string ansi(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), ansi.data(), n,
                          nullptr, nullptr);
    return ansi;
}

bool RunningOnWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace fw::test
