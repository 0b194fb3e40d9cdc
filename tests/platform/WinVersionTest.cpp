// The version class on the system's own version calls. Under Wine the test runs
// once for each Windows version Wine is told to report; FW_EXPECT_WINDOWS names
// it (win2k, winxp, win7, win10) and the test first checks that this is the
// version reported. Without it only what holds on any version is checked.
#include "platform/OperatingSystem.h"
#include "settings/WinRegistry.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

namespace fw {
namespace {

struct Expected {
    const char* wineVersion;
    std::int32_t platform;
    const char* name;
    const char* versionString;
    std::int32_t family;
    std::int32_t servicePackMajor;
    VbBool isNT, isXP;
};

// What each version reports (major.minor.build and service pack, as Wine
// reports them), and what the class makes of it.
// clang-format off
const Expected kExpected[] = {
    {"win2k", kOsWin2000, "Windows 2000", "5.0.2195 Service Pack 4", kFamily2000, 4, kTrue, kFalse},
    {"winxp", kOsWinXP, "Windows XP", "5.1.2600 Service Pack 3", kFamilyXP, 3, kFalse, kTrue},
    {"win7", kOsUnknown, "[Unknown]", "6.1.7601 Service Pack 1", kFamily9x, 1, kFalse, kFalse},
    // Windows 10 shows a program without a manifest that claims it as 6.2.9200
    // (Windows 8), and so does Wine.
    {"win10", kOsUnknown, "[Unknown]", "6.2.9200", kFamily9x, 0, kFalse, kFalse},
};
// clang-format on

class SystemVersion : public ::testing::Test {
protected:
    WinRegistry registry_;
    OperatingSystem os_{MakePlatformVersionFacility(registry_)};
};

TEST_F(SystemVersion, NameAndVersionStringOfTheReportedVersion) {
    const char* wanted = std::getenv("FW_EXPECT_WINDOWS");
    if (wanted == nullptr) {
        GTEST_SKIP() << "FW_EXPECT_WINDOWS not set: the reported version is not known";
    }
    const Expected* expected = nullptr;
    for (const Expected& e : kExpected) {
        expected = std::string(wanted) == e.wineVersion ? &e : expected;
    }
    ASSERT_NE(expected, nullptr) << "no expectations for " << wanted;
    EXPECT_EQ(os_.Name(), expected->name);
    EXPECT_EQ(os_.Platform(), expected->platform);
    EXPECT_EQ(os_.VersionString(), expected->versionString);
    EXPECT_EQ(os_.Family(), expected->family);
    EXPECT_EQ(os_.ServicePackMajor(), expected->servicePackMajor);
    EXPECT_EQ(os_.ServicePackMinor(), 0);
    EXPECT_EQ(os_.IsNT(), expected->isNT);
    EXPECT_EQ(os_.IsXP(), expected->isXP);
    EXPECT_EQ(os_.Is2000(), expected->platform == kOsWin2000 ? kTrue : kFalse);
    EXPECT_EQ(os_.Is98(), kFalse);
    EXPECT_EQ(os_.IsVerifySupported(), kTrue); // NT family, 5.0 and later
}

// Around the running version, the platform's verification service and the
// comparison of the stored numbers must give the same answer, and the answer
// of the relation on the one part that differs. The given parts are a chain
// from the major version down, all equal to the running system's but the last,
// which is one less, equal or one more. The chains and types are those where
// the two ways are meant to agree: the fallback compares each part on its own,
// the service verifies major, minor and service pack as one number and the build
// apart, so a build compared by a strict relation, or a service-pack minor
// compared by "greater" on a system with a service pack, answer differently by
// design.
TEST_F(SystemVersion, BothComparisonsAgreeAroundTheRunningVersion) {
    enum Part { kMajor, kMinor, kBuild, kSpMajor, kSpMinor };
    const std::array<std::int32_t, 5> running = {os_.MajorVersion(), os_.MinorVersion(),
                                                 os_.BuildNumber(), os_.ServicePackMajor(),
                                                 os_.ServicePackMinor()};
    struct Chain {
        std::vector<Part> parts;
        std::vector<std::int32_t> types;
        bool servicePack; // compared by the fallback only on NT and XP
    };
    const Chain chains[] = {
        {{kMajor}, {1, 2, 3, 4, 5}, false},
        {{kMajor, kMinor}, {1, 2, 3, 4, 5}, false},
        {{kMajor, kBuild}, {1, 3, 5}, false},
        {{kMajor, kMinor, kSpMajor}, {1, 2, 3, 4, 5}, true},
        {{kMajor, kMinor, kSpMajor, kSpMinor}, {1, 4, 5}, true},
    };
    const bool servicePackCompared = os_.IsNT() == kTrue || os_.IsXP() == kTrue;
    int compared = 0;
    for (const Chain& chain : chains) {
        if (chain.servicePack && !servicePackCompared) {
            continue;
        }
        for (const std::int32_t delta : {-1, 0, 1}) {
            std::array<std::int32_t, 5> given = {-1, -1, -1, -1, -1};
            for (const Part part : chain.parts) {
                given[part] = running[part];
            }
            const Part last = chain.parts.back();
            given[last] += delta;
            if (given[last] < 0) {
                continue; // a negative part is not given
            }
            for (const std::int32_t type : chain.types) {
                const auto compare = [&](VbBool verify) {
                    return os_.CompareVersion(given[0], given[1], given[2], given[3], given[4],
                                              type, verify);
                };
                const VbBool expected =
                    VersionRelationHolds(type, running[last], given[last]) ? kTrue : kFalse;
                SCOPED_TRACE("part " + std::to_string(last) + " given " +
                             std::to_string(given[last]) + " type " + std::to_string(type));
                EXPECT_EQ(compare(kTrue), expected);
                EXPECT_EQ(compare(kFalse), expected);
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, 30);
}

} // namespace
} // namespace fw
