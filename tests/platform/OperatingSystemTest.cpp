#include "platform/OperatingSystem.h"
#include "settings/MemoryRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace fw {
namespace {

using Condition = std::tuple<ULONGLONG, DWORD, BYTE>; // mask in, bit, condition

// A host whose version record the test writes, and which records what the
// version class asks of the verification service.
struct ScriptedFacility : IVersionFacility {
    bool GetVersionExA(OsVersionInfo& info) override {
        sizesAsked.push_back(info.dwOSVersionInfoSize);
        std::memcpy(&info.dwMajorVersion, &host.dwMajorVersion, sizeof info - sizeof(DWORD));
        return true;
    }
    bool GetVersionExA(OsVersionInfoEx& info) override {
        sizesAsked.push_back(info.dwOSVersionInfoSize);
        info = host;
        return true;
    }
    ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD bit, BYTE condition) override {
        conditions.emplace_back(mask, bit, condition);
        return 1000 + conditions.size(); // a token: Verify must receive the last one
    }
    bool VerifyVersionInfoA(const OsVersionInfoEx& info, DWORD typeMask, ULONGLONG mask) override {
        verified.emplace_back(info, typeMask, mask);
        return true;
    }
    IRegistry& Registry() override { return registry; }

    OsVersionInfoEx host;
    std::vector<DWORD> sizesAsked;
    std::vector<Condition> conditions;
    std::vector<std::tuple<OsVersionInfoEx, DWORD, ULONGLONG>> verified;
    MemoryRegistry registry;
};

std::shared_ptr<ScriptedFacility> Host(DWORD platformId, DWORD major, DWORD minor, DWORD build,
                                       const std::string& csd = "", WORD spMajor = 0,
                                       WORD spMinor = 0) {
    auto f = std::make_shared<ScriptedFacility>();
    f->host = {{0, major, minor, build, platformId, {}}, spMajor, spMinor, 0, 0, 0};
    csd.copy(f->host.szCSDVersion, sizeof f->host.szCSDVersion - 1);
    return f;
}

// Every kind of system. The 9x family packs major and minor into the build
// number's upper half.
TEST(OperatingSystem, ClassificationNameFamilyAndVersionString) {
    struct Row {
        DWORD platformId, major, minor, build;
        std::int32_t platform;
        const char* name;
        std::int32_t family;
        const char* versionString;
    };
    // clang-format off
    const Row rows[] = {
        {0, 3, 11, 0, 0, "Windows 3.x With Win32s", 0, "3.11.0000"},
        {1, 4, 0, 0x040003B6, 1, "Windows 95", 0, "4.0.0950"},
        {1, 4, 0, 0x04000457, 2, "Windows 95 Release 2", 0, "4.0.1111"},
        {1, 4, 10, 0x040A07CE, 3, "Windows 98", 0, "4.10.1998"},
        {1, 4, 10, 0x040A08AE, 4, "Windows 98 Release 2", 0, "4.10.2222"},
        {1, 4, 90, 0x045A0BB8, 5, "Windows Millenium Edition", 0, "4.90.3000"},
        {2, 3, 0, 400, 6, "Windows NT 3.0", 1, "3.0.0400"},
        {2, 3, 1, 511, 7, "Windows NT 3.1", 1, "3.1.0511"},
        {2, 3, 5, 807, 8, "Windows NT 3.5", 1, "3.5.0807"},
        {2, 3, 51, 1057, 12, "[Unknown]", 1, "3.51.1057"},
        {2, 4, 0, 1381, 9, "Windows NT 4.0", 1, "4.0.1381"},
        {2, 5, 0, 2195, 10, "Windows 2000", 2, "5.0.2195"},
        {2, 5, 1, 2600, 11, "Windows XP", 3, "5.1.2600"},
        {2, 5, 2, 3790, 12, "[Unknown]", 3, "5.2.3790"},
        // Five-digit builds keep every digit; the NT family drops the upper half.
        {2, 10, 0, 0x00014A65, 12, "[Unknown]", 0, "10.0.19045"},
    };
    // clang-format on
    for (const Row& r : rows) {
        OperatingSystem os(Host(r.platformId, r.major, r.minor, r.build));
        EXPECT_EQ(std::make_tuple(os.Platform(), os.Name(), os.Family(), os.VersionString()),
                  std::make_tuple(r.platform, r.name, r.family, r.versionString));
    }
    // On 9x the build is the low half read as signed, whatever the upper half.
    EXPECT_EQ(OperatingSystem(Host(1, 4, 0, 0x0400FFFF)).BuildNumber(), -1);
    EXPECT_EQ(OperatingSystem(Host(1, 4, 0, 0x04008000)).BuildNumber(), -32768);
}

TEST(OperatingSystem, ServicePackSuffixes) {
    struct Case {
        DWORD major, minor, build;
        const char* csd;
        WORD spMajor, spMinor;
        bool hotfix;
        const char* versionString;
    };
    // NT 4.0 has only the text; 6a shows only in the hotfix value.
    const Case cases[] = {
        {4, 0, 1381, "  Service Pack 6 ", 0, 0, false, "4.0.1381 Service Pack 6"},
        {4, 0, 1381, "Service Pack 6", 0, 0, true, "4.0.1381 Service Pack 6a"},
        {4, 0, 1381, "Service Pack 3", 0, 0, true, "4.0.1381 Service Pack 3"},
        {5, 1, 2600, "", 0, 0, false, "5.1.2600"},
        {5, 0, 2195, "", 0, 1, false, "5.0.2195 Service Pack 0.1"},
        {5, 1, 2600, "Service Pack 2", 2, 0, false, "5.1.2600 Service Pack 2"},
    };
    for (const Case& c : cases) {
        auto f = Host(2, c.major, c.minor, c.build, c.csd, c.spMajor, c.spMinor);
        if (c.hotfix) {
            auto& key = f->registry.CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\"
                                              "Windows NT\\CurrentVersion\\Hotfix\\Q246009");
            MemoryRegistry::StoreValue(key, "Installed", REG_DWORD, {1, 0, 0, 0});
        }
        EXPECT_EQ(OperatingSystem(f).VersionString(), c.versionString);
    }
    EXPECT_EQ(OperatingSystem(Host(2, 4, 0, 1381, " SP 6 ")).SupportInformation(), "SP 6");
}

TEST(CompareVersion, VerificationServiceOnlyWithTheExtendedRecord) {
    auto nt4 = Host(2, 4, 0, 1381);
    OperatingSystem old(nt4);
    EXPECT_EQ(nt4->sizesAsked, std::vector<DWORD>{148});
    // Answered from storage: 4 is not 5 (the scripted service would say yes).
    EXPECT_EQ(old.CompareVersion(5, -1, -1, -1, -1, 1, kTrue), kFalse);

    auto f = Host(2, 5, 1, 2600, "", 2, 0);
    OperatingSystem os(f);
    EXPECT_EQ(f->sizesAsked, (std::vector<DWORD>{148, 156}));
    EXPECT_EQ(os.CompareVersion(5, 1, -1, 2, 3, 3, 1), kTrue); // any non-zero asks
    EXPECT_EQ(f->conditions, (std::vector<Condition>{{0, kVerMajorVersion, 3},
                                                     {1001, kVerMinorVersion, 3},
                                                     {1002, kVerServicePackMajor, 3},
                                                     {1003, kVerServicePackMinor, 3}}));
    ASSERT_EQ(f->verified.size(), 1u);
    const auto& [info, typeMask, mask] = f->verified[0];
    EXPECT_EQ(std::make_tuple(typeMask, mask), std::make_tuple(0x33u, 1004u));
    EXPECT_EQ(std::make_tuple(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber,
                              info.wServicePackMajor, info.wServicePackMinor),
              std::make_tuple(5u, 1u, 0u, WORD{2}, WORD{3}));
    EXPECT_THROW(os.CompareVersion(5, -1, -1, -1, -1, 256, kTrue), std::overflow_error);
    EXPECT_THROW(os.CompareVersion(-1, -1, -1, 32768, -1, 3, kTrue), std::overflow_error);
}

// Without the verification service: most significant part first, so that 5.1
// counts as greater than 4.9.
TEST(CompareVersion, FallbackComparesMostSignificantPartFirst) {
    struct F {
        std::int32_t major, minor, build, spMajor, spMinor, type;
        VbBool expected;
    };
    // Running system: 5.1.2600 Service Pack 2.0 (XP, so the service-pack parts count).
    // clang-format off
    const F cases[] = {
        // A higher major decides without the minor.
        {4, 9, -1, -1, -1, 3, kTrue}, {4, 9, -1, -1, -1, 2, kTrue}, {4, 9, -1, -1, -1, 5, kFalse},
        {6, 0, -1, -1, -1, 4, kTrue}, {6, 0, -1, -1, -1, 3, kFalse},
        // Equal majors hand over to the minor; strict relations need a difference.
        {5, 0, -1, -1, -1, 2, kTrue}, {5, -1, -1, -1, -1, 2, kFalse}, {5, 1, -1, -1, -1, 1, kTrue},
        {5, 2, 100, -1, -1, 4, kTrue}, {5, 1, 2601, -1, -1, 5, kTrue}, {5, 1, 2600, 2, 0, 1, kTrue},
        {5, 1, 2600, 2, 1, 3, kFalse}, {5, 1, 2600, 1, 9, 2, kTrue}, {5, 1, -1, -1, 0, 5, kTrue},
        // All parts negative: only the major is compared, against the negative number.
        {-1, -1, -1, -1, -1, 1, kFalse}, {-1, -1, -1, -1, -1, 2, kTrue},
        {-1, -1, -1, -1, -1, 3, kTrue}, {-1, -1, -1, -1, -1, 4, kFalse},
        {-1, -1, -1, -1, -1, 5, kFalse},
        // Not a relation.
        {5, 1, 2600, 2, 0, 0, kFalse}, {5, 1, 2600, 2, 0, 6, kFalse},
    };
    // clang-format on
    OperatingSystem xp(Host(2, 5, 1, 2600, "", 2, 0));
    for (const F& c : cases) {
        EXPECT_EQ(xp.CompareVersion(c.major, c.minor, c.build, c.spMajor, c.spMinor, c.type, 0),
                  c.expected)
            << "case " << &c - cases;
    }
    // Service packs count only on the NT family and XP.
    OperatingSystem w98(Host(1, 4, 10, 0x040A07CE));
    EXPECT_EQ(w98.CompareVersion(4, 10, 1998, 5, 5, 1, kTrue), kTrue);
    OperatingSystem w2k(Host(2, 5, 0, 2195));
    EXPECT_EQ(w2k.CompareVersion(5, 0, 2195, 5, -1, 1, kFalse), kFalse);
}

// The host facility of a system without Windows (WinVersionTest covers the
// Windows one).
#ifndef _WIN32
TEST(PosixVersionFacility, NamesTheHostWithoutWindows95AndBothComparePathsAgree) {
    MemoryRegistry registry;
    OperatingSystem os(MakePlatformVersionFacility(registry));
    EXPECT_EQ(os.Name().find("Windows 95"), std::string::npos) << os.Name();
    // Every relation around the running version, with and without the build.
    for (std::int32_t i = 0; i < 5 * 18; ++i) {
        const std::int32_t type = 1 + i / 18, major = os.MajorVersion() + i % 3 - 1;
        const std::int32_t minor = os.MinorVersion() + i / 3 % 3 - 1;
        const std::int32_t build = i / 9 % 2 ? os.BuildNumber() : -1;
        EXPECT_EQ(os.CompareVersion(major, minor, build, -1, -1, type, kTrue),
                  os.CompareVersion(major, minor, build, -1, -1, type, kFalse))
            << type << ": " << major << "." << minor << "." << build;
    }
}
#endif

} // namespace
} // namespace fw
