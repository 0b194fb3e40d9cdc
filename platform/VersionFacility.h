// The three platform services the version class is built on: the version
// record, the version-verification service and registry reads. On Windows they
// are the system's own calls; elsewhere a facility reports the host in the
// same shape.
#pragma once

#include "settings/Registry.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace fw {

using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using ULONGLONG = std::uint64_t;

// The basic version record (148 bytes).
struct OsVersionInfo {
    DWORD dwOSVersionInfoSize = 0;
    DWORD dwMajorVersion = 0;
    DWORD dwMinorVersion = 0;
    DWORD dwBuildNumber = 0;
    DWORD dwPlatformId = 0;
    char szCSDVersion[128] = {}; // service-pack text, NUL-terminated
};

// The extended version record (156 bytes): the basic record followed by the
// service-pack numbers, the product suites and the product type.
struct OsVersionInfoEx : OsVersionInfo {
    WORD wServicePackMajor = 0;
    WORD wServicePackMinor = 0;
    WORD wSuiteMask = 0;
    BYTE wProductType = 0;
    BYTE wReserved = 0;
};

static_assert(sizeof(OsVersionInfo) == 148, "basic version record must be 148 bytes");
static_assert(sizeof(OsVersionInfoEx) == 156, "extended version record must be 156 bytes");

inline constexpr DWORD kOsVersionInfoSize = sizeof(OsVersionInfo);
inline constexpr DWORD kOsVersionInfoExSize = sizeof(OsVersionInfoEx);

// Copies what a version record says, every field but its size, from `from` to
// `to`: the basic record's fields, and the extended record's too when both
// have them. Either may be the system's own record.
template <typename From, typename To> void CopyVersionRecord(const From& from, To& to) {
    static_assert(sizeof from.szCSDVersion == sizeof to.szCSDVersion);
    to.dwMajorVersion = from.dwMajorVersion;
    to.dwMinorVersion = from.dwMinorVersion;
    to.dwBuildNumber = from.dwBuildNumber;
    to.dwPlatformId = from.dwPlatformId;
    std::memcpy(to.szCSDVersion, from.szCSDVersion, sizeof to.szCSDVersion);
    if constexpr (requires {
                      from.wProductType;
                      to.wProductType;
                  }) {
        to.wServicePackMajor = from.wServicePackMajor;
        to.wServicePackMinor = from.wServicePackMinor;
        to.wSuiteMask = from.wSuiteMask;
        to.wProductType = from.wProductType;
    }
}

// Platform ids of the version record.
inline constexpr DWORD kPlatformWin32s = 0;
inline constexpr DWORD kPlatformWin32Windows = 1; // 95, 98, Me
inline constexpr DWORD kPlatformWin32NT = 2;

// Type-mask bits naming the parts of the record a verification looks at. (The
// system headers define these as macros, hence the different spelling.)
inline constexpr DWORD kVerMinorVersion = 0x01;
inline constexpr DWORD kVerMajorVersion = 0x02;
inline constexpr DWORD kVerBuildNumber = 0x04;
inline constexpr DWORD kVerPlatformId = 0x08;
inline constexpr DWORD kVerServicePackMinor = 0x10;
inline constexpr DWORD kVerServicePackMajor = 0x20;
inline constexpr DWORD kVerSuiteName = 0x40;
inline constexpr DWORD kVerProductType = 0x80;

// Conditions: the running system's value on the left, the record's on the right.
inline constexpr BYTE kVerEqual = 1;
inline constexpr BYTE kVerGreater = 2;
inline constexpr BYTE kVerGreaterEqual = 3;
inline constexpr BYTE kVerLess = 4;
inline constexpr BYTE kVerLessEqual = 5;
inline constexpr BYTE kVerAnd = 6; // every given suite present
inline constexpr BYTE kVerOr = 7;  // at least one given suite present

// Whether relation `condition` (kVerEqual to kVerLessEqual) holds between the
// running system's value and the given one; false for any other condition.
constexpr bool VersionRelationHolds(std::int64_t condition, std::int64_t running,
                                    std::int64_t given) {
    switch (condition) {
    case kVerEqual:
        return running == given;
    case kVerGreater:
        return running > given;
    case kVerGreaterEqual:
        return running >= given;
    case kVerLess:
        return running < given;
    case kVerLessEqual:
        return running <= given;
    default:
        return false;
    }
}

class IVersionFacility {
public:
    virtual ~IVersionFacility() = default;
    // Fills the record; its size field must say which record it is. False when
    // the record could not be filled.
    virtual bool GetVersionExA(OsVersionInfo& info) = 0;
    virtual bool GetVersionExA(OsVersionInfoEx& info) = 0;
    // Adds `condition` for the part named by the single bit `typeMask` to a
    // condition mask.
    virtual ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                          BYTE condition) = 0;
    // True when the running system satisfies, for every part in `typeMask`, the
    // condition that `conditionMask` holds for it against `info`.
    virtual bool VerifyVersionInfoA(const OsVersionInfoEx& info, DWORD typeMask,
                                    ULONGLONG conditionMask) = 0;
    // The registry that version details are read from.
    virtual IRegistry& Registry() = 0;
};

// The facility of the platform the program runs on. `registry` must outlive it.
std::shared_ptr<IVersionFacility> MakePlatformVersionFacility(IRegistry& registry);

} // namespace fw
