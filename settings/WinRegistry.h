// The platform's own registry, through the wide (UTF-16) functions of
// advapi32; names and texts are UTF-8 on this side, so a value another
// program stored with the ANSI calls reads as that program meant it.
// HKEY_LOCAL_MACHINE is seen through the 32-bit registry view, as 32-bit
// programs see it (SOFTWARE\WOW6432Node on 64-bit Windows): settings a 32-bit
// installation stored are found, and values for other 32-bit programs land
// where they look. A write the machine refuses (a standard user) is kept per
// user under HKEY_CURRENT_USER, which is read first (PerUserFallbackRegistry).
// Windows only.
#pragma once

#include "settings/Registry.h"

#include <memory>

namespace fw {

class PerUserFallbackRegistry;

class WinRegistry : public IRegistry {
public:
    WinRegistry();
    ~WinRegistry() override;
    WinRegistry(const WinRegistry&) = delete;
    WinRegistry& operator=(const WinRegistry&) = delete;

    LONG RegCreateKeyA(HKEY key, const std::string& subKey, HKEY* result) override;
    LONG RegOpenKeyA(HKEY key, const std::string& subKey, HKEY* result) override;
    LONG RegOpenKeyExA(HKEY key, const std::string& subKey, DWORD options, DWORD samDesired,
                       HKEY* result) override;
    LONG RegSetValueExA(HKEY key, const std::string& valueName, DWORD reserved, DWORD type,
                        const std::uint8_t* data, DWORD cbData) override;
    LONG RegQueryValueExA(HKEY key, const std::string& valueName, DWORD* reserved, DWORD* type,
                          std::uint8_t* data, DWORD* cbData) override;
    LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName, DWORD* reserved,
                       DWORD* type, std::uint8_t* data, DWORD* cbData) override;
    LONG RegCloseKey(HKEY key) override;

    // The system registry itself, without the per-user fallback: the same
    // calls in UTF-8 over the wide functions, HKEY_LOCAL_MACHINE in the 32-bit
    // view.
    static std::unique_ptr<IRegistry> System();

private:
    std::unique_ptr<IRegistry> system_;
    std::unique_ptr<PerUserFallbackRegistry> layered_;
};

} // namespace fw
