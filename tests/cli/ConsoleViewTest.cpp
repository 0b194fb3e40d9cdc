// The command line's progress view and option readers, without a process.
#include "cli/ConsoleView.h"
#include "cli/FlashOptions.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

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
// with half of them confirmed, the rest are confirmed over the next 0.5 s.
void Upload(ConsoleView& view, UploadFigures& figures, ConsoleView::Clock::time_point& now) {
    figures = {0, 0, 100, 4000};
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
    ConsoleView view(out.File(), false, nullptr);
    UploadFigures figures;
    ConsoleView::Clock::time_point now{};
    view.SetClock([&now] { return now; });
    view.SetFigures([&figures] { return figures; });
    Upload(view, figures, now);
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

TEST(ConsoleView, TerminalRewritesOneLineAStep) {
    Captured out;
    ConsoleView view(out.File(), true, nullptr);
    UploadFigures figures;
    ConsoleView::Clock::time_point now{};
    view.SetClock([&now] { return now; });
    view.SetFigures([&figures] { return figures; });
    Upload(view, figures, now);
    view.BreakLine();
    const std::string text = out.Text();
    // One finished line per row shown, each ending in its last state.
    EXPECT_NE(text.find("\r\033[KEnter Bootloader: Waiting for Reboot..\r\033[KEnter Bootloader: "
                        "OK\n"),
              std::string::npos)
        << text;
    // At 0.3 s: 60 sent, 30 confirmed, 1.2 kB confirmed in 0.3 s, 0.7 s to go.
    EXPECT_NE(text.find("\r\033[KUpload Firmware: [#######>>>>>>>..........] 60/100 sent, 30 "
                        "confirmed, 4.0 kB/s, 0:01 left"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\033[KUpload Firmware: OK\n\r\033[KVerify Upload: "
                        "[############>>>>>>>>>>>>] 50/100 confirmed"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\033[KVerify Upload: OK (100 records, 4000 bytes in 1.0 s, 4.0 "
                        "kB/s)\n"),
              std::string::npos)
        << text;
    // Redrawn at most every 100 ms: about 12 bar lines for 1 s, not 150.
    std::size_t bars = 0;
    for (std::size_t at = text.find("] "); at != std::string::npos; at = text.find("] ", at + 1))
        ++bars;
    EXPECT_LE(bars, 16u);
    EXPECT_GE(bars, 8u);
}

TEST(ConsoleView, BoxEndsTheLiveLineAndTakesOneLine) {
    Captured out;
    ConsoleView view(out.File(), true, nullptr);
    ConsoleMessageBox box(out.File(), &view);
    view.SetCaption(StatusLabel::Connection, "OK");
    box.Show("The connection to the analyser was lost.\n\nCOM7 (/dev/pts/3)", MsgIcon::Critical,
             "Flashwright");
    EXPECT_EQ(out.Text(), "\r\033[KConnect to Analyser: OK\nFlashwright: The connection to the "
                          "analyser was lost. COM7 (/dev/pts/3)\n");
}

TEST(FlashOptions, Readers) {
    struct PortCase {
        const char* text;
        std::optional<int> port;
    };
    for (const PortCase& c : std::initializer_list<PortCase>{{"7", 7},
                                                             {"COM7", 7},
                                                             {"com255", 255},
                                                             {"0", std::nullopt},
                                                             {"256", std::nullopt},
                                                             {"COM", std::nullopt},
                                                             {"COM-1", std::nullopt},
                                                             {"7x", std::nullopt},
                                                             {"", std::nullopt},
                                                             {"ttyS0", std::nullopt}}) {
        EXPECT_EQ(ParsePort(c.text), c.port) << c.text;
    }

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

    EXPECT_EQ(ParseType("usb"), "USB");
    EXPECT_EQ(ParseType("tcp/ip"), std::nullopt);
    EXPECT_EQ(ParseTimeout("2.5"), 2.5);
    for (const char* t : {"0", "-1", "nan", "inf", "1e9", "5s", ""}) {
        EXPECT_EQ(ParseTimeout(t), std::nullopt) << t;
    }
}

} // namespace
} // namespace fw::cli

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // the view's timer
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
