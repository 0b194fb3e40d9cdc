// The platform's own registry, through the ANSI functions of advapi32.
// Windows only.
#pragma once

#include "settings/Registry.h"

namespace fw {

class WinRegistry : public IRegistry {
public:
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
};

} // namespace fw
