// The program's settings: named text values in the key
// SOFTWARE\Tarnvel\Flashwright\<section> below a registry hive.
#pragma once

#include "settings/Registry.h"

#include <cstdint>
#include <optional>
#include <string>

namespace fw {

inline constexpr const char* kSettingsKeyPrefix = "SOFTWARE\\Tarnvel\\Flashwright\\";
inline constexpr const char* kSection = "Settings";

// Value names, spelled exactly as stored settings have them.
inline constexpr const char* kConnectionType = "Connction Type";
inline constexpr const char* kComPort = "COM Port";
inline constexpr const char* kUsbAnalyser = "USB Analyser";
inline constexpr const char* kAddress = "Address";
inline constexpr const char* kFilename = "Filename";

// Converts a stored number the way the settings have always been read: blanks
// around it are ignored, it is decimal with an optional sign and fraction, and a
// fraction rounds to the nearest whole number with halves to the even one.
// nullopt for anything else, or when the result does not fit 16 bits.
std::optional<std::int16_t> ToInt16(const std::string& text);

class Settings {
public:
    explicit Settings(IRegistry& registry) : registry_(registry) {}
    // Writes `value`, creating the key first when it is missing. False when it
    // could not be written; LastSaveFailure() then says why.
    bool SaveSettingValue(const std::string& section, const std::string& valueName,
                          const std::string& value, HKEY hive = HKEY_LOCAL_MACHINE);
    // Why the last failed save failed, for the user: the store's own words
    // when it has them ("<file> is not writable: Permission denied", "another
    // program has kept <file> locked for 3 s"), else what its status means
    // ("access to HKEY_LOCAL_MACHINE\...\Settings was denied").
    const std::string& LastSaveFailure() const { return lastSaveFailure_; }
    // The stored text, or `defaultValue` when it cannot be read.
    std::string GetSettingValue(const std::string& section, const std::string& valueName,
                                const std::string& defaultValue, HKEY hive = HKEY_LOCAL_MACHINE);
    IRegistry& Registry() { return registry_; }

private:
    IRegistry& registry_;
    std::string lastSaveFailure_;
};

} // namespace fw
