#include "settings/Settings.h"

#include "settings/Text.h"
#include "settings/UsefulUtils.h"

#include <algorithm>
#include <string_view>

namespace fw {

namespace {

bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::optional<std::int16_t> ToInt16(const std::string& text) {
    std::string_view s = Trim(text);
    if (s.empty()) {
        return std::nullopt;
    }
    bool negative = false;
    if (s.front() == '+' || s.front() == '-') {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    const std::size_t dot = s.find('.');
    std::string_view whole = s.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : s.substr(dot + 1);
    if ((whole.empty() && fraction.empty()) || !AllDigits(whole) || !AllDigits(fraction)) {
        return std::nullopt;
    }
    while (whole.size() > 1 && whole.front() == '0') {
        whole.remove_prefix(1);
    }
    if (whole.size() > 6) {
        return std::nullopt; // far beyond 16 bits
    }
    std::int64_t magnitude = 0;
    for (char c : whole) {
        magnitude = magnitude * 10 + (c - '0');
    }
    if (!fraction.empty()) {
        const bool restZero =
            std::all_of(fraction.begin() + 1, fraction.end(), [](char c) { return c == '0'; });
        const char head = fraction.front();
        if (head > '5' || (head == '5' && !restZero) ||
            (head == '5' && restZero && magnitude % 2 == 1)) {
            ++magnitude;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < INT16_MIN || value > INT16_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(value);
}

bool Settings::SaveSettingValue(const std::string& section, const std::string& valueName,
                                const std::string& value, HKEY hive) {
    const std::string key = kSettingsKeyPrefix + section;
    LONG status = ERROR_SUCCESS;
    if (RegWriteString(registry_, key, valueName, value, hive, &status)) {
        return true;
    }
    lastSaveFailure_ = registry_.WriteFailure();
    if (lastSaveFailure_.empty()) {
        const std::string where =
            (hive == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER\\" : "HKEY_LOCAL_MACHINE\\") + key;
        lastSaveFailure_ = status == ERROR_ACCESS_DENIED ? "access to " + where + " was denied"
                                                         : where + " could not be written (error " +
                                                               std::to_string(status) + ")";
    }
    return false;
}

std::string Settings::GetSettingValue(const std::string& section, const std::string& valueName,
                                      const std::string& defaultValue, HKEY hive) {
    return RegReadString(registry_, kSettingsKeyPrefix + section, valueName, defaultValue, hive);
}

} // namespace fw
