// Settings a standard user can keep: the machine's key refuses the write, the
// value is kept per user under HKEY_CURRENT_USER and read first. A double of
// the registry that refuses every machine-wide write stands in for Windows
// without administrator rights (Wine grants every write). On Windows also the
// system registry itself: texts in any script, values an ANSI program stored,
// and the 32-bit view.
#include "settings/MemoryRegistry.h"
#include "settings/PerUserFallbackRegistry.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"

#ifdef _WIN32
#include "settings/WinRegistry.h"
#include "tests/support/WinRegistryTools.h"
#endif

#include <gtest/gtest.h>

#include <string>

namespace fw {
namespace {

using namespace std::string_literals;

const std::string kKey = std::string(kSettingsKeyPrefix) + kSection;

// A registry as a standard user meets it: below HKEY_LOCAL_MACHINE nothing
// may be created or written while `denied`.
class StandardUserRegistry : public MemoryRegistry {
public:
    bool denied = true;

    LONG RegCreateKeyA(HKEY key, const std::string& subKey, HKEY* result) override {
        return Machine(key) ? ERROR_ACCESS_DENIED
                            : MemoryRegistry::RegCreateKeyA(key, subKey, result);
    }
    LONG RegSetValueExA(HKEY key, const std::string& valueName, DWORD reserved, DWORD type,
                        const std::uint8_t* data, DWORD cbData) override {
        return Machine(key)
                   ? ERROR_ACCESS_DENIED
                   : MemoryRegistry::RegSetValueExA(key, valueName, reserved, type, data, cbData);
    }
    std::string Stored(HKEY root, const std::string& name) {
        return RegReadString(*this, kKey, name, "none", root);
    }

private:
    bool Machine(HKEY key) const {
        const auto path = PathOf(key);
        return denied && path && path->rfind("HKEY_LOCAL_MACHINE", 0) == 0;
    }
};

TEST(PerUserSettings, ADeniedWriteIsKeptPerUserAndReadFirst) {
    StandardUserRegistry store;
    store.denied = false; // what the setup program stored as administrator
    ASSERT_TRUE(RegWriteString(store, kKey, kComPort, "3", HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(RegWriteString(store, kKey, kFilename, "C:\\fw\\a.sx", HKEY_LOCAL_MACHINE));
    store.denied = true;
    PerUserFallbackRegistry layered(store);
    Settings settings(layered);
    const auto get = [&](const char* name) {
        return settings.GetSettingValue(kSection, name, "dflt");
    };

    ASSERT_TRUE(settings.SaveSettingValue(kSection, kComPort, "5")); // a standard user's choice
    EXPECT_EQ(get(kComPort), "5");
    EXPECT_EQ(get(kFilename), "C:\\fw\\a.sx"); // the machine's, where the user chose nothing
    EXPECT_EQ(get(kAddress), "dflt");
    EXPECT_EQ(store.Stored(HKEY_LOCAL_MACHINE, kComPort), "3");
    EXPECT_EQ(store.Stored(HKEY_CURRENT_USER, kComPort), "5"); // the same layout per user
    EXPECT_EQ(store.Stored(HKEY_CURRENT_USER, kFilename), "none");
    // A listing gives each name once: per user first, then the machine's others.
    EXPECT_EQ(RegListValueData(layered, kKey), "5\0C:\\fw\\a.sx\0"s);

    // A key the machine does not have yet is created per user.
    ASSERT_TRUE(settings.SaveSettingValue("Ports", "Sim", "COM9"));
    EXPECT_EQ(settings.GetSettingValue("Ports", "Sim", "dflt"), "COM9");
    EXPECT_EQ(RegListValueData(layered, std::string(kSettingsKeyPrefix) + "Ports"), "COM9\0"s);

    // An administrator's save goes to the machine and also replaces the
    // per-user value, which would otherwise hide it; names the user never
    // chose stay machine-wide only.
    store.denied = false;
    ASSERT_TRUE(settings.SaveSettingValue(kSection, kComPort, "7"));
    ASSERT_TRUE(settings.SaveSettingValue(kSection, kAddress, "10.0.0.2"));
    EXPECT_EQ(get(kComPort), "7");
    EXPECT_EQ(store.Stored(HKEY_LOCAL_MACHINE, kComPort), "7");
    EXPECT_EQ(store.Stored(HKEY_CURRENT_USER, kComPort), "7");
    EXPECT_EQ(store.Stored(HKEY_CURRENT_USER, kAddress), "none");
    EXPECT_EQ(store.Stored(HKEY_LOCAL_MACHINE, kAddress), "10.0.0.2");
}

TEST(PerUserSettings, WithoutTheUserKeyNothingIsKept) {
    // A user key that cannot be made either: the save fails, as it must be
    // reported, and nothing is half written.
    class NoWrites : public StandardUserRegistry {
    public:
        LONG RegCreateKeyA(HKEY, const std::string&, HKEY*) override { return ERROR_ACCESS_DENIED; }
    } store;
    PerUserFallbackRegistry layered(store);
    EXPECT_FALSE(Settings(layered).SaveSettingValue(kSection, kComPort, "5"));
    EXPECT_EQ(Settings(layered).GetSettingValue(kSection, kComPort, "dflt"), "dflt");
    EXPECT_TRUE(store.Keys().empty());
}

#ifdef _WIN32
class SystemSettings : public ::testing::Test {
protected:
    const std::string key_ = std::string(kSettingsKeyPrefix) + "PerUserTest";
    void SetUp() override { test::DeleteMachineKeyTree(key_); }
    void TearDown() override { test::DeleteMachineKeyTree(key_); }
    std::string Get(const std::string& name) {
        return RegReadString(registry_, key_, name, "dflt", HKEY_LOCAL_MACHINE);
    }
    WinRegistry registry_;
};

TEST_F(SystemSettings, TextsInAnyScriptComeBackAsWritten) {
    for (const std::string text :
         {"Z:\\tmp\\Pr\u00fcfstand S\u00e4ule\\image.sx",
          "Z:\\tmp\\Pr\u00fcfstand \u03a9 firmware\\image.sx", "\u5206\u6790\u5668 \U0001F527"}) {
        ASSERT_TRUE(RegWriteString(registry_, key_, kFilename, text, HKEY_LOCAL_MACHINE));
        EXPECT_EQ(Get(kFilename), text);
        ASSERT_TRUE(RegWriteString(registry_, key_, text, "named", HKEY_LOCAL_MACHINE));
        EXPECT_EQ(Get(text), "named");
    }
}

// A 32-bit program built without Unicode stored the value with the ANSI call,
// in the 32-bit view: it reads as that program meant it, in UTF-8.
TEST_F(SystemSettings, AValueAnAnsiProgramStoredReadsAsMeant) {
    const std::wstring meant = L"C:\\Pr\u00fcfstand S\u00e4ule\\image.sx";
    const std::optional<std::string> ansi = test::InAnsiCodePage(meant);
    if (!ansi)
        GTEST_SKIP() << "the ANSI code page has no \u00fc";
    ASSERT_NE(*ansi, "C:\\Pr\u00fcfstand S\u00e4ule\\image.sx") << "the code page is not UTF-8";
    ASSERT_TRUE(test::SetAnsiMachineValue(key_, kFilename, *ansi));
    EXPECT_EQ(Get(kFilename), "C:\\Pr\u00fcfstand S\u00e4ule\\image.sx");
}
#endif

} // namespace
} // namespace fw
