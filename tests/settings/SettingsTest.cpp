// The file-backed registry's own behaviour: the text itself, damaged files, two
// programs writing at once, and writes that fail. What the settings routines
// read and write on it, as on every store, is in StoreTableTest.
#include "settings/Settings.h"
#include "settings/FileRegistry.h"
#include "settings/UsefulUtils.h"
#include "tests/settings/TestHelpers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fw {
namespace {

using namespace std::string_literals;
using namespace test;
namespace fs = std::filesystem;

const std::string kKey = "SOFTWARE\\Tarnvel\\Flashwright\\Settings";
const std::string kPorts = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string Get(IRegistry& reg, const std::string& name) {
    return Settings(reg).GetSettingValue(kSection, name, "dflt");
}

bool Save(IRegistry& reg, const std::string& name, const std::string& value) {
    return Settings(reg).SaveSettingValue(kSection, name, value);
}

void SetRaw(IRegistry& reg, const std::string& key, const std::string& name, DWORD type,
            const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> buffer = data;
    buffer.push_back(0); // the byte behind the counted ones, which a string's store reads
    HKEY handle = 0;
    ASSERT_EQ(reg.RegCreateKeyA(HKEY_LOCAL_MACHINE, key, &handle), ERROR_SUCCESS);
    EXPECT_EQ(reg.RegSetValueExA(handle, name, 0, type, buffer.data(), DWORD(data.size())), 0);
    reg.RegCloseKey(handle);
}

class SettingsFile : public ::testing::Test {
protected:
    TempDir dir_;
    const std::string file_ = dir_ / "Tarnvel/Flashwright.reg"; // the folder comes with it
    FileRegistry writer_{file_}, reader_{file_};                // two copies of the program
};

TEST_F(SettingsFile, AFileWrittenByHandIsReadAndKeptReadable) {
    // Windows export header, a byte-order mark, CRLF, comments, a hex value
    // continued over two lines, an unescaped backslash in a hand-typed path.
    WriteAll(file_, "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
                    "; written by hand\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright\\Settings]\r\n"
                    "\"Connction Type\"=\"USB\"\r\n"
                    "\"Filename\"=\"C:\\fw\\a.sx\"\r\n"
                    "\"Address\"=hex:31,30,2e,\\\r\n  30,2e,30,2e,31,00\r\n");
    EXPECT_EQ(Get(reader_, kConnectionType), "USB");
    EXPECT_EQ(Get(reader_, kFilename), "C:\\fw\\a.sx");
    EXPECT_EQ(Get(reader_, kAddress), "10.0.0.1");
    ASSERT_TRUE(Save(writer_, kComPort, "3"));
    EXPECT_EQ(Get(reader_, kFilename), "C:\\fw\\a.sx"); // a write keeps the rest
    const std::string text = ReadAll(file_);
    EXPECT_EQ(text.rfind("REGEDIT4", 0), 0u) << text;
    EXPECT_NE(text.find("\"Filename\"=\"C:\\\\fw\\\\a.sx\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"COM Port\"=\"3\""), std::string::npos) << text;
}

TEST_F(SettingsFile, TheDefaultFileFollowsXdgConfigHome) {
    // Puts back both variables as they were, set or not.
    struct Env {
        const char* name;
        std::optional<std::string> saved;
        explicit Env(const char* n) : name(n) {
            if (const char* v = std::getenv(n))
                saved = v;
        }
        ~Env() { saved ? ::setenv(name, saved->c_str(), 1) : ::unsetenv(name); }
    } home("HOME"), xdg("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/tester", 1);
    ::setenv("XDG_CONFIG_HOME", "/cfg/home", 1);
    EXPECT_EQ(DefaultRegistryFile(), "/cfg/home/Tarnvel/Flashwright.reg");
    ::setenv("XDG_CONFIG_HOME", "relative", 1); // not absolute: ignored
    EXPECT_EQ(DefaultRegistryFile(), "/home/tester/.config/Tarnvel/Flashwright.reg");
}

// What each store reads back is in StoreTableTest; here the file's own side.
TEST_F(SettingsFile, ReadingCreatesNothingAndValuesKeepTheirForm) {
    EXPECT_EQ(Get(reader_, kAddress), "dflt");
    EXPECT_FALSE(fs::exists(dir_ / "Tarnvel"));
    SetRaw(writer_, kKey, "Number", REG_DWORD, {0x0a, 0, 0, 0});
    SetRaw(writer_, kKey, "", REG_MULTI_SZ, {'a', 0, 0});
    SetRaw(writer_, kKey, "Empty", REG_BINARY, {});
    EXPECT_EQ(Get(reader_, "Number"), "\x0a\0\0"s);
    EXPECT_NE(ReadAll(file_).find("\"Number\"=dword:0000000a\n@=hex(7):61,00,00\n\"Empty\"=hex:\n"),
              std::string::npos)
        << ReadAll(file_);
}

TEST_F(SettingsFile, TwoProcessesWritingAtOnceLoseNothing) {
    const auto writer = [this](char tag) {
        FileRegistry reg(file_);
        for (int i = 0; i < 200; ++i)
            if (!RegWriteString(reg, kPorts, tag + std::to_string(i), "v", HKEY_LOCAL_MACHINE))
                return 1;
        return 0;
    };
    const pid_t a = Spawn([&] { return writer('a'); }), b = Spawn([&] { return writer('b'); });
    EXPECT_EQ(Reap(a), 0);
    EXPECT_EQ(Reap(b), 0);
    EXPECT_EQ(RegListValueData(reader_, kPorts).size(), 2u * 200 * 2); // "v\0" each
}

// A failed write returns false, leaves the old file and no temporary file, and
// the unsaved value is not read back either.
class FailedWrite : public SettingsFile {
protected:
    void SetUp() override { ASSERT_TRUE(Save(writer_, kFilename, "old")); }
    // For a child: 0 when the write failed and the old value stayed.
    int WriteFails() {
        if (Get(writer_, kFilename) != "old")
            return 1;
        if (Save(writer_, kFilename, std::string(200, 'n')))
            return 2;
        return Get(writer_, kFilename) == "old" ? 0 : 3;
    }
};

TEST_F(FailedWrite, InAReadOnlyDirectory) {
    const std::string before = ReadAll(file_);
    // The tests may run as root, which writes anywhere: the child gives that up.
    const std::string folder = fs::path(file_).parent_path();
    ::chmod((dir_ / "").c_str(), 0755);
    ::chmod(folder.c_str(), 0555);
    ::chmod(file_.c_str(), 0644);
    ::chmod((file_ + ".lock").c_str(), 0666);
    const int status = Reap(Spawn([&] {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 10;
        return ::access(folder.c_str(), W_OK) == 0 ? 11 : WriteFails();
    }));
    ::chmod(folder.c_str(), 0755);
    if (status == 10 || status == 11)
        GTEST_SKIP() << "cannot make the directory unwritable here (" << status << ")";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadAll(file_), before);
    EXPECT_FALSE(fs::exists(file_ + ".tmp"));
}

TEST_F(FailedWrite, OnAFullDiskAndTheDamagedCopyIsKeptOnce) {
    WriteAll(file_, ReadAll(file_) + "damage\n");
    const std::string before = ReadAll(file_);
    // A file size limit makes the write fail part way, as a full disk does.
    const rlimit small{before.size() + 50, before.size() + 50};
    EXPECT_EQ(Reap(Spawn([&] {
                  std::signal(SIGXFSZ, SIG_IGN);
                  return ::setrlimit(RLIMIT_FSIZE, &small) == 0 ? WriteFails() : 10;
              })),
              0);
    EXPECT_EQ(ReadAll(file_), before);
    EXPECT_FALSE(fs::exists(file_ + ".tmp"));
    ASSERT_TRUE(Save(writer_, kFilename, "new"));
    EXPECT_EQ(ReadAll(file_ + ".damaged"), before);
    EXPECT_FALSE(fs::exists(file_ + ".damaged.1"));
}

// Name, file text, and what "Address" reads as in it.
struct Damage {
    const char* name;
    std::string content;
    const char* address; // what the Address setting then reads
};

class DamagedFile : public SettingsFile, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedFile, ReadsDefaultsOrTheGoodKeysAndKeepsACopyOnWrite) {
    const auto& [name, damaged, address] = GetParam();
    WriteAll(file_, damaged);
    EXPECT_EQ(Get(writer_, kAddress), address);
    EXPECT_EQ(ReadAll(file_), damaged); // reading changes nothing
    ASSERT_TRUE(Save(writer_, kComPort, "5"));
    EXPECT_EQ(ReadAll(file_ + ".damaged"), damaged);
    EXPECT_EQ(Get(reader_, kComPort), "5");
    EXPECT_EQ(Get(reader_, kAddress), address);
    // Damaged again: a second copy; the first is kept.
    WriteAll(file_, "\x01");
    ASSERT_TRUE(Save(writer_, kComPort, "6"));
    EXPECT_EQ(ReadAll(file_ + ".damaged"), damaged);
    EXPECT_EQ(ReadAll(file_ + ".damaged.1"), "\x01");
}

const std::string kGood =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + kKey + "]\n\"Address\"=\"10.1.1.1\"\n";

// Every key line creates all the keys on its path: without a limit, this file
// of 800 kB would take 400 MB.
std::string DeepKeys() {
    std::string path, text;
    for (int d = 0; d < 1000; ++d)
        path += "\\a";
    for (int i = 0; i < 400; ++i)
        text += "[k" + std::to_string(i) + path + "]\n";
    return text;
}

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Damage& damage, std::ostream* os) {
    *os << damage.name;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedFile,
    ::testing::Values(
        Damage{"Binary", "\177ELF\x02\x01\x01\0\0\0\xff\xfe\n\0\0[\x89"s, "dflt"},
        Damage{"NoHeader", kGood.substr(kGood.find('[')), "10.1.1.1"},
        // The values below a broken key line cannot be placed: dropped.
        Damage{"BrokenKeyLine", kGood + "[HKEY_LOCAL_MACHINE\\" + kKey + "\n\"Address\"=\"9\"\n",
               "10.1.1.1"},
        Damage{"TooLarge", kGood + std::string(FileRegistry::kMaxFileSize, ';'), "dflt"},
        Damage{"DeepKeys", kGood + DeepKeys(), "10.1.1.1"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace fw
