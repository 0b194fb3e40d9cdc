#include "settings/Settings.h"

#include "settings/UsefulUtils.h"

namespace fw {

bool Settings::SaveSettingValue(const std::string& section, const std::string& valueName,
                                const std::string& value, HKEY hive) {
    return RegWriteString(registry_, kSettingsKeyPrefix + section, valueName, value, hive);
}

std::string Settings::GetSettingValue(const std::string& section, const std::string& valueName,
                                      const std::string& defaultValue, HKEY hive) {
    return RegReadString(registry_, kSettingsKeyPrefix + section, valueName, defaultValue, hive);
}

} // namespace fw
