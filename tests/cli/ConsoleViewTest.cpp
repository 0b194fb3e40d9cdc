// The command line's progress view and option readers, without a process.
#include "cli/ConsoleView.h"
#include "cli/Analysers.h"
#include "cli/FlashOptions.h"
#include "settings/MemoryRegistry.h"
#include "settings/UsefulUtils.h"
#include "tests/link_devices/DeviceFixtures.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fw::cli {
namespace {

// A FILE* whose contents the test can read.
class Captured {
public:
    Captured() : file_(::open_memstream(&buffer_, &size_)) {}
    ~Captured() {
        std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* File() { return file_; }
    std::string Text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

// The engine's calls during an upload of 100 records: they go out in 0.5 s
// with half of them confirmed, the rest are confirmed over the next 0.5 s; the
// view reads the figures and the clock the test keeps (and the view may read
// them after the upload, so they outlive it).
void Upload(ConsoleView& view) {
    static UploadCount figures;
    static ConsoleView::Clock::time_point now;
    figures = {0, 0, 100, 4000};
    now = {};
    view.SetClock([] { return now; });
    view.SetFigures([] { return figures; });
    view.SetCaption(StatusLabel::Connection, "OK");
    view.SetCaption(StatusLabel::Bootloader, "Waiting for Reboot");
    view.SetCaption(StatusLabel::Bootloader, "Waiting for Reboot.");
    view.SetCaption(StatusLabel::Bootloader, "Waiting for Reboot..");
    view.SetCaption(StatusLabel::Bootloader, "OK");
    view.SetCaption(StatusLabel::Erase, "Erasing");
    view.SetCaption(StatusLabel::Erase, "Erasing....");
    view.SetCaption(StatusLabel::Erase, "OK");
    view.SetCaption(StatusLabel::EraseEEPROM, "SKIPPED");
    view.SetBarVisible(ProgressBar::Bar1, true);
    view.SetBarVisible(ProgressBar::Bar2, true);
    for (int i = 1; i <= 100; ++i) {
        now += std::chrono::milliseconds(5);
        figures.sent = i;
        figures.confirmed = i / 2;
        view.SetBarWidth(ProgressBar::Bar1, kFullBarTwips * i / 100);
        view.SetBarWidth(ProgressBar::Bar2, kFullBarTwips * (i / 2) / 100);
    }
    view.SetCaption(StatusLabel::Upload, "OK");
    view.SetBarVisible(ProgressBar::Bar1, false);
    for (int i = 51; i <= 100; ++i) {
        now += std::chrono::milliseconds(10);
        figures.confirmed = i;
        view.Tick();
    }
    view.SetBarVisible(ProgressBar::Bar2, false);
    view.SetCaption(StatusLabel::Verify, "OK");
}

TEST(ConsoleView, PlainLinesOnePerChangeOfARow) {
    Captured out;
    ConsoleView view(out.File(), false);
    Upload(view);
    std::string expected = "Connect to Analyser: OK\n"
                           "Enter Bootloader: Waiting for Reboot...\n"
                           "Enter Bootloader: OK\n"
                           "Erase Flash ROM: Erasing...\n"
                           "Erase Flash ROM: OK\n"
                           "Erase EEPROM: SKIPPED\n"
                           "Upload Firmware: sending 100 records (4000 bytes)\n";
    for (int p = 10; p <= 100; p += 10) {
        expected += "Upload Firmware: " + std::to_string(p) + "% sent (" + std::to_string(p) +
                    "/100 records, " + std::to_string(p / 2) + " confirmed)\n";
    }
    expected += "Upload Firmware: OK\n";
    for (int p = 50; p <= 100; p += 10) {
        expected += "Verify Upload: " + std::to_string(p) + "% confirmed (" + std::to_string(p) +
                    "/100 records)\n";
    }
    expected += "Verify Upload: OK (100 records, 4000 bytes in 1.0 s, 4.0 kB/s)\n";
    EXPECT_EQ(out.Text(), expected);
}

// What a terminal shows: every text drawn after "\r\033[K", up to the next
// carriage return or line feed.
std::vector<std::string> LiveTexts(const std::string& text) {
    std::vector<std::string> texts;
    for (std::size_t at = text.find("\r\033[K"); at != std::string::npos;) {
        at += 4;
        const std::size_t end = text.find_first_of("\r\n", at);
        texts.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? end : text.find("\r\033[K", end);
    }
    return texts;
}

// On a terminal each row's line is rewritten in place, and every live text
// fits the width; once a row moves on its line stays, in its last state.
TEST(ConsoleView, LiveLinesFitTheTerminal) {
    struct WidthCase {
        int columns;
        const char* shows; // a line drawn at that width
    };
    // At 0.3 s: 60 sent, 30 confirmed, 4.0 kB/s, 0:01 left.
    const WidthCase cases[] = {
        {20, "Upload Firmware: 60"},
        {40, "Upload Firmware: [###>>>>.....] 60/100"},
        {60, "Upload Firmware: [####>>>>>......] 60/100 sent, 0:01 left"},
        {120, "Upload Firmware: [#######>>>>>>>..........] 60/100 sent, 30 confirmed, 4.0 kB/s, "
              "0:01 left"},
    };
    for (const WidthCase& c : cases) {
        Captured out;
        ConsoleView view(out.File(), true);
        view.SetColumns(c.columns);
        Upload(view);
        view.SetCaption(StatusLabel::RUN, "Waiting for the analyser's answer to RUNANYWAY");
        view.BreakLine();
        const std::string all = out.Text();
        const std::vector<std::string> texts = LiveTexts(all);
        ASSERT_GT(texts.size(), 10u);
        for (const std::string& text : texts) {
            EXPECT_LT(text.size(), static_cast<std::size_t>(c.columns))
                << c.columns << ": " << text;
        }
        EXPECT_NE(std::find(texts.begin(), texts.end(), c.shows), texts.end())
            << c.columns << ": " << all;
        if (c.columns < 120) {
            continue;
        }
        for (const char* finished :
             {"\r\033[KEnter Bootloader: Waiting for Reboot..\r\033[KEnter Bootloader: OK\n",
              "\r\033[KUpload Firmware: OK\n\r\033[KVerify Upload: [############>>>>>>>>>>>>] "
              "50/100 confirmed",
              "\r\033[KVerify Upload: OK (100 records, 4000 bytes in 1.0 s, 4.0 kB/s)\n"}) {
            EXPECT_NE(all.find(finished), std::string::npos) << all;
        }
        // Redrawn at most every 100 ms: about 12 bar lines for 1 s, not 150.
        const auto bars = std::count_if(texts.begin(), texts.end(), [](const std::string& t) {
            return t.find("] ") != std::string::npos;
        });
        EXPECT_LE(bars, 16);
        EXPECT_GE(bars, 8);
    }
}

// A pseudo-terminal stands in for the user's: its size, then a change of it
// while a line is live.
TEST(ConsoleView, FollowsTheTerminalsWidth) {
    const test::Pty pty;
    const int slave = pty.keep;
    const auto resize = [&pty](unsigned short columns) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        return ::ioctl(pty.master, TIOCSWINSZ, &size) == 0;
    };
    ASSERT_TRUE(resize(30));
    ::unsetenv("COLUMNS");
    EXPECT_EQ(TerminalColumns(slave), 30);
    EXPECT_EQ(TerminalColumns(-1), 0);
    ::setenv("COLUMNS", "abc", 1);
    EXPECT_EQ(TerminalColumns(slave), 30);
    ::setenv("COLUMNS", "100", 1);
    EXPECT_EQ(TerminalColumns(slave), 100);
    ::unsetenv("COLUMNS");

    Captured out;
    {
        ConsoleView view(out.File(), true);
        view.FollowTerminalWidth(slave);
        view.SetCaption(StatusLabel::Bootloader, "Waiting for Reboot");
        ASSERT_TRUE(resize(15));
        ::raise(SIGWINCH);
        for (int i = 0; i < 100 && LiveTexts(out.Text()).size() < 2; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
    }
    EXPECT_EQ(LiveTexts(out.Text()),
              (std::vector<std::string>{"Enter Bootloader: Waiting for", "Enter Bootload"}));
}

TEST(ConsoleView, BoxEndsTheLiveLineAndTakesOneLine) {
    Captured out;
    ConsoleView view(out.File(), true);
    ConsoleMessageBox box(out.File(), &view);
    view.SetCaption(StatusLabel::Connection, "OK");
    box.Show("The connection to the analyser was lost.\n\nCOM7 (/dev/pts/3)", MsgIcon::Critical,
             "Flashwright");
    EXPECT_EQ(out.Text(), "\r\033[KConnect to Analyser: OK\nFlashwright: The connection to the "
                          "analyser was lost. COM7 (/dev/pts/3)\n");
}

TEST(FlashOptions, Readers) {
    for (const auto& [text, port] : {std::pair{"7", 7}, {"255", 255}, {"COM7", 7}, {"com255", 255}})
        EXPECT_EQ(ParsePort(text), port) << text;
    for (const char* text : {"0", "256", "COM", "COM-1", "7x", "", "ttyS0"})
        EXPECT_EQ(ParsePort(text), std::nullopt) << text;
    EXPECT_EQ(ParsePortDevice("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(ParsePortDevice("/dev//serial/by-id/./usb-A1"), "/dev/serial/by-id/usb-A1");
    for (const char* text : {"dev/ttyUSB0", "./ttyUSB0", "", "/dev/", "/"})
        EXPECT_EQ(ParsePortDevice(text), std::nullopt) << text;

    std::string bad;
    EXPECT_EQ(ParseOperations("bootloader,erase-flash,upload,run"),
              (OperationSet{true, true, false, false, true, true}));
    EXPECT_EQ(ParseOperations(" run , erase-ram"),
              (OperationSet{false, false, false, true, false, true}));
    EXPECT_EQ(ParseOperations(""), OperationSet{});
    EXPECT_EQ(ParseOperations("upload,,run", &bad), std::nullopt);
    EXPECT_EQ(bad, "");
    EXPECT_EQ(ParseOperations("upload,Run", &bad), std::nullopt);
    EXPECT_EQ(bad, "Run");

    EXPECT_EQ(ParseSha256(std::string(32, 'A') + std::string(32, '0')),
              std::string(32, 'a') + std::string(32, '0'));
    for (const std::string& digest :
         {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g", std::string()}) {
        EXPECT_EQ(ParseSha256(digest), std::nullopt) << digest;
    }
    EXPECT_EQ(ParseJobs("2"), 2);
    for (const char* jobs : {"0", "-1", "2.5", "", "x"}) {
        EXPECT_EQ(ParseJobs(jobs), std::nullopt) << jobs;
    }
    EXPECT_EQ(ParseType("usb"), "USB");
    EXPECT_EQ(ParseType("tcp/ip"), std::nullopt);
    EXPECT_EQ(ParseTimeout("2.5"), 2.5);
    for (const char* t : {"0", "-1", "nan", "inf", "1e9", "5s", ""}) {
        EXPECT_EQ(ParseTimeout(t), std::nullopt) << t;
    }
}

// An --analysers file: the analysers in order, each by its name and what it
// names; or the first bad line by its number.
TEST(FlashOptions, AnalysersFile) {
    struct FileCase {
        const char* text;
        std::vector<std::string> names; // "NAME=TYPE:WHAT"
        const char* error;              // "": read
    };
    const auto shown = [](const Analyser& a) {
        return a.name + "=" + TypeCode(a.type) + ":" +
               (a.port         ? std::to_string(*a.port)
                : a.portDevice ? *a.portDevice
                               : a.usbSerial + a.address);
    };
    // clang-format off
    const FileCase cases[] = {
        {"COM7\n7\n/dev/ttyUSB3\nusb:A1B2C3\n127.0.0.1:4001\nrfc2217://[::1]:4002\n",
         {"COM7=COM:7", "COM7=COM:7", "/dev/ttyUSB3=COM:/dev/ttyUSB3", "usb:A1B2C3=USB:A1B2C3",
          "127.0.0.1:4001=TCP:127.0.0.1:4001", "rfc2217://[::1]:4002=TCP:rfc2217://[::1]:4002"}, ""},
        {"# bench 3\n\n  com9  # left rack\r\n\t\n/dev/serial/by-id/usb-A#1\n",
         {"COM9=COM:9", "/dev/serial/by-id/usb-A#1=COM:/dev/serial/by-id/usb-A#1"}, ""},
        // Colons in a device path make no HOST:PORT of it.
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n",
         {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0="
          "COM:/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"}, ""},
        {"COM7\r\n127.0.0.1:4001\r\n", {"COM7=COM:7", "127.0.0.1:4001=TCP:127.0.0.1:4001"}, ""},
        {"COM7\n\nCOM256\n", {}, "list:3: \"COM256\" is no analyser"},
        {"COM7\nttyUSB0\n", {}, "list:2: \"ttyUSB0\""},
        {"192.168.0.1\n", {}, "list:1: "},  // a device server needs its port
        {"usb:\n", {}, "list:1: "},
        {"usb:A B\n", {}, "list:1: "},
        {"ftp://host:21\n", {}, "list:1: "},
        {"# nothing\n\n", {}, "list names no analyser"},
        // An editor's byte-order mark is no part of the first name.
        {"\xEF\xBB\xBF" "127.0.0.1:1\n", {"127.0.0.1:1=TCP:127.0.0.1:1"}, ""},
        // What is shown back of a bad line cannot repaint the terminal, and is cut.
        {"[::1%\x1B[31m]:1\n", {}, "list:1: \"[::1%\\x1B[31m]:1\" is no analyser"},
        {"COM7\x9B\n", {}, "list:1: \"COM7\\x9B\""},
        {"x\x01:1\n", {}, "list:1: \"x\\x01:1\""},
    };
    // clang-format on
    for (const FileCase& c : cases) {
        const AnalysersFile file = ParseAnalysersText(c.text, "list");
        std::vector<std::string> names;
        std::transform(file.analysers.begin(), file.analysers.end(), std::back_inserter(names),
                       shown);
        EXPECT_EQ(names, c.names) << c.text;
        if (c.error[0] == '\0') {
            EXPECT_EQ(file.error, "") << c.text;
        } else {
            EXPECT_EQ(file.error.rfind(c.error, 0), 0u) << c.text << " -> " << file.error;
        }
    }
    const std::string longLine(5'000'000, 'x');
    const AnalysersFile junk = ParseAnalysersText("COM7\n" + longLine + ":1\n", "list");
    EXPECT_EQ(junk.error.rfind("list:2: a line of 5000002 characters (\"xxx", 0), 0u);
    EXPECT_LT(junk.error.size(), 200u);
    EXPECT_EQ(ParseAnalysersText(std::string(254, 'h') + ":1\n", "list").error.rfind("list:1:", 0),
              0u); // longer than any host name
    // Only a regular file is read, and at once: what else it is, is said.
    const std::string dir = ::testing::TempDir() + "fw_analysers_" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    ::alarm(10); // a read that waits ends this program
    for (const auto& [name, said] : std::vector<std::pair<std::string, std::string>>{
             {"/fifo", " is a FIFO (a named pipe), not a file"},
             {"", " is a folder, not a file"},
             {"/gone", " does not exist"}}) {
        EXPECT_EQ(ReadAnalysersFile(dir + name).error, dir + name + said);
    }
    ::alarm(0);
    std::filesystem::remove_all(dir);
}

// The number a device path runs on: the entry that names it, else the first
// number above the device rules that no entry takes.
TEST(FlashOptions, PortForDevice) {
    struct DeviceCase {
        const char* name;
        std::vector<std::pair<std::string, std::string>> entries; // the Ports key
        const char* device;
        std::optional<int> number;
        bool fresh;
    };
    std::vector<std::pair<std::string, std::string>> full;
    for (int n = kFirstFreePort; n <= kMaxComPort; ++n) {
        full.emplace_back("COM" + std::to_string(n), "/dev/pts/" + std::to_string(n));
    }
    // clang-format off
    const DeviceCase cases[] = {
        {"none registered", {}, "/dev/ttyUSB0", 97, true},
        {"next free", {{"COM97", "/dev/pts/4"}, {"COM98", "/dev/pts/5"}}, "/dev/ttyUSB0", 99, true},
        {"gap", {{"COM97", "/dev/pts/4"}, {"COM99", "/dev/pts/5"}}, "/dev/pts/9", 98, true},
        {"its entry", {{"COM12", "/dev/serial/by-id/usb-A1"}}, "/dev/serial/by-id/usb-A1", 12, false},
        {"relative entry", {{"COM5", "ttyUSB3"}}, "/nonexistent/ttyUSB3", 5, false},
        {"low numbers are no reason", {{"COM1", "/dev/pts/1"}}, "/dev/pts/2", 97, true},
        {"all taken", full, "/dev/ttyUSB0", std::nullopt, false},
        {"all taken but its own", full, "/dev/pts/200", 200, false},
    };
    // clang-format on
    for (const DeviceCase& c : cases) {
        MemoryRegistry registry;
        for (const auto& [name, device] : c.entries) {
            ASSERT_TRUE(RegWriteString(registry, kPortsKeyPath, name, device, HKEY_LOCAL_MACHINE));
        }
        const std::optional<DevicePort> port =
            PortForDevice(ComPortNames(&registry, "/nonexistent", "/nonexistent"), c.device);
        EXPECT_EQ(port ? std::optional<int>(port->number) : std::nullopt, c.number) << c.name;
        EXPECT_EQ(port && port->fresh, c.fresh) << c.name;
    }
}

} // namespace
} // namespace fw::cli
