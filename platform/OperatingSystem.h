// The running operating system: asked once, when an instance is made, for its
// version record; named as one of thirteen kinds; and then asked about its
// version. The connection page only reads Name (to leave out the USB device
// list on Windows 95); the rest is there for any caller.
#pragma once

#include "platform/VbBool.h"
#include "platform/VersionFacility.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace fw {

// Kinds of system, the values of Platform().
enum OsPlatform : std::int32_t {
    kOsWin32s = 0,
    kOsWin95 = 1,
    kOsWin95R2 = 2,
    kOsWin98 = 3,
    kOsWin98R2 = 4,
    kOsWinMe = 5,
    kOsNT30 = 6,
    kOsNT31 = 7,
    kOsNT35 = 8,
    kOsNT40 = 9,
    kOsWin2000 = 10,
    kOsWinXP = 11,
    kOsUnknown = 12,
};

// Values of Family().
enum OsFamily : std::int32_t {
    kFamily9x = 0, // 95, 98, Me, Win32s (and unknown majors)
    kFamilyNT = 1, // NT 3.x and 4.0
    kFamily2000 = 2,
    kFamilyXP = 3, // XP and other 5.x
};

class OperatingSystem {
public:
    // Queries `facility` at once; it is kept for CompareVersion and
    // IsSuiteInstalled.
    explicit OperatingSystem(std::shared_ptr<IVersionFacility> facility);

    std::int32_t Platform() const { return platform_; }
    const std::string& Name() const { return name_; }
    const std::string& VersionString() const { return versionString_; }
    std::int32_t MajorVersion() const { return majorVersion_; }
    std::int32_t MinorVersion() const { return minorVersion_; }
    std::int32_t BuildNumber() const { return buildNumber_; }
    std::int32_t ServicePackMajor() const { return servicePackMajor_; }
    std::int32_t ServicePackMinor() const { return servicePackMinor_; }
    std::int32_t Family() const { return family_; }
    std::int32_t ProductType() const { return productType_; }
    std::int32_t Suites() const { return suites_; }
    const std::string& SupportInformation() const { return supportInformation_; }

    // Whether the running system's version stands in relation `ComparisonType`
    // (1 equal, 2 greater, 3 greater or equal, 4 less, 5 less or equal) to the
    // given one. A negative part is not compared. With bUseVerifyVersionInfo
    // and the verification service available the platform decides; otherwise
    // the stored numbers are compared, most significant part first.
    // Throws std::overflow_error on the verification path when ComparisonType
    // is outside 0..255 or a given service-pack number exceeds 32767.
    VbBool CompareVersion(std::int32_t nMajorVersion, std::int32_t nMinorVersion,
                          std::int32_t nBuildNumber, std::int32_t nServicePackMajor,
                          std::int32_t nServicePackMinor, std::int32_t ComparisonType,
                          VbBool bUseVerifyVersionInfo) const;
    // Whether at least one of the suites in nSuites is installed; always False
    // without the verification service. ComparisonType is not used. Throws
    // std::overflow_error when nSuites exceeds 32767.
    VbBool IsSuiteInstalled(std::int32_t nSuites, std::int32_t ComparisonType) const;
    VbBool Is98() const;
    VbBool IsNT() const; // NT 3.0 to 2000; XP answers IsXP
    VbBool Is2000() const;
    VbBool IsXP() const;
    VbBool IsVerifySupported() const { return verifySupported_; }

private:
    // A registry value: text, a 32-bit number, or nothing when it could not be
    // read.
    using RegistryValue = std::optional<std::variant<std::string, std::int32_t>>;

    static std::int32_t LoWord(std::int32_t value);
    static std::string TrimNull(const std::string& text);
    static std::string ZeroPad(std::int32_t number, std::int32_t width);
    RegistryValue QueryRegistryValue(const std::string& fullPath, VbBool bIsString) const;

    void Classify(DWORD platformId);
    VbBool CompareByStoredValues(std::int32_t nMajorVersion, std::int32_t nMinorVersion,
                                 std::int32_t nBuildNumber, std::int32_t nServicePackMajor,
                                 std::int32_t nServicePackMinor, std::int32_t ComparisonType) const;

    std::shared_ptr<IVersionFacility> facility_;
    std::int32_t platform_ = kOsWin32s;
    std::string name_;
    std::string versionString_;
    std::int32_t majorVersion_ = 0;
    std::int32_t minorVersion_ = 0;
    std::int32_t buildNumber_ = 0;
    std::int32_t servicePackMajor_ = 0;
    std::int32_t servicePackMinor_ = 0;
    std::int32_t family_ = kFamily9x;
    std::int32_t productType_ = 0;
    std::int32_t suites_ = -1;
    std::string supportInformation_;
    VbBool verifySupported_ = kFalse;
};

} // namespace fw
