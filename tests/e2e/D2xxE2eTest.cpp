// Whole runs over the converter library: the real engine, link, settings file
// and D2xxUsbDriver, with the fake D2XX library loaded at run time. The fake's
// device forwards to the analyser simulator's pseudo-terminal, so every byte
// of the run passes through the library's FT_Write / FT_GetQueueStatus /
// FT_Read as the engine polls it.
#include "link/usb/D2xxUsbDriver.h"
#include "tests/e2e/E2eRig.h"
#include "tests/support/fake_d2xx/FakeD2xx.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

namespace fw::e2e {
namespace {

// The wizard behind a headless progress page over the D2XX driver loaded
// from `libraries`.
struct D2xxRig : Rig {
    explicit D2xxRig(const std::vector<std::string>& libraries)
        : Rig(std::make_unique<D2xxUsbDriver>(libraries)), d2xx(static_cast<D2xxUsbDriver&>(usb)) {}
    D2xxUsbDriver& d2xx;
};

class D2xxE2e : public ::testing::Test {
protected:
    void SetUp() override { FakeD2xx_Reset(); }
};

TEST_F(D2xxE2e, MerlaneConverterRunCompletesThroughTheLibrary) {
    if (std::string(FW_SREC_CAT).empty() || std::string(FW_SREC_CMP).empty())
        GTEST_SKIP() << "srec_cat / srec_cmp (Debian srecord) not installed";
    D2xxRig rig({FW_FAKE_D2XX});
    ASSERT_TRUE(rig.d2xx.Loaded()) << rig.d2xx.LoadError();
    ASSERT_EQ(rig.sim.Start({FW_ANALYSER_SIM, "--no-register", "--baud", "0", "--reboot-ms", "20",
                             "--erase-ms", "20", "--out", rig.dir.File("received.srec"),
                             "--verbose", "--exit-after-run"},
                            rig.dir.File("sim")),
              "");
    // The analyser is the second converter; the stored serial number is the
    // beginning of its own.
    FakeD2xx_AddDevice("Other Converter", "FT0001");
    FakeD2xx_SetLine(FakeD2xx_AddDevice("Merlane Analyser", "MA0042"), rig.sim.Device().c_str());
    const std::string source = rig.dir.File("image.src.srec");
    ASSERT_TRUE(MakeImage(FW_SREC_CAT, source, 0x3F000, 0x1000, 3));
    rig.settings.SaveSettingValue(kSection, kConnectionType, "USB");
    rig.settings.SaveSettingValue(kSection, kUsbAnalyser, "MA00");
    rig.settings.SaveSettingValue(kSection, kFilename, source);

    rig.Next();
    ASSERT_TRUE(rig.link.IsOpen()) << rig.view.At(StatusLabel::Connection).caption;
    EXPECT_EQ(rig.view.At(StatusLabel::Connection).caption, "Connected...");
    EXPECT_EQ(rig.engine.State().nAnalyserKind, 2);
    EXPECT_NE(std::string(FakeD2xx_TakeLog()).find("FT_Open 1\n"), std::string::npos);
    ASSERT_TRUE(rig.RunToEnd(Millis(20000))) << rig.sim.Stderr();
    ASSERT_EQ(rig.State(), Finished) << rig.sim.Stderr();
    // Every reply came in through the poll at the start of a tick.
    for (const StatusLabel row :
         {StatusLabel::Bootloader, StatusLabel::Erase, StatusLabel::Verify, StatusLabel::RUN})
        EXPECT_EQ(rig.view.At(row).caption, "OK") << static_cast<int>(row);
    EXPECT_EQ(rig.view.At(StatusLabel::EraseEEPROM).caption, "SKIPPED");
    EXPECT_EQ(rig.fields.nRecordsSent, 128);
    EXPECT_GE(rig.fields.nRecordsPassed, 126);
    EXPECT_TRUE(rig.box.shown.empty()) << rig.box.shown.front().text;
    EXPECT_FALSE(rig.link.IsOpen()); // state 14 closed the converter
    EXPECT_EQ(FakeD2xx_OpenCount(), 0);
    EXPECT_EQ(rig.Control(), nullptr); // nothing went by a serial port

    EXPECT_EQ(rig.sim.Wait(Millis(5000)), 0) << rig.sim.Stderr();
    EXPECT_EQ(WaitExit(Spawn({FW_SREC_CMP, source, rig.dir.File("received.srec")})), 0);
}

} // namespace
} // namespace fw::e2e

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
