// The version facility on POSIX hosts. There is no Windows version here, so the
// record describes the kernel in the record's own terms:
//
//   platform id      2 (the NT family): the only family whose numbers carry no
//                    packed fields and whose unknown versions are named
//                    "[Unknown]"; a host can never be taken for Windows 95.
//   major.minor      the kernel release's first two numbers (6.1 for
//                    "6.1.0-18-amd64"); a missing number is 0.
//   build            the release's third number (0 above).
//   service pack     no text, numbers 0.
//   suites, product  0: none of the platform's suites or product types apply.
//
// With a kernel of major 6 or later the class names the host "[Unknown]"; old
// kernels whose numbers match an NT version (3.x, 4.x, 5.0, 5.1) are named
// after that NT version, and the numbers are still the kernel's.
//
// Verification evaluates the conditions against this same record, so both
// comparison paths of the version class agree. Registry reads go to the
// registry the facility was made with.
#include "platform/VersionFacility.h"

#include <sys/utsname.h>

#include <array>
#include <cctype>
#include <string>

namespace fw {

namespace {

// Bit position of a single-bit type mask: the condition for that part sits in
// the three bits at three times this position.
int BitIndex(DWORD bit) {
    int index = 0;
    while (bit > 1) {
        bit >>= 1;
        ++index;
    }
    return index;
}

BYTE ConditionFor(ULONGLONG conditionMask, DWORD bit) {
    return static_cast<BYTE>((conditionMask >> (3 * BitIndex(bit))) & 7u);
}

// The leading numbers of a kernel release such as "6.1.0-18-amd64".
std::array<DWORD, 3> ReleaseNumbers(const char* release) {
    std::array<DWORD, 3> numbers{};
    const char* p = release;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            break;
        }
        DWORD value = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            value = value * 10 + static_cast<DWORD>(*p - '0');
            ++p;
        }
        numbers[i] = value;
        if (*p != '.') {
            break;
        }
        ++p;
    }
    return numbers;
}

class PosixVersionFacility final : public IVersionFacility {
public:
    explicit PosixVersionFacility(IRegistry& registry) : registry_(registry) {}

    bool GetVersionExA(OsVersionInfo& info) override {
        if (info.dwOSVersionInfoSize != kOsVersionInfoSize) {
            return false;
        }
        CopyVersionRecord(Host(), info);
        return true;
    }

    bool GetVersionExA(OsVersionInfoEx& info) override {
        if (info.dwOSVersionInfoSize != kOsVersionInfoExSize) {
            return false;
        }
        info = Host();
        return true;
    }

    ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                  BYTE condition) override {
        for (DWORD bit = 1; bit <= kVerProductType; bit <<= 1) {
            if (typeMask & bit) {
                const int shift = 3 * BitIndex(bit);
                conditionMask &= ~(ULONGLONG{7} << shift);
                conditionMask |= ULONGLONG{condition & 7u} << shift;
            }
        }
        return conditionMask;
    }

    bool VerifyVersionInfoA(const OsVersionInfoEx& info, DWORD typeMask,
                            ULONGLONG conditionMask) override {
        if (typeMask == 0) {
            return false;
        }
        const OsVersionInfoEx host = Host();
        // The version numbers form one ordered value, most significant first:
        // the first given part that differs decides by its condition; when all
        // given parts are equal, the last one's condition says whether equality
        // is enough.
        const struct {
            DWORD bit;
            std::uint64_t running;
            std::uint64_t given;
        } parts[] = {
            {kVerMajorVersion, host.dwMajorVersion, info.dwMajorVersion},
            {kVerMinorVersion, host.dwMinorVersion, info.dwMinorVersion},
            {kVerBuildNumber, host.dwBuildNumber, info.dwBuildNumber},
            {kVerServicePackMajor, host.wServicePackMajor, info.wServicePackMajor},
            {kVerServicePackMinor, host.wServicePackMinor, info.wServicePackMinor},
        };
        bool versionHolds = true;
        for (const auto& part : parts) {
            if (!(typeMask & part.bit)) {
                continue;
            }
            versionHolds = VersionRelationHolds(ConditionFor(conditionMask, part.bit), part.running,
                                                part.given);
            if (part.running != part.given) {
                break;
            }
        }
        if (!versionHolds) {
            return false;
        }
        if ((typeMask & kVerPlatformId) &&
            !VersionRelationHolds(ConditionFor(conditionMask, kVerPlatformId), host.dwPlatformId,
                                  info.dwPlatformId)) {
            return false;
        }
        if ((typeMask & kVerProductType) &&
            !VersionRelationHolds(ConditionFor(conditionMask, kVerProductType), host.wProductType,
                                  info.wProductType)) {
            return false;
        }
        if (typeMask & kVerSuiteName) {
            const WORD present = host.wSuiteMask & info.wSuiteMask;
            switch (ConditionFor(conditionMask, kVerSuiteName)) {
            case kVerAnd:
                if (present != info.wSuiteMask) {
                    return false;
                }
                break;
            case kVerOr:
                if (present == 0) {
                    return false;
                }
                break;
            default:
                return false;
            }
        }
        return true;
    }

    IRegistry& Registry() override { return registry_; }

private:
    static OsVersionInfoEx Host() {
        OsVersionInfoEx host;
        host.dwOSVersionInfoSize = kOsVersionInfoExSize;
        host.dwPlatformId = kPlatformWin32NT;
        utsname names{};
        if (uname(&names) == 0) {
            const auto numbers = ReleaseNumbers(names.release);
            host.dwMajorVersion = numbers[0];
            host.dwMinorVersion = numbers[1];
            host.dwBuildNumber = numbers[2];
        }
        return host;
    }

    IRegistry& registry_;
};

} // namespace

std::shared_ptr<IVersionFacility> MakePlatformVersionFacility(IRegistry& registry) {
    return std::make_shared<PosixVersionFacility>(registry);
}

} // namespace fw
