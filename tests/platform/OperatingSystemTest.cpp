#include "platform/OperatingSystem.h"
#include "settings/MemoryRegistry.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fw {

struct OperatingSystemTestAccess {
    static std::int32_t LoWord(std::int32_t v) { return OperatingSystem::LoWord(v); }
    static OperatingSystem::RegistryValue Query(const OperatingSystem& os, const std::string& path,
                                                VbBool isString) {
        return os.QueryRegistryValue(path, isString);
    }
};

namespace {

// Registry that remembers where it was asked to look, over an in-memory one.
struct RecordingRegistry : MemoryRegistry {
    LONG RegOpenKeyExA(HKEY key, const std::string& subKey, DWORD options, DWORD sam,
                       HKEY* result) override {
        opens.push_back({key, subKey, sam});
        return MemoryRegistry::RegOpenKeyExA(key, subKey, options, sam, result);
    }
    LONG RegCloseKey(HKEY key) override {
        ++closes;
        return MemoryRegistry::RegCloseKey(key);
    }
    struct Open {
        HKEY root;
        std::string keyPath;
        DWORD sam;
    };
    std::vector<Open> opens;
    int closes = 0;
};

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
        conditions.push_back({mask, bit, condition});
        return 1000 + conditions.size(); // a token: Verify must receive the last one
    }
    bool VerifyVersionInfoA(const OsVersionInfoEx& info, DWORD typeMask, ULONGLONG mask) override {
        verified.push_back({info, typeMask, mask});
        return verifyAnswer;
    }
    IRegistry& Registry() override { return registry; }

    struct Condition {
        ULONGLONG maskIn;
        DWORD bit;
        BYTE condition;
    };
    struct Verify {
        OsVersionInfoEx info;
        DWORD typeMask;
        ULONGLONG mask;
    };
    OsVersionInfoEx host;
    std::vector<DWORD> sizesAsked;
    std::vector<Condition> conditions;
    std::vector<Verify> verified;
    bool verifyAnswer = true;
    RecordingRegistry registry;
};

std::shared_ptr<ScriptedFacility> Host(DWORD platformId, DWORD major, DWORD minor, DWORD build,
                                       const std::string& csd = "", WORD spMajor = 0,
                                       WORD spMinor = 0) {
    auto f = std::make_shared<ScriptedFacility>();
    f->host.dwPlatformId = platformId;
    f->host.dwMajorVersion = major;
    f->host.dwMinorVersion = minor;
    f->host.dwBuildNumber = build;
    std::memcpy(f->host.szCSDVersion, csd.data(), std::min(csd.size(), std::size_t{127}));
    f->host.wServicePackMajor = spMajor;
    f->host.wServicePackMinor = spMinor;
    return f;
}

struct Row {
    DWORD platformId, major, minor, build;
    std::int32_t platform;
    const char* name;
    std::int32_t family;
    std::int32_t buildNumber;
    const char* versionString;
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << r.platformId << ":" << r.major << "." << r.minor << "." << r.build;
}

class Classification : public ::testing::TestWithParam<Row> {};

TEST_P(Classification, NameFamilyBuildAndVersionString) {
    const Row& r = GetParam();
    OperatingSystem os(Host(r.platformId, r.major, r.minor, r.build));
    EXPECT_EQ(os.Platform(), r.platform);
    EXPECT_EQ(os.Name(), r.name);
    EXPECT_EQ(os.Family(), r.family);
    EXPECT_EQ(os.BuildNumber(), r.buildNumber);
    EXPECT_EQ(os.VersionString(), r.versionString);
}

// The 9x family packs major and minor into the build number's upper half.
INSTANTIATE_TEST_SUITE_P(
    EveryKind, Classification,
    ::testing::Values(Row{0, 3, 11, 0, 0, "Windows 3.x With Win32s", 0, 0, "3.11.0000"},
                      Row{1, 4, 0, 0x040003B6, 1, "Windows 95", 0, 950, "4.0.0950"},
                      Row{1, 4, 0, 0x04000457, 2, "Windows 95 Release 2", 0, 1111, "4.0.1111"},
                      Row{1, 4, 10, 0x040A07CE, 3, "Windows 98", 0, 1998, "4.10.1998"},
                      Row{1, 4, 10, 0x040A08AE, 4, "Windows 98 Release 2", 0, 2222, "4.10.2222"},
                      Row{1, 4, 90, 0x045A0BB8, 5, "Windows Millenium Edition", 0, 3000,
                          "4.90.3000"},
                      Row{2, 3, 0, 400, 6, "Windows NT 3.0", 1, 400, "3.0.0400"},
                      Row{2, 3, 1, 511, 7, "Windows NT 3.1", 1, 511, "3.1.0511"},
                      Row{2, 3, 5, 807, 8, "Windows NT 3.5", 1, 807, "3.5.0807"},
                      Row{2, 3, 51, 1057, 12, "[Unknown]", 1, 1057, "3.51.1057"},
                      Row{2, 4, 0, 1381, 9, "Windows NT 4.0", 1, 1381, "4.0.1381"},
                      Row{2, 5, 0, 2195, 10, "Windows 2000", 2, 2195, "5.0.2195"},
                      Row{2, 5, 1, 2600, 11, "Windows XP", 3, 2600, "5.1.2600"},
                      Row{2, 5, 2, 3790, 12, "[Unknown]", 3, 3790, "5.2.3790"},
                      // Five-digit builds keep every digit; the NT family drops the upper half.
                      Row{2, 10, 0, 0x00014A65, 12, "[Unknown]", 0, 19045, "10.0.19045"}));

TEST(OperatingSystem, LoWordIsTheLowHalfReadAsSignedWhateverTheUpperHalf) {
    EXPECT_EQ(OperatingSystemTestAccess::LoWord(0x0000FFFF), -1);
    EXPECT_EQ(OperatingSystemTestAccess::LoWord(0x04008000), -32768);
}

TEST(OperatingSystem, Nt4ServicePackFromTextAndSixAFromHotfixValue) {
    auto sp6 = Host(2, 4, 0, 1381, "  Service Pack 6");
    OperatingSystem plain(sp6);
    EXPECT_EQ(plain.SupportInformation(), "Service Pack 6");
    EXPECT_EQ(plain.ServicePackMajor(), 6);
    EXPECT_EQ(plain.ServicePackMinor(), 0);
    EXPECT_EQ(plain.VersionString(), "4.0.1381 Service Pack 6");

    auto sp6a = Host(2, 4, 0, 1381, "Service Pack 6");
    auto& key = sp6a->registry.CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows "
                                         "NT\\CurrentVersion\\Hotfix\\Q246009");
    MemoryRegistry::StoreValue(key, "Installed", REG_DWORD, {1, 0, 0, 0});
    OperatingSystem hotfixed(sp6a);
    EXPECT_EQ(hotfixed.ServicePackMinor(), 1);
    EXPECT_EQ(hotfixed.VersionString(), "4.0.1381 Service Pack 6a");
    EXPECT_EQ(sp6a->registry.closes, 1);

    OperatingSystem sp3(Host(2, 4, 0, 1381, "Service Pack 3"));
    EXPECT_EQ(sp3.VersionString(), "4.0.1381 Service Pack 3");
}

TEST(OperatingSystem, ExtendedRecordServicePackSuffixes) {
    OperatingSystem none(Host(2, 5, 1, 2600));
    EXPECT_EQ(none.VersionString(), "5.1.2600");
    OperatingSystem minorOnly(Host(2, 5, 0, 2195, "", 0, 1));
    EXPECT_EQ(minorOnly.VersionString(), "5.0.2195 Service Pack 0.1");
    OperatingSystem sp2(Host(2, 5, 1, 2600, "Service Pack 2", 2, 0));
    EXPECT_EQ(sp2.VersionString(), "5.1.2600 Service Pack 2");
    EXPECT_EQ(sp2.IsNT(), kFalse); // XP has its own test
    EXPECT_EQ(sp2.IsXP(), kTrue);
}

TEST(OperatingSystem, WithoutExtendedRecordNoSuitesAndNoVerification) {
    auto f = Host(2, 4, 0, 1381);
    f->host.wSuiteMask = 0x0110;
    f->host.wProductType = 1;
    OperatingSystem os(f);
    EXPECT_EQ(f->sizesAsked, std::vector<DWORD>{148});
    EXPECT_EQ(os.Suites(), -1);
    EXPECT_EQ(os.ProductType(), 0);
    EXPECT_EQ(os.IsVerifySupported(), kFalse);
    EXPECT_EQ(os.IsSuiteInstalled(0x0010, 0), kFalse);
    EXPECT_EQ(os.CompareVersion(4, -1, -1, -1, -1, 1, kTrue), kTrue); // answered from storage
    EXPECT_TRUE(f->verified.empty());
}

TEST(OperatingSystem, ExtendedRecordSuitesAndSuiteTest) {
    auto f = Host(2, 5, 1, 2600);
    f->host.wSuiteMask = 0x8100;
    f->host.wProductType = 3;
    OperatingSystem os(f);
    EXPECT_EQ(f->sizesAsked, (std::vector<DWORD>{148, 156}));
    EXPECT_EQ(os.Suites(), -32512); // sign-extended
    EXPECT_EQ(os.ProductType(), 3);
    EXPECT_EQ(os.IsVerifySupported(), kTrue);

    EXPECT_EQ(os.IsSuiteInstalled(0x0100, 99), kTrue);
    ASSERT_EQ(f->conditions.size(), 1u);
    EXPECT_EQ(f->conditions[0].bit, kVerSuiteName);
    EXPECT_EQ(f->conditions[0].condition, kVerOr);
    ASSERT_EQ(f->verified.size(), 1u);
    EXPECT_EQ(f->verified[0].typeMask, kVerSuiteName);
    EXPECT_EQ(f->verified[0].info.wSuiteMask, 0x0100);
    EXPECT_EQ(f->verified[0].mask, 1001u);

    EXPECT_EQ(os.IsSuiteInstalled(0, 0), kFalse);
    EXPECT_THROW(os.IsSuiteInstalled(32768, 0), std::overflow_error);
    EXPECT_EQ(f->verified.size(), 1u);
}

TEST(CompareVersion, VerificationPathPassesGivenPartsWithTheirConditions) {
    auto f = Host(2, 5, 1, 2600, "", 2, 0);
    OperatingSystem os(f);
    f->verifyAnswer = false;
    EXPECT_EQ(os.CompareVersion(5, 1, -1, 2, 3, 3, kTrue), kFalse);
    ASSERT_EQ(f->conditions.size(), 4u);
    const DWORD bits[] = {kVerMajorVersion, kVerMinorVersion, kVerServicePackMajor,
                          kVerServicePackMinor};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(f->conditions[i].bit, bits[i]);
        EXPECT_EQ(f->conditions[i].condition, 3);
        EXPECT_EQ(f->conditions[i].maskIn, i == 0 ? 0u : 1000 + i); // chained
    }
    ASSERT_EQ(f->verified.size(), 1u);
    EXPECT_EQ(f->verified[0].typeMask, 0x33u);
    EXPECT_EQ(f->verified[0].mask, 1004u);
    EXPECT_EQ(f->verified[0].info.dwMajorVersion, 5u);
    EXPECT_EQ(f->verified[0].info.dwMinorVersion, 1u);
    EXPECT_EQ(f->verified[0].info.dwBuildNumber, 0u);
    EXPECT_EQ(f->verified[0].info.wServicePackMajor, 2);
    EXPECT_EQ(f->verified[0].info.wServicePackMinor, 3);

    f->verifyAnswer = true;
    EXPECT_EQ(os.CompareVersion(-1, -1, 2600, -1, -1, 1, 1), kTrue); // any non-zero asks
    EXPECT_EQ(f->verified.back().typeMask, kVerBuildNumber);

    EXPECT_THROW(os.CompareVersion(5, -1, -1, -1, -1, 256, kTrue), std::overflow_error);
    EXPECT_THROW(os.CompareVersion(-1, -1, -1, 32768, -1, 3, kTrue), std::overflow_error);
    const auto asked = f->verified.size();
    os.CompareVersion(9, 9, 9, 9, 9, 3, kFalse);
    EXPECT_EQ(f->verified.size(), asked);
}

struct FallbackCase {
    std::int32_t major, minor, build, spMajor, spMinor, type;
    VbBool expected;
};

void PrintTo(const FallbackCase& c, std::ostream* os) {
    *os << c.major << "." << c.minor << "." << c.build << " SP " << c.spMajor << "." << c.spMinor
        << " type " << c.type;
}

class Fallback : public ::testing::TestWithParam<FallbackCase> {};

// Running system: 5.1.2600 Service Pack 2.0 (XP, so the service-pack parts count).
TEST_P(Fallback, ComparesMostSignificantPartFirst) {
    const FallbackCase& c = GetParam();
    OperatingSystem os(Host(2, 5, 1, 2600, "", 2, 0));
    EXPECT_EQ(os.CompareVersion(c.major, c.minor, c.build, c.spMajor, c.spMinor, c.type, kFalse),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RunningXpSp2, Fallback,
    ::testing::Values(
        // A higher major decides without the minor.
        FallbackCase{4, 9, -1, -1, -1, 3, kTrue}, FallbackCase{4, 9, -1, -1, -1, 2, kTrue},
        FallbackCase{4, 9, -1, -1, -1, 5, kFalse}, FallbackCase{6, 0, -1, -1, -1, 4, kTrue},
        FallbackCase{6, 0, -1, -1, -1, 3, kFalse},
        // Equal majors hand over to the minor; strict relations need a difference.
        FallbackCase{5, 0, -1, -1, -1, 2, kTrue}, FallbackCase{5, -1, -1, -1, -1, 2, kFalse},
        FallbackCase{5, 1, -1, -1, -1, 1, kTrue}, FallbackCase{5, 2, 100, -1, -1, 4, kTrue},
        FallbackCase{5, 1, 2601, -1, -1, 5, kTrue}, FallbackCase{5, 1, 2600, 2, 0, 1, kTrue},
        FallbackCase{5, 1, 2600, 2, 1, 3, kFalse}, FallbackCase{5, 1, 2600, 1, 9, 2, kTrue},
        FallbackCase{5, 1, -1, -1, 0, 5, kTrue},
        // All parts negative: only the major is compared, against the negative number.
        FallbackCase{-1, -1, -1, -1, -1, 1, kFalse}, FallbackCase{-1, -1, -1, -1, -1, 2, kTrue},
        FallbackCase{-1, -1, -1, -1, -1, 3, kTrue}, FallbackCase{-1, -1, -1, -1, -1, 4, kFalse},
        FallbackCase{-1, -1, -1, -1, -1, 5, kFalse},
        // Not a relation.
        FallbackCase{5, 1, 2600, 2, 0, 0, kFalse}, FallbackCase{5, 1, 2600, 2, 0, 6, kFalse}));

TEST(CompareVersion, FallbackIgnoresServicePacksOutsideNtAndXp) {
    OperatingSystem w98(Host(1, 4, 10, 0x040A07CE));
    EXPECT_EQ(w98.CompareVersion(4, 10, 1998, 5, 5, 1, kTrue), kTrue);
    OperatingSystem w2k(Host(2, 5, 0, 2195));
    EXPECT_EQ(w2k.CompareVersion(5, 0, 2195, 5, -1, 1, kFalse), kFalse);
}

TEST(QueryRegistryValue, RootNamesAndPathSplitting) {
    struct Case {
        const char* path;
        HKEY root;
        const char* keyPath;
        const char* valueName;
    };
    const Case cases[] = {
        {"HKEY_CLASSES_ROOT\\A\\B\\V", HKEY_CLASSES_ROOT, "A\\B", "V"},
        {"HKCR\\A\\V", HKEY_CLASSES_ROOT, "A", "V"},
        {"HKEY_CURRENT_USER\\A\\V", HKEY_CURRENT_USER, "A", "V"},
        {"HKCU\\A\\V", HKEY_CURRENT_USER, "A", "V"},
        {"HKEY_USERS\\A\\V", HKEY_USERS, "A", "V"},
        {" HKEY_LOCAL_MACHINE \\ Soft ware \\V a", HKEY_LOCAL_MACHINE, "Soft ware", "V a"},
        {"HKLM\\V", HKEY_LOCAL_MACHINE, "", "V"},
        {"HKU\\A\\V", HKEY_USERS, "A", "V"},
        {"hklm\\A\\V", HKEY_CURRENT_USER, "A", "V"}, // names are case-sensitive
        {"Elsewhere\\A\\V", HKEY_CURRENT_USER, "A", "V"},
    };
    auto f = Host(2, 5, 1, 2600);
    OperatingSystem os(f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        f->registry.opens.clear();
        EXPECT_FALSE(OperatingSystemTestAccess::Query(os, c.path, kTrue).has_value());
        ASSERT_EQ(f->registry.opens.size(), 1u);
        EXPECT_EQ(f->registry.opens[0].root, c.root);
        EXPECT_EQ(f->registry.opens[0].keyPath, c.keyPath);
        EXPECT_EQ(f->registry.opens[0].sam, KEY_QUERY_VALUE);
    }
    // Without a backslash there is nothing to open.
    f->registry.opens.clear();
    EXPECT_FALSE(OperatingSystemTestAccess::Query(os, "HKLM", kTrue).has_value());
    EXPECT_TRUE(f->registry.opens.empty());
}

TEST(QueryRegistryValue, TextNumberAndEmptyResults) {
    auto f = Host(2, 5, 1, 2600);
    auto& key = f->registry.CreateKey("HKEY_CURRENT_USER\\K");
    const std::string padded("  text  \0junk", 13);
    MemoryRegistry::StoreValue(key, " T", REG_SZ, {padded.begin(), padded.end()});
    MemoryRegistry::StoreValue(key, "E", REG_SZ, {0});
    MemoryRegistry::StoreValue(key, "N", REG_DWORD, {0x2A, 0x01, 0, 0x80});
    MemoryRegistry::StoreValue(key, "Big", REG_SZ, std::vector<std::uint8_t>(1025, 'x'));
    OperatingSystem os(f);
    using Value = std::variant<std::string, std::int32_t>;

    // The value name is taken untrimmed, the key path trimmed.
    EXPECT_EQ(OperatingSystemTestAccess::Query(os, "HKCU\\ K \\ T", kTrue), Value{"text"});
    EXPECT_EQ(OperatingSystemTestAccess::Query(os, "HKCU\\K\\E", kTrue), Value{""});
    EXPECT_EQ(OperatingSystemTestAccess::Query(os, "HKCU\\K\\N", kFalse),
              Value{static_cast<std::int32_t>(0x8000012Au)});
    EXPECT_FALSE(OperatingSystemTestAccess::Query(os, "HKCU\\K\\Big", kTrue).has_value());
    EXPECT_FALSE(OperatingSystemTestAccess::Query(os, "HKCU\\K\\ T", kFalse).has_value());
    EXPECT_FALSE(OperatingSystemTestAccess::Query(os, "HKCU\\K\\Missing", kTrue).has_value());
    EXPECT_FALSE(OperatingSystemTestAccess::Query(os, "HKCU\\NoKey\\T", kTrue).has_value());
    EXPECT_EQ(f->registry.closes, 6); // every opened key closed again
}

TEST(PosixVersionFacility, NamesTheHostWithoutWindows95AndBothComparePathsAgree) {
    MemoryRegistry registry;
    OperatingSystem os(MakePlatformVersionFacility(registry));
    EXPECT_EQ(os.Name().find("Windows 95"), std::string::npos) << os.Name();

    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    EXPECT_EQ(os.MajorVersion(), std::atoi(names.release));
    EXPECT_EQ(os.VersionString().rfind(std::to_string(os.MajorVersion()) + ".", 0), 0u);

    const std::int32_t major = os.MajorVersion(), minor = os.MinorVersion();
    const std::int32_t build = os.BuildNumber();
    for (std::int32_t type = 1; type <= 5; ++type) {
        for (std::int32_t dMajor : {-1, 0, 1}) {
            for (std::int32_t dMinor : {-1, 0, 1}) {
                for (std::int32_t givenBuild : {-1, build}) {
                    const std::int32_t gMajor = major + dMajor, gMinor = minor + dMinor;
                    SCOPED_TRACE(std::to_string(type) + ": " + std::to_string(gMajor) + "." +
                                 std::to_string(gMinor) + "." + std::to_string(givenBuild));
                    EXPECT_EQ(os.CompareVersion(gMajor, gMinor, givenBuild, -1, -1, type, kTrue),
                              os.CompareVersion(gMajor, gMinor, givenBuild, -1, -1, type, kFalse));
                }
            }
        }
    }
}

} // namespace
} // namespace fw
