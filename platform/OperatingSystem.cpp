#include "platform/OperatingSystem.h"

#include "settings/Text.h"

#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace fw {

namespace {

constexpr std::array<const char*, 13> kPlatformNames = {
    "Windows 3.x With Win32s",
    "Windows 95",
    "Windows 95 Release 2",
    "Windows 98",
    "Windows 98 Release 2",
    "Windows Millenium Edition",
    "Windows NT 3.0",
    "Windows NT 3.1",
    "Windows NT 3.5",
    "Windows NT 4.0",
    "Windows 2000",
    "Windows XP",
    "[Unknown]",
};

// The Service Pack 6a hotfix for NT 4.0 leaves this value behind; the
// service-pack text still says "Service Pack 6".
constexpr const char* kSp6aHotfixValue =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009\\"
    "Installed";

std::string TrimBlanks(const std::string& text) {
    return std::string(Trim(text, " "));
}

std::int32_t AsLong(DWORD value) {
    return static_cast<std::int32_t>(value);
}

} // namespace

OperatingSystem::OperatingSystem(std::shared_ptr<IVersionFacility> facility)
    : facility_(std::move(facility)) {
    // A failed query is not an error here: the record stays zero, which names
    // the system "Windows 3.x With Win32s".
    OsVersionInfo basic;
    basic.dwOSVersionInfoSize = kOsVersionInfoSize;
    facility_->GetVersionExA(basic);

    DWORD platformId = 0;
    DWORD rawBuild = 0;
    std::string servicePackText;
    if (basic.dwPlatformId == kPlatformWin32NT && basic.dwMajorVersion >= 5) {
        // Only 2000 and later know the extended record.
        OsVersionInfoEx ex;
        ex.dwOSVersionInfoSize = kOsVersionInfoExSize;
        facility_->GetVersionExA(ex);
        majorVersion_ = AsLong(ex.dwMajorVersion);
        minorVersion_ = AsLong(ex.dwMinorVersion);
        rawBuild = ex.dwBuildNumber;
        servicePackMajor_ = ex.wServicePackMajor;
        servicePackMinor_ = ex.wServicePackMinor;
        suites_ = static_cast<std::int16_t>(ex.wSuiteMask);
        productType_ = ex.wProductType;
        servicePackText.assign(ex.szCSDVersion, sizeof ex.szCSDVersion);
        platformId = ex.dwPlatformId;
        verifySupported_ = kTrue;
    } else {
        majorVersion_ = AsLong(basic.dwMajorVersion);
        minorVersion_ = AsLong(basic.dwMinorVersion);
        rawBuild = basic.dwBuildNumber;
        servicePackText.assign(basic.szCSDVersion, sizeof basic.szCSDVersion);
        platformId = basic.dwPlatformId;
        servicePackMajor_ = 0;
        servicePackMinor_ = 0;
        productType_ = 0;
        suites_ = -1;
        verifySupported_ = kFalse;
    }
    supportInformation_ = TrimNull(servicePackText);

    // The 9x family puts major and minor into the upper half of the build
    // number; only the lower half is the build. The version string shows the
    // reduced number on every family (4.10.1998, not the raw number's last
    // digits); on the NT family the two are the same.
    if (platformId == kPlatformWin32NT) {
        buildNumber_ = AsLong(rawBuild & 0xFFFFu);
    } else {
        buildNumber_ = LoWord(AsLong(rawBuild));
    }
    versionString_ = std::to_string(majorVersion_) + "." + std::to_string(minorVersion_) + "." +
                     ZeroPad(buildNumber_, 4);

    Classify(platformId);

    if (platformId != kPlatformWin32NT) {
        return;
    }
    if (majorVersion_ < 5) {
        // NT 4.0 and earlier have no service-pack numbers, only the text.
        for (int n = 1; n <= 6; ++n) {
            if (supportInformation_.find("Service Pack " + std::to_string(n)) !=
                std::string::npos) {
                servicePackMajor_ = n;
                break;
            }
        }
    }
    if (servicePackMajor_ == 6 && majorVersion_ == 4) {
        if (QueryRegistryValue(kSp6aHotfixValue, kFalse).has_value()) {
            servicePackMinor_ = 1;
            versionString_ += " Service Pack 6a";
        } else {
            versionString_ += " Service Pack 6";
        }
    } else if (servicePackMajor_ > 0 || servicePackMinor_ > 0) {
        versionString_ += " Service Pack ";
        versionString_ += servicePackMajor_ > 0 ? std::to_string(servicePackMajor_) : "0";
        if (servicePackMinor_ > 0) {
            versionString_ += "." + std::to_string(servicePackMinor_);
        }
    }
}

void OperatingSystem::Classify(DWORD platformId) {
    if (platformId == kPlatformWin32NT) {
        if (majorVersion_ == 3) {
            family_ = kFamilyNT;
            platform_ = minorVersion_ == 0   ? kOsNT30
                        : minorVersion_ == 1 ? kOsNT31
                        : minorVersion_ == 5 ? kOsNT35
                                             : kOsUnknown;
        } else if (majorVersion_ == 4) {
            family_ = kFamilyNT;
            platform_ = kOsNT40;
        } else if (majorVersion_ == 5 && minorVersion_ == 0) {
            family_ = kFamily2000;
            platform_ = kOsWin2000;
        } else if (majorVersion_ == 5) {
            family_ = kFamilyXP;
            platform_ = minorVersion_ == 1 ? kOsWinXP : kOsUnknown;
        } else {
            family_ = kFamily9x;
            platform_ = kOsUnknown;
        }
    } else {
        family_ = kFamily9x;
        if (majorVersion_ != 4) {
            platform_ = kOsWin32s;
        } else if (minorVersion_ == 0) {
            platform_ = buildNumber_ == 950 ? kOsWin95 : kOsWin95R2;
        } else if (minorVersion_ == 10) {
            platform_ = buildNumber_ == 1998 ? kOsWin98 : kOsWin98R2;
        } else {
            platform_ = kOsWinMe;
        }
    }
    name_ = kPlatformNames[static_cast<std::size_t>(platform_)];
}

VbBool OperatingSystem::CompareVersion(std::int32_t nMajorVersion, std::int32_t nMinorVersion,
                                       std::int32_t nBuildNumber, std::int32_t nServicePackMajor,
                                       std::int32_t nServicePackMinor, std::int32_t ComparisonType,
                                       VbBool bUseVerifyVersionInfo) const {
    if (!(verifySupported_ != 0 && bUseVerifyVersionInfo != 0)) {
        return CompareByStoredValues(nMajorVersion, nMinorVersion, nBuildNumber, nServicePackMajor,
                                     nServicePackMinor, ComparisonType);
    }
    OsVersionInfoEx wanted;
    wanted.dwOSVersionInfoSize = kOsVersionInfoExSize;
    DWORD typeMask = 0;
    ULONGLONG conditionMask = 0;
    auto addCondition = [&](DWORD bit) {
        // The condition travels as one byte; the service does not take more.
        if (ComparisonType < 0 || ComparisonType > 255) {
            throw std::overflow_error("comparison type does not fit in a byte");
        }
        typeMask |= bit;
        conditionMask =
            facility_->VerSetConditionMask(conditionMask, bit, static_cast<BYTE>(ComparisonType));
    };
    auto servicePackWord = [](std::int32_t number) {
        if (number > 32767) {
            throw std::overflow_error("service-pack number does not fit in 16 bits");
        }
        return static_cast<WORD>(number);
    };
    if (nMajorVersion >= 0) {
        wanted.dwMajorVersion = static_cast<DWORD>(nMajorVersion);
        addCondition(kVerMajorVersion);
    }
    if (nMinorVersion >= 0) {
        wanted.dwMinorVersion = static_cast<DWORD>(nMinorVersion);
        addCondition(kVerMinorVersion);
    }
    if (nBuildNumber >= 0) {
        wanted.dwBuildNumber = static_cast<DWORD>(nBuildNumber);
        addCondition(kVerBuildNumber);
    }
    if (nServicePackMajor >= 0) {
        wanted.wServicePackMajor = servicePackWord(nServicePackMajor);
        addCondition(kVerServicePackMajor);
    }
    if (nServicePackMinor >= 0) {
        wanted.wServicePackMinor = servicePackWord(nServicePackMinor);
        addCondition(kVerServicePackMinor);
    }
    return ToVb(facility_->VerifyVersionInfoA(wanted, typeMask, conditionMask));
}

// Without the verification service the stored numbers are compared as the
// service does it: part by part from the most significant, and the first part
// that differs decides; later parts are looked at only while the earlier ones
// are equal (so 5.1 is greater than 4.9). The major version is always compared,
// even when the given number is negative; the service-pack numbers only on the
// NT family and XP, where they exist.
VbBool OperatingSystem::CompareByStoredValues(std::int32_t nMajorVersion,
                                              std::int32_t nMinorVersion, std::int32_t nBuildNumber,
                                              std::int32_t nServicePackMajor,
                                              std::int32_t nServicePackMinor,
                                              std::int32_t ComparisonType) const {
    if (ComparisonType < 1 || ComparisonType > 5) {
        return kFalse;
    }
    struct Part {
        std::int32_t running;
        std::int32_t given;
        bool compared;
    };
    const bool hasServicePacks = IsNT() != 0 || IsXP() != 0;
    const std::array<Part, 5> parts = {{
        {majorVersion_, nMajorVersion, true},
        {minorVersion_, nMinorVersion, nMinorVersion >= 0},
        {buildNumber_, nBuildNumber, nBuildNumber >= 0},
        {servicePackMajor_, nServicePackMajor, hasServicePacks && nServicePackMajor >= 0},
        {servicePackMinor_, nServicePackMinor, hasServicePacks && nServicePackMinor >= 0},
    }};
    bool result = false;
    for (const Part& part : parts) {
        if (!part.compared) {
            continue;
        }
        result = VersionRelationHolds(ComparisonType, part.running, part.given);
        if (part.running != part.given) {
            break;
        }
    }
    return ToVb(result);
}

VbBool OperatingSystem::IsSuiteInstalled(std::int32_t nSuites,
                                         std::int32_t /*ComparisonType*/) const {
    if (verifySupported_ == 0 || nSuites <= 0) {
        return kFalse;
    }
    if (nSuites > 32767) {
        throw std::overflow_error("suite mask does not fit in 16 bits");
    }
    OsVersionInfoEx wanted;
    wanted.dwOSVersionInfoSize = kOsVersionInfoExSize;
    wanted.wSuiteMask = static_cast<WORD>(nSuites);
    const ULONGLONG conditionMask = facility_->VerSetConditionMask(0, kVerSuiteName, kVerOr);
    return ToVb(facility_->VerifyVersionInfoA(wanted, kVerSuiteName, conditionMask));
}

VbBool OperatingSystem::Is98() const {
    return ToVb(platform_ == kOsWin98 || platform_ == kOsWin98R2);
}

VbBool OperatingSystem::IsNT() const {
    return ToVb(platform_ >= kOsNT30 && platform_ <= kOsWin2000);
}

VbBool OperatingSystem::Is2000() const {
    return ToVb(platform_ == kOsWin2000);
}

VbBool OperatingSystem::IsXP() const {
    return ToVb(platform_ == kOsWinXP);
}

// The low 16 bits read as a signed number.
std::int32_t OperatingSystem::LoWord(std::int32_t value) {
    return static_cast<std::int16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}

std::string OperatingSystem::TrimNull(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    return TrimBlanks(text.substr(0, text.find('\0')));
}

// At least `width` characters, zeros in front. A number with more digits keeps
// them all: a build number must not lose its leading digits.
std::string OperatingSystem::ZeroPad(std::int32_t number, std::int32_t width) {
    std::string digits = std::to_string(number);
    if (width > 0 && digits.size() < static_cast<std::size_t>(width)) {
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    }
    return digits;
}

OperatingSystem::RegistryValue OperatingSystem::QueryRegistryValue(const std::string& fullPath,
                                                                   VbBool bIsString) const {
    const auto firstSlash = fullPath.find('\\');
    if (firstSlash == std::string::npos) {
        return std::nullopt;
    }
    const std::string rootName = TrimBlanks(fullPath.substr(0, firstSlash));
    HKEY root = HKEY_CURRENT_USER;
    if (rootName == "HKEY_CLASSES_ROOT" || rootName == "HKCR") {
        root = HKEY_CLASSES_ROOT;
    } else if (rootName == "HKEY_CURRENT_USER" || rootName == "HKCU") {
        root = HKEY_CURRENT_USER;
    } else if (rootName == "HKEY_LOCAL_MACHINE" || rootName == "HKLM") {
        root = HKEY_LOCAL_MACHINE;
    } else if (rootName == "HKEY_USERS" || rootName == "HKU") {
        root = HKEY_USERS;
    }
    const std::string rest = fullPath.substr(firstSlash + 1);
    const auto lastSlash = rest.rfind('\\');
    std::string keyPath;
    std::string valueName = rest;
    if (lastSlash != std::string::npos) {
        keyPath = TrimBlanks(rest.substr(0, lastSlash));
        valueName = rest.substr(lastSlash + 1);
    }

    IRegistry& registry = facility_->Registry();
    HKEY key = 0;
    if (registry.RegOpenKeyExA(root, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegistryValue result;
    DWORD type = 0;
    if (bIsString != 0) {
        std::array<std::uint8_t, 1024> buffer{};
        DWORD size = buffer.size();
        if (registry.RegQueryValueExA(key, valueName, nullptr, &type, buffer.data(), &size) ==
            ERROR_SUCCESS) {
            const std::size_t length = size < buffer.size() ? size : buffer.size();
            result = TrimNull(std::string(reinterpret_cast<const char*>(buffer.data()), length));
        }
    } else {
        std::array<std::uint8_t, 4> buffer{};
        DWORD size = buffer.size();
        if (registry.RegQueryValueExA(key, valueName, nullptr, &type, buffer.data(), &size) ==
            ERROR_SUCCESS) {
            // Little-endian, as the platform stores a 32-bit number.
            const std::uint32_t number = buffer[0] | (buffer[1] << 8) | (buffer[2] << 16) |
                                         (static_cast<std::uint32_t>(buffer[3]) << 24);
            result = static_cast<std::int32_t>(number);
        }
    }
    registry.RegCloseKey(key);
    return result;
}

} // namespace fw
