// The file-backed registry's own behaviour: the text itself, damaged files, two
// programs writing at once, and writes that fail. What the settings routines
// read and write on it, as on every store, is in StoreTableTest.
#include "settings/Settings.h"
#include "settings/FileRegistry.h"
#include "settings/UsefulUtils.h"
#include "tests/settings/TestHelpers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/file.h>
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

std::string Utf16Le(const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

// What the Windows registry editor exports: UTF-16 with a byte-order mark and
// CRLF. Read as it is; the next save writes the usual UTF-8 form.
TEST_F(SettingsFile, AUtf16ExportIsReadAndSavedAsUtf8) {
    WriteAll(file_, Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                            u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright\\Settings]\r\n"
                            u"\"Filename\"=\"/home/j\u00fcrgen/\U0001D11E \u20ac.sx\"\r\n"
                            u"\"COM Port\"=\"3\"\r\n"));
    const std::string filename = "/home/j\xC3\xBCrgen/\xF0\x9D\x84\x9E \xE2\x82\xAC.sx";
    EXPECT_EQ(Get(reader_, kFilename), filename);
    EXPECT_EQ(Get(reader_, kComPort), "3");
    EXPECT_FALSE(reader_.Damaged());
    ASSERT_TRUE(Save(writer_, kAddress, "10.0.0.1"));
    EXPECT_FALSE(fs::exists(file_ + ".damaged"));
    EXPECT_EQ(ReadAll(file_).rfind("REGEDIT4\n", 0), 0u);
    EXPECT_EQ(Get(reader_, kFilename), filename);
    EXPECT_EQ(Get(reader_, kComPort), "3");

    // A lone surrogate or an odd last byte is damage; the rest still reads.
    for (const std::string& bad :
         {Utf16Le(u"REGEDIT4\r\n\xD800\r\n[HKEY_LOCAL_MACHINE\\" +
                  std::u16string(kKey.begin(), kKey.end()) + u"]\r\n\"COM Port\"=\"4\"\r\n"),
          Utf16Le(u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\" + std::u16string(kKey.begin(), kKey.end()) +
                  u"]\r\n\"COM Port\"=\"4\"\r\n") +
              "x"}) {
        WriteAll(file_, bad);
        EXPECT_EQ(Get(reader_, kComPort), "4");
        EXPECT_TRUE(reader_.Damaged());
    }
}

// Comment lines stay where they were, whatever the program writes around them.
TEST_F(SettingsFile, CommentLinesKeepTheirPlaceThroughASave) {
    WriteAll(file_, "; kept above the header\r\nREGEDIT4\r\n\r\n"
                    "; the wizard's own settings\r\n"
                    "[HKEY_LOCAL_MACHINE\\" +
                        kKey +
                        "]\r\n"
                        "; the analyser in the lab\r\n"
                        "\"Address\"=\"10.0.0.1\"\r\n"
                        "   ; indented, before the port\r\n"
                        "\"COM Port\"=\"3\"\r\n\r\n"
                        "; at the very end\r\n");
    ASSERT_TRUE(Save(writer_, kComPort, "5"));
    ASSERT_TRUE(Save(writer_, kFilename, "/fw/a.sx"));
    EXPECT_EQ(ReadAll(file_), "; kept above the header\nREGEDIT4\n\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel]\n\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright]\n\n"
                              "; the wizard's own settings\n"
                              "[HKEY_LOCAL_MACHINE\\" +
                                  kKey +
                                  "]\n"
                                  "; the analyser in the lab\n"
                                  "\"Address\"=\"10.0.0.1\"\n"
                                  "   ; indented, before the port\n"
                                  "\"COM Port\"=\"5\"\n"
                                  "\"Filename\"=\"/fw/a.sx\"\n"
                                  "; at the very end\n");
    EXPECT_FALSE(reader_.Damaged());
}

// A settings file that is a symbolic link (relative, absolute, a chain, or one
// whose file does not exist yet) stays one: the file it leads to is replaced,
// in its own folder, and locked there.
TEST_F(SettingsFile, ALinkedFileIsWrittenThroughTheLink) {
    const std::string target = dir_ / "dotfiles/reg/Flashwright.reg";
    const std::string middle = dir_ / "dotfiles/link.reg";
    const std::pair<const char*, std::function<void()>> layouts[] = {
        {"relative", [&] { fs::create_symlink("../dotfiles/reg/Flashwright.reg", file_); }},
        {"absolute", [&] { fs::create_symlink(target, file_); }},
        {"chain",
         [&] {
             fs::create_symlink("reg/Flashwright.reg", middle);
             fs::create_symlink(middle, file_);
         }},
    };
    for (const auto& [name, link] : layouts) {
        SCOPED_TRACE(name);
        fs::remove_all(dir_ / "Tarnvel");
        fs::remove_all(dir_ / "dotfiles");
        fs::create_directories(dir_ / "Tarnvel");
        fs::create_directories(dir_ / "dotfiles/reg");
        link();
        ASSERT_TRUE(Save(writer_, kComPort, "7")); // the linked file does not exist yet
        WriteAll(target, ReadAll(target) + "; mine\n");
        ASSERT_TRUE(Save(writer_, kAddress, "10.0.0.9"));
        EXPECT_TRUE(fs::is_symlink(file_));
        EXPECT_EQ(Get(reader_, kComPort), "7");
        EXPECT_EQ(Get(reader_, kAddress), "10.0.0.9");
        EXPECT_NE(ReadAll(target).find("; mine\n"), std::string::npos);
        EXPECT_TRUE(fs::exists(target + ".lock"));
        EXPECT_FALSE(fs::exists(file_ + ".lock"));
        EXPECT_FALSE(fs::exists(target + ".tmp"));
    }
    // Two copies of the program write at once, one naming the link and the
    // other the file itself: the lock keeps them from losing each other's values.
    const auto writer = [this](const std::string& path, char tag) {
        FileRegistry reg(path);
        for (int i = 0; i < 100; ++i)
            if (!RegWriteString(reg, kPorts, tag + std::to_string(i), "v", HKEY_LOCAL_MACHINE))
                return 1;
        return 0;
    };
    const pid_t a = Spawn([&] { return writer(file_, 'a'); });
    const pid_t b = Spawn([&] { return writer(target, 'b'); });
    EXPECT_EQ(Reap(a), 0);
    EXPECT_EQ(Reap(b), 0);
    EXPECT_EQ(RegListValueData(reader_, kPorts).size(), 2u * 100 * 2); // "v\0" each
    EXPECT_TRUE(fs::is_symlink(file_));
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
    // (An absolute one is followed: every CliE2e test's settings file.)
    ::setenv("HOME", "/home/tester", 1);
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
    EXPECT_NE(ReadAll(file_).find("\"Number\"=dword:0000000a\n@=hex(7):61,00,00\n\"Empty\"=hex:\n"),
              std::string::npos)
        << ReadAll(file_);
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
        if (::access(folder.c_str(), W_OK) == 0)
            return 11;
        if (const int failed = WriteFails(); failed != 0)
            return failed;
        // And says why, as the pages show it.
        return writer_.WriteFailure().rfind(file_ + " is not writable: ", 0) == 0 ? 0 : 4;
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

// Another program keeps the lock (its own open of the lock file): a write gives
// up after the wait instead of hanging. Several changes made as one reach the
// file together or not at all.
TEST_F(FailedWrite, WhileAnotherProgramKeepsTheLock) {
    const std::string before = ReadAll(file_);
    const int holder = ::open((file_ + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    writer_.SetLockWait(std::chrono::milliseconds(100));
    EXPECT_EQ(WriteFails(), 0);
    EXPECT_TRUE(writer_.LockBusy());
    EXPECT_FALSE(writer_.BeginChanges());
    EXPECT_EQ(ReadAll(file_), before);
    ::close(holder);

    ASSERT_TRUE(writer_.BeginChanges());
    EXPECT_FALSE(writer_.LockBusy());
    EXPECT_TRUE(Save(writer_, kFilename, "new"));
    EXPECT_TRUE(Save(writer_, kComPort, "7"));
    EXPECT_EQ(ReadAll(file_), before); // nothing written yet
    EXPECT_EQ(Get(reader_, kFilename), "old");
    ASSERT_TRUE(writer_.EndChanges());
    EXPECT_EQ(Get(reader_, kFilename), "new");
    EXPECT_EQ(Get(reader_, kComPort), "7");
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
    EXPECT_EQ(Get(writer_, "Blob"), "dflt"); // a cut hex list is lost, and only that
    EXPECT_EQ(ReadAll(file_), damaged);      // reading changes nothing
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

const std::string kSettingsLine = "[HKEY_LOCAL_MACHINE\\" + kKey + "]\n";
const std::string kGood = "REGEDIT4\n\n" + kSettingsLine + "\"Address\"=\"10.1.1.1\"\n";
const std::string kOtherLine = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Other]\n";

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
        Damage{"DeepKeys", kGood + DeepKeys(), "10.1.1.1"},
        // A hex list that ends in a backslash with no list on the next line:
        // that line keeps its own meaning (the cut list alone is lost).
        Damage{"CutHexThenAValue",
               "REGEDIT4\n\n" + kSettingsLine + "\"Blob\"=hex:01,02,\\\n\"Address\"=\"10.0.0.2\"\n",
               "10.0.0.2"},
        Damage{"CutHexThenAKeyLine",
               "REGEDIT4\n\n" + kOtherLine + "\"Blob\"=hex:01,\\\n" + kSettingsLine +
                   "\"Address\"=\"10.0.0.2\"\n",
               "10.0.0.2"},
        Damage{"CutHexThenAComment",
               "REGEDIT4\n\n" + kSettingsLine +
                   "\"Blob\"=hex:01,\\\r\n; note\r\n\"Address\"=\"10.0.0.2\"\r\n",
               "10.0.0.2"},
        Damage{"CutHexThenABlankLine",
               "REGEDIT4\n\n" + kSettingsLine + "\"Blob\"=hex:01,\\\n\n\"Address\"=\"10.0.0.2\"\n",
               "10.0.0.2"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace fw
