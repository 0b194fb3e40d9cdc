// The file behind the registry: its text, hand-edited and damaged files, two
// programs writing at once, and writes that fail.
#include "settings/FileRegistry.h"
#include "settings/RegFile.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"
#include "tests/settings/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fw {
namespace {

using namespace std::string_literals;
using test::ReadAll;
using test::WriteAll;
namespace fs = std::filesystem;

const std::string kSettingsPath = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright\\Settings";

std::string Get(IRegistry& reg, const std::string& name, const std::string& fallback = "dflt") {
    return Settings(reg).GetSettingValue(kSection, name, fallback);
}

// Through a registry of its own, as another run of the program would read it.
std::string GetFrom(const std::string& file, const std::string& name) {
    FileRegistry reg(file);
    return Get(reg, name);
}

bool Save(IRegistry& reg, const std::string& name, const std::string& value) {
    return Settings(reg).SaveSettingValue(kSection, name, value);
}

// Runs `body` in a child process; its result is the child's exit status.
template <typename Body> int InChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + status;
}

class FileRegistryTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    const std::string file_ = dir_.File("Flashwright.reg");
};

TEST_F(FileRegistryTest, WritesRegeditTextAndNoTemporaryFile) {
    FileRegistry reg(file_);
    ASSERT_TRUE(Save(reg, "Connction Type", "COM"));
    ASSERT_TRUE(Save(reg, "Filename", "C:\\fw\\a \"b\".sx"));
    HKEY key = 0;
    ASSERT_EQ(reg.RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarnvel\\Logharbor\\Alarm", &key),
              ERROR_SUCCESS);
    const std::uint8_t dword[] = {0x0a, 0, 0, 0};
    const std::uint8_t raw[] = {'a', 'b'};
    std::vector<std::uint8_t> blob(30);
    for (std::size_t i = 0; i < blob.size(); ++i) {
        blob[i] = static_cast<std::uint8_t>(i * 9);
    }
    ASSERT_EQ(reg.RegSetValueExA(key, "Count", 0, REG_DWORD, dword, 4), ERROR_SUCCESS);
    ASSERT_EQ(reg.RegSetValueExA(key, "", 0, 7, raw, 2), ERROR_SUCCESS);
    ASSERT_EQ(reg.RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), 30), ERROR_SUCCESS);
    ASSERT_EQ(reg.RegSetValueExA(key, "Line", 0, REG_SZ, raw, 1), ERROR_SUCCESS);
    reg.RegCloseKey(key);

    EXPECT_EQ(ReadAll(file_), R"(REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE]

[HKEY_LOCAL_MACHINE\SOFTWARE\Tarnvel]

[HKEY_LOCAL_MACHINE\SOFTWARE\Tarnvel\Flashwright]

[HKEY_LOCAL_MACHINE\SOFTWARE\Tarnvel\Flashwright\Settings]
"Connction Type"="COM"
"Filename"="C:\\fw\\a \"b\".sx"

[HKEY_LOCAL_MACHINE\SOFTWARE\Tarnvel\Logharbor]

[HKEY_LOCAL_MACHINE\SOFTWARE\Tarnvel\Logharbor\Alarm]
"Count"=dword:0000000a
@=hex(7):61,62
"Blob"=hex:00,09,12,1b,24,2d,36,3f,48,51,5a,63,6c,75,7e,87,90,99,a2,ab,b4,bd,\
  c6,cf,d8,e1,ea,f3,fc,05
"Line"="a"
)");
    EXPECT_FALSE(fs::exists(file_ + ".tmp"));
    EXPECT_FALSE(fs::exists(file_ + ".damaged"));

    FileRegistry again(file_);
    EXPECT_EQ(Get(again, "Filename"), "C:\\fw\\a \"b\".sx");
    EXPECT_FALSE(again.Damaged());
}

TEST_F(FileRegistryTest, ReadsAHandWrittenFile) {
    WriteAll(file_, "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
                    "; written by hand\r\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\Tarnvel\\Flashwright\\Settings]  \r\n"
                    "\"Connction Type\" = \"USB\"\r\n"
                    "\"Filename\"=\"C:\\fw\\a.sx\"\r\n"
                    "\"COM Port\"=hex(1):37,\\\r\n"
                    "    00\r\n"
                    "\"USB Analyser\"=-\r\n"
                    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright\\Settings]\r\n"
                    "\"Address\"=\"not here\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright\\SETTINGS]\r\n"
                    "@=dword:FFFFFFFF\r\n");
    FileRegistry reg(file_);
    EXPECT_EQ(Get(reg, kConnectionType), "USB");
    EXPECT_EQ(Get(reg, kFilename), "C:\\fw\\a.sx");
    EXPECT_EQ(Get(reg, kComPort), "7");
    EXPECT_EQ(Get(reg, kUsbAnalyser), "dflt");
    EXPECT_EQ(Get(reg, kAddress), "dflt");
    EXPECT_EQ(Get(reg, ""), "\xff\xff\xff");
    EXPECT_FALSE(reg.Damaged());
}

TEST_F(FileRegistryTest, SeesWhatAnotherCopyWrote) {
    FileRegistry a(file_), b(file_);
    ASSERT_TRUE(Save(a, kComPort, "1"));
    EXPECT_EQ(Get(b, kComPort), "1");
    ASSERT_TRUE(Save(a, kComPort, "3"));
    EXPECT_EQ(Get(b, kComPort), "3");
    ASSERT_TRUE(Save(b, kAddress, "10.0.0.2")); // b must not lose a's values
    EXPECT_EQ(GetFrom(file_, kComPort), "3");
}

TEST_F(FileRegistryTest, ReadingCreatesNothingAndWritingCreatesTheDirectories) {
    const std::string deep = dir_.File("a/b/Flashwright.reg");
    FileRegistry reg(deep);
    EXPECT_EQ(Get(reg, kComPort, "1"), "1");
    EXPECT_FALSE(fs::exists(dir_.File("a")));
    ASSERT_TRUE(Save(reg, kComPort, "4"));
    EXPECT_EQ(GetFrom(deep, kComPort), "4");
}

TEST_F(FileRegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kEach = 200;
    auto writer = [this](char tag) {
        return [this, tag] {
            FileRegistry reg(file_);
            for (int i = 0; i < kEach; ++i) {
                if (!RegWriteString(reg, "SOFTWARE\\Tarnvel\\Flashwright\\Ports",
                                    tag + std::to_string(i), "v", HKEY_LOCAL_MACHINE)) {
                    return 1;
                }
            }
            return 0;
        };
    };
    pid_t first = ::fork();
    if (first == 0) {
        ::_exit(writer('a')());
    }
    EXPECT_EQ(InChild(writer('b')), 0);
    int status = -1;
    ::waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    FileRegistry reg(file_);
    const std::string all = RegListValueData(reg, "SOFTWARE\\Tarnvel\\Flashwright\\Ports");
    EXPECT_EQ(all.size(), 2u * kEach * 2);
    for (int i = 0; i < kEach; ++i) {
        for (char tag : {'a', 'b'}) {
            EXPECT_EQ(RegReadString(reg, "SOFTWARE\\Tarnvel\\Flashwright\\Ports",
                                    tag + std::to_string(i), "lost", HKEY_LOCAL_MACHINE),
                      "v");
        }
    }
}

// A failed write returns false, leaves the file as it was, no temporary file
// behind, and the unsaved value is not read back either.
class FailedWrite : public FileRegistryTest {
protected:
    void SetUp() override {
        FileRegistry reg(file_);
        ASSERT_TRUE(Save(reg, kFilename, "old"));
        before_ = ReadAll(file_);
    }
    void ExpectOldFileKept() {
        EXPECT_EQ(ReadAll(file_), before_);
        EXPECT_FALSE(fs::exists(file_ + ".tmp"));
    }
    // Exit status for a child: 0 when the write failed and left the old value.
    static int WriteFails(const std::string& file) {
        FileRegistry reg(file);
        if (Get(reg, kFilename) != "old") {
            return 1;
        }
        if (Save(reg, kFilename, std::string(200, 'n'))) {
            return 2;
        }
        return Get(reg, kFilename) == "old" ? 0 : 3;
    }
    std::string before_;
};

TEST_F(FailedWrite, WhereTheDirectoryIsAFile) {
    WriteAll(dir_.File("plain"), "x");
    FileRegistry reg(dir_.File("plain/Flashwright.reg"));
    EXPECT_FALSE(Save(reg, kFilename, "new"));
    EXPECT_EQ(Get(reg, kFilename), "dflt");
}

TEST_F(FailedWrite, InAReadOnlyDirectory) {
    // The tests may run as root, which writes anywhere: the child gives that up.
    ::chmod(dir_.Path().c_str(), 0755);
    ::chmod(file_.c_str(), 0644);
    ::chmod((file_ + ".lock").c_str(), 0666);
    const int status = InChild([this] {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            return 10;
        }
        if (::access(dir_.Path().c_str(), W_OK) == 0) {
            return 11; // still allowed to write: the test would prove nothing
        }
        return WriteFails(file_);
    });
    if (status == 10 || status == 11) {
        GTEST_SKIP() << "cannot make the directory unwritable here (" << status << ")";
    }
    EXPECT_EQ(status, 0);
    ExpectOldFileKept();
}

TEST_F(FailedWrite, OnAFullDiskAndTheDamagedCopyIsKeptOnce) {
    WriteAll(file_, before_ + "damage\n");
    before_ = ReadAll(file_);
    // A file size limit makes the write fail part way, as a full disk does.
    const std::size_t limit = before_.size() + 50;
    const int status = InChild([this, limit] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{limit, limit};
        return ::setrlimit(RLIMIT_FSIZE, &small) == 0 ? WriteFails(file_) : 10;
    });
    EXPECT_EQ(status, 0);
    ExpectOldFileKept();

    FileRegistry reg(file_);
    ASSERT_TRUE(Save(reg, kFilename, "new"));
    EXPECT_EQ(ReadAll(file_ + ".damaged"), before_);
    EXPECT_FALSE(fs::exists(file_ + ".damaged.1"));
}

struct Damage {
    const char* name;
    std::string text;
    const char* address; // what "Address" reads as afterwards
};

class DamagedFile : public FileRegistryTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedFile, ReadsDefaultsOrTheGoodKeysAndKeepsACopyOnWrite) {
    const std::string damaged = GetParam().text;
    WriteAll(file_, damaged);
    {
        FileRegistry reg(file_);
        EXPECT_EQ(Get(reg, kAddress), GetParam().address);
        EXPECT_EQ(Get(reg, kFilename), "dflt");
        EXPECT_EQ(RegListValueData(reg, "SOFTWARE\\Tarnvel\\Flashwright\\Settings").empty(),
                  GetParam().address == "dflt"s);
        EXPECT_EQ(ReadAll(file_), damaged); // reading changes nothing
        ASSERT_TRUE(Save(reg, kComPort, "5"));
    }
    EXPECT_EQ(ReadAll(file_ + ".damaged"), damaged);
    FileRegistry reg(file_);
    EXPECT_EQ(Get(reg, kComPort), "5");
    EXPECT_EQ(Get(reg, kAddress), GetParam().address);
    EXPECT_FALSE(reg.Damaged());

    // Damaged again: a second copy; the first is kept.
    WriteAll(file_, "\x01");
    ASSERT_TRUE(Save(reg, kComPort, "6"));
    EXPECT_EQ(ReadAll(file_ + ".damaged"), damaged);
    EXPECT_EQ(ReadAll(file_ + ".damaged.1"), "\x01");
}

std::string DeepKeys(int count, int depth) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "[k" + std::to_string(i);
        for (int d = 0; d < depth; ++d) {
            text += "\\a";
        }
        text += "]\n";
    }
    return text;
}

const std::string kGood = "REGEDIT4\n\n[" + kSettingsPath + "]\n\"Address\"=\"10.1.1.1\"\n";

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedFile,
    ::testing::Values(
        Damage{"Garbage", "This is not a registry file.\n[[[\n\"\"\"=\n", "dflt"},
        Damage{"Binary",
               "\x7f"
               "ELF\x02\x01\x01\0\0\0\xff\xfe\n\0\0[\x89",
               "dflt"},
        Damage{"NoHeader", "[" + kSettingsPath + "]\n\"Address\"=\"10.1.1.1\"\n", "10.1.1.1"},
        Damage{"TruncatedKey", kGood + "[HKEY_LOCAL_MACHINE\\SOFT", "10.1.1.1"},
        Damage{"TruncatedHex", kGood + "\"Filename\"=hex(1):41,42,\\\n", "10.1.1.1"},
        // The values below a broken key line cannot be placed: dropped.
        Damage{"BrokenKeyLine",
               kGood + "[" + kSettingsPath + "\n\"Filename\"=\"wrong\"\n\"Address\"=\"9\"\n",
               "10.1.1.1"},
        Damage{"TooLarge", kGood + std::string(FileRegistry::kMaxFileSize, ';'), "dflt"},
        // Every key line creates all the keys on its path: without a limit, this
        // file of 800 kB would take 400 MB.
        Damage{"DeepKeys", kGood + DeepKeys(400, 1000), "10.1.1.1"}),
    [](const auto& info) { return info.param.name; });

TEST(DefaultRegistryFile, FollowsXdgConfigHomeOnlyWhenAbsolute) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const std::string savedXdg = xdg ? xdg : "", savedHome = home ? home : "";

    ::setenv("HOME", "/home/user", 1);
    ::setenv("XDG_CONFIG_HOME", "/etc/xdg/", 1);
    EXPECT_EQ(DefaultRegistryFile(), "/etc/xdg/Tarnvel/Flashwright.reg");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(DefaultRegistryFile(), "/home/user/.config/Tarnvel/Flashwright.reg");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DefaultRegistryFile(), "/home/user/.config/Tarnvel/Flashwright.reg");

    xdg ? ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    home ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

} // namespace
} // namespace fw
