// The settings routines over both registries: the in-memory one, and the file,
// where a second instance reads what the first wrote so that every value goes
// through the text format.
#include "settings/FileRegistry.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"
#include "tests/settings/TempDir.h"

#include <gtest/gtest.h>

#include <memory>

namespace fw {
namespace {

using namespace std::string_literals;

const std::string kKey = "SOFTWARE\\Tarnvel\\Flashwright\\Settings";
const std::string kPorts = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

class SettingsStore : public ::testing::TestWithParam<bool> {
protected:
    SettingsStore() {
        if (GetParam()) {
            writer_ = std::make_unique<FileRegistry>(dir_.File("Flashwright.reg"));
            reader_ = std::make_unique<FileRegistry>(dir_.File("Flashwright.reg"));
        } else {
            writer_ = std::make_unique<MemoryRegistry>();
        }
    }
    IRegistry& Reader() { return reader_ ? *reader_ : *writer_; }
    bool Save(const std::string& name, const std::string& value) {
        return Settings(*writer_).SaveSettingValue(kSection, name, value);
    }
    std::string Get(const std::string& name, const std::string& fallback) {
        return Settings(Reader()).GetSettingValue(kSection, name, fallback);
    }
    void SetRaw(const std::string& key, const std::string& name, DWORD type,
                const std::vector<std::uint8_t>& data) {
        HKEY handle = 0;
        ASSERT_EQ(writer_->RegCreateKeyA(HKEY_LOCAL_MACHINE, key, &handle), ERROR_SUCCESS);
        ASSERT_EQ(writer_->RegSetValueExA(handle, name, 0, type, data.data(),
                                          static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        writer_->RegCloseKey(handle);
    }

    test::TempDir dir_;
    std::unique_ptr<MemoryRegistry> writer_;
    std::unique_ptr<MemoryRegistry> reader_;
};

TEST_P(SettingsStore, MissingKeyOrValueGivesTheDefaults) {
    EXPECT_EQ(Get(kConnectionType, "COM"), "COM");
    EXPECT_EQ(Get(kComPort, "1"), "1");
    EXPECT_EQ(Get(kUsbAnalyser, ""), "");
    EXPECT_EQ(Get(kAddress, "192.168.0.1"), "192.168.0.1");
    EXPECT_EQ(Get(kFilename, ""), "");
    EXPECT_EQ(RegListValueData(Reader(), kKey), "");

    ASSERT_TRUE(Save(kComPort, "3"));
    EXPECT_EQ(Get(kComPort, "1"), "3");
    EXPECT_EQ(Get(kAddress, "192.168.0.1"), "192.168.0.1");
}

TEST_P(SettingsStore, EmptyTextIsNotTheDefaultAndLongTextsAreTheDefault) {
    ASSERT_TRUE(Save(kAddress, ""));
    EXPECT_EQ(Get(kAddress, "192.168.0.1"), "");

    ASSERT_TRUE(Save(kFilename, std::string(253, 'x')));
    EXPECT_EQ(Get(kFilename, "dflt"), std::string(253, 'x'));
    ASSERT_TRUE(Save(kFilename, std::string(254, 'y')));
    EXPECT_EQ(Get(kFilename, "dflt"), "dflt");
}

TEST_P(SettingsStore, TextsComeBackExactly) {
    std::string ascii;
    for (int c = 1; c < 128; ++c) {
        ascii += static_cast<char>(c);
    }
    for (const std::string& text :
         {ascii, "C:\\fw\\a \"b\".sx"s, "\\\\server\\share\\"s, "a\0b"s, "ab\0"s, "\0"s}) {
        ASSERT_TRUE(Save(kFilename, text));
        EXPECT_EQ(Get(kFilename, "dflt"), text);
    }
}

TEST_P(SettingsStore, NamesIgnoreCaseButNotSpelling) {
    ASSERT_TRUE(Save("Connction Type", "USB"));
    ASSERT_TRUE(Save("connction type", "TCP"));
    EXPECT_EQ(Get("CONNCTION TYPE", "COM"), "TCP");
    EXPECT_EQ(Get("Connection Type", "COM"), "COM");
    EXPECT_EQ(Get("ConnctionType", "COM"), "COM");

    HKEY key = 0;
    ASSERT_EQ(
        Reader().RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\TARNVEL\\flashwright\\settings", &key),
        ERROR_SUCCESS);
    char name[256] = {};
    DWORD length = sizeof name;
    ASSERT_EQ(Reader().RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, length), "Connction Type"); // the first spelling stays
    Reader().RegCloseKey(key);
}

TEST_P(SettingsStore, OtherValueTypesReadAsTheirBytesLessTheLast) {
    SetRaw(kKey, "Number", REG_DWORD, {0x0a, 0, 0, 0});
    SetRaw(kKey, "Blob", REG_BINARY, {'a', 'b', 'c'});
    SetRaw(kKey, "Empty", REG_BINARY, {});
    EXPECT_EQ(Get("Number", "dflt"), "\x0a\0\0"s);
    EXPECT_EQ(Get("Blob", "dflt"), "ab");
    EXPECT_EQ(Get("Empty", "dflt"), "");
}

TEST_P(SettingsStore, ListingJoinsDataUntilAValueDoesNotFit) {
    HKEY key = 0;
    ASSERT_EQ(writer_->RegCreateKeyA(HKEY_LOCAL_MACHINE, kPorts, &key), ERROR_SUCCESS);
    writer_->RegCloseKey(key);
    EXPECT_EQ(RegListValueData(Reader(), kPorts), ""); // a key without values

    ASSERT_TRUE(RegWriteString(*writer_, kPorts, "\\Device\\Serial0", "COM1", HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(RegWriteString(*writer_, kPorts, "\\Device\\Serial1", "COM3", HKEY_LOCAL_MACHINE));
    EXPECT_EQ(RegListValueData(Reader(), kPorts), "COM1\0COM3\0"s);

    SetRaw(kPorts, "Full", REG_BINARY, std::vector<std::uint8_t>(2000, 'x'));
    SetRaw(kPorts, std::string(254, 'n'), REG_SZ, {'A', 0});
    const std::string expected = "COM1\0COM3\0"s + std::string(2000, 'x') + "A\0"s;
    EXPECT_EQ(RegListValueData(Reader(), kPorts), expected);

    // Data of 2001 bytes, or a name of 255 characters, ends the listing there.
    SetRaw(kPorts, "Over", REG_BINARY, std::vector<std::uint8_t>(2001, 'y'));
    SetRaw(kPorts, "After", REG_SZ, {'B', 0});
    EXPECT_EQ(RegListValueData(Reader(), kPorts), expected);
    SetRaw(kPorts, "Over", REG_SZ, {'C', 0});
    SetRaw(kPorts, std::string(255, 'm'), REG_SZ, {'D', 0});
    EXPECT_EQ(RegListValueData(Reader(), kPorts), expected + "C\0B\0"s);
}

INSTANTIATE_TEST_SUITE_P(Registries, SettingsStore, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

} // namespace
} // namespace fw
