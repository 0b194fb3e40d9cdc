#include "cli/FlashOptions.h"

#include "link/serial/ComPortNames.h"
#include "settings/Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace fw::cli {
std::optional<std::string> ParseType(const std::string& text) {
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (ParseConnectionType(upper)) {
        return upper;
    }
    return std::nullopt;
}

std::optional<OperationSet> ParseOperations(const std::string& text, std::string* bad) {
    OperationSet set{};
    if (Trim(text).empty()) {
        return set;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string name(Trim(std::string_view(text).substr(
            start, comma == std::string::npos ? std::string::npos : comma - start)));
        const auto it = std::find_if(kOperationNames.begin(), kOperationNames.end(),
                                     [&name](const char* known) { return name == known; });
        if (it == kOperationNames.end()) {
            if (bad != nullptr) {
                *bad = name;
            }
            return std::nullopt;
        }
        set[static_cast<std::size_t>(it - kOperationNames.begin())] = true;
        if (comma == std::string::npos) {
            return set;
        }
        start = comma + 1;
    }
}

std::optional<double> ParseTimeout(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds <= 0 ||
        seconds > 7 * 24 * 3600) {
        return std::nullopt;
    }
    return seconds;
}

std::optional<std::string> ParseSha256(const std::string& text) {
    if (text.size() != 64 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::optional<int> ParseJobs(const std::string& text) {
    int jobs = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, jobs);
    if (text.empty() || ec != std::errc() || ptr != end || jobs < 1) {
        return std::nullopt;
    }
    return jobs;
}

void ApplyOperations(const OperationSet& operations, Operations& flags) {
    for (std::size_t i = 0; i < operations.size(); ++i) {
        flags.*kOperations[i].flag = operations[i] ? kTrue : kFalse;
    }
}

} // namespace fw::cli
