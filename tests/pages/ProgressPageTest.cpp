// The progress page: its rows and bars, its timer driving the real engine, and
// what Previous and closing the window do to a run.
#include "tests/pages/PagesTest.h"

#include <QFrame>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <fstream>

namespace fw::test {
namespace {

class ProgressPageTest : public PagesTest {
protected:
    // Walks to the progress page with the given operations.
    ProgressPage& Run(std::vector<VbBool ModFlashwright::*> operations) {
        if (rig.settings.GetSettingValue(kSection, kFilename, "") == "") {
            rig.Store(kFilename, "/nonexistent.SX");
        }
        Wizard& w = rig.Build();
        w.Start();
        Click(w.connection, "btnNext");
        Click(w.firmware, "btnNext");
        for (auto flag : {&ModFlashwright::bOpBootloader, &ModFlashwright::bOpEraseFlash,
                          &ModFlashwright::bOpEraseEEPROM, &ModFlashwright::bOpEraseRAM,
                          &ModFlashwright::bOpUpload, &ModFlashwright::bOpRun}) {
            w.mod.*flag =
                ToVb(std::find(operations.begin(), operations.end(), flag) != operations.end());
        }
        Click(w.operations, "btnNext");
        return w.progress;
    }
    QLabel* Status(const char* name) { return Find<QLabel>(rig.wizard->progress, name); }
    static QColor Fore(QLabel* label) { return label->palette().color(QPalette::WindowText); }
};

TEST_F(ProgressPageTest, RowsBarsAndTimerAsLoaded) {
    rig.Store(kConnectionType, "TCP");
    rig.line.free = {1};
    ProgressPage& page = Run({});
    // Caption and status of each row, top to bottom.
    std::vector<std::pair<int, std::string>> rows;
    for (QLabel* label : page.Window()->findChildren<QLabel*>()) {
        if (label->objectName().startsWith("Label1_")) {
            rows.emplace_back(label->y(), label->text().toStdString());
        }
    }
    std::sort(rows.begin(), rows.end());
    const std::vector<std::pair<std::string, const char*>> expected{
        {"Connect to Analyser", "lblProgress_Connection"},
        {"Enter Bootloader", "lblProgress_Bootloader"},
        {"Erase Flash ROM", "lblProgress_Erase"},
        {"Erase EEPROM", "lblProgress_Erase_EEPROM"},
        {"Erase RAM", "lblProgress_Erase_RAM"},
        {"Upload Firmware", "lblProgress_Upload"},
        {"Verify Upload", "lblProgress_Verify"},
        {"Run Firmware", "lblProgress_RUN"}};
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].second, expected[i].first);
        EXPECT_EQ(Status(expected[i].second)->y(), rows[i].first) << expected[i].second;
    }
    EXPECT_EQ(Status("lblProgress_Connection")->text(), "Connecting...");
    EXPECT_EQ(Status("lblProgress_Bootloader")->text(), "");

    for (const char* name : {"ProgressBar1", "ProgressBar2"}) {
        auto* bar = Find<QFrame>(page, name);
        EXPECT_TRUE(bar->autoFillBackground());
        EXPECT_EQ(bar->palette().color(QPalette::Window), QColor(0, 0, 192));
        EXPECT_FALSE(bar->isVisible()); // hidden by the activation
    }
    EXPECT_EQ(page.Fields().nProgressWidth, 2295);

    ASSERT_NE(page.AFTimer1(), nullptr);
    EXPECT_TRUE(page.AFTimer1()->isActive());
    EXPECT_EQ(page.AFTimer1()->timerType(), Qt::PreciseTimer);
}

TEST_F(ProgressPageTest, TimerDrivesTheEngineToTheEndAndStatusesAreColoured) {
    rig.Store(kConnectionType, "TCP");
    rig.line.free = {1};
    Run({&ModFlashwright::bOpRun});
    EXPECT_EQ(rig.wizard->mod.nUpdateState, kStateStart);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return rig.wizard->mod.nUpdateState == kStateFinished; }, 3000));
    EXPECT_EQ(Status("lblProgress_Bootloader")->text(), "SKIPPED");
    EXPECT_EQ(Status("lblProgress_Upload")->text(), "SKIPPED");
    EXPECT_EQ(Status("lblProgress_Verify")->text(), "SKIPPED");
    EXPECT_EQ(Fore(Status("lblProgress_Verify")), QColor(0, 0, 0));
    EXPECT_EQ(Status("lblProgress_RUN")->text(), "OK");
    EXPECT_EQ(Fore(Status("lblProgress_RUN")), QColor(0, 128, 0));
}

TEST_F(ProgressPageTest, PreviousMidUploadStopsTheRunAndClosesTheFile) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("big.SX").toStdString();
    {
        std::ofstream out(file);
        for (int i = 0; i < 400; ++i) {
            out << "S1130000000102030405060708090A0B0C0D0E0F74\n";
        }
    }
    rig.Store(kFilename, file);
    rig.Store(kConnectionType, "TCP");
    rig.line.free = {1};
    ProgressPage& page = Run({&ModFlashwright::bOpUpload});
    const QPoint where = Pos(page);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return rig.wizard->mod.nUpdateState == kStateUploading; }, 3000));
    EXPECT_TRUE(rig.wizard->engine.FirmwareOpen());
    Click(page, "btnPrevious");
    EXPECT_EQ(rig.wizard->mod.nUpdateState, kStateIdle);
    EXPECT_FALSE(rig.wizard->engine.FirmwareOpen());
    EXPECT_FALSE(page.IsLoaded());
    EXPECT_EQ(page.AFTimer1(), nullptr);
    ASSERT_TRUE(rig.wizard->operations.IsLoaded());
    EXPECT_EQ(Pos(rig.wizard->operations), where);

    // The next run starts from the beginning.
    Click(rig.wizard->operations, "btnNext");
    EXPECT_EQ(rig.wizard->mod.nUpdateState, kStateStart);
}

TEST_F(ProgressPageTest, PreviousClosesTheConverter) {
    rig.Store(kConnectionType, "USB");
    rig.line.free = {1};
    rig.usb.devices = {{"FT000042", "Cable"}};
    ProgressPage& page = Run({&ModFlashwright::bOpBootloader});
    EXPECT_EQ(rig.usb.open.size(), 1u);
    EXPECT_NE(rig.wizard->mod.nUsbHandle, 0u);
    Click(page, "btnPrevious");
    EXPECT_TRUE(rig.usb.open.empty());
    EXPECT_EQ(rig.wizard->mod.nUsbHandle, 0u);
}

TEST_F(ProgressPageTest, ClosingTheWindowEndsTheRunAndTheProgram) {
    rig.Store(kConnectionType, "COM");
    rig.line.free = {1};
    ProgressPage& page = Run({&ModFlashwright::bOpBootloader});
    EXPECT_EQ(Status("lblProgress_Connection")->text(), "OK");
    EXPECT_EQ(Fore(Status("lblProgress_Connection")), QColor(0, 128, 0));
    EXPECT_EQ(rig.line.open, std::set<int>{1});
    page.Window()->close();
    EXPECT_EQ(rig.wizard->mod.nUpdateState, kStateIdle);
    EXPECT_TRUE(rig.line.open.empty());
    EXPECT_FALSE(rig.wizard->AnyPageLoaded()); // no other page was shown
    EXPECT_EQ(rig.allClosed, 1);
}

} // namespace
} // namespace fw::test
