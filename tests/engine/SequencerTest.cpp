#include "tests/engine/EngineRig.h"

namespace fw::test {
namespace {

const std::string kReset("RESET,???\r\n\x02\x00\x06\x03\x06Really/\x04", 24);
const std::string kPrompt = "Type ###[ENTER] to enter Bootloader.";
const std::string kExample = "S1137AF00A0A0D0000000000000000000000000061";

struct SequencerTest : ::testing::Test, EngineRig {};

TEST_F(SequencerTest, EveryFlagOffSkipsEachStepOnConsecutiveTicksAndClosesTheLink) {
    Flags(false, false, false, false, false, false);
    view.port.open = true;
    mod.nUpdateState = kStateStart;
    for (std::int32_t expected : {5, 7, 9, 11, 14, 0, 0}) {
        Tick();
        EXPECT_EQ(mod.nUpdateState, expected);
    }
    for (StatusLabel l :
         {StatusLabel::Bootloader, StatusLabel::Erase, StatusLabel::EraseEEPROM,
          StatusLabel::EraseRAM, StatusLabel::Upload, StatusLabel::Verify, StatusLabel::RUN}) {
        EXPECT_EQ(Caption(l), "SKIPPED");
    }
    EXPECT_EQ(Colour(StatusLabel::Verify), kBlack);
    EXPECT_TRUE(view.At(StatusLabel::Verify).visible);
    EXPECT_FALSE(view.port.open);
    EXPECT_TRUE(view.port.output.empty());
}

TEST_F(SequencerTest, OnlyRunSendsRunanywayAndKeepsShowingOk) {
    Flags(false, false, false, false, false, true);
    view.port.open = true;
    mod.nUpdateState = kStateStart;
    Tick(6);
    EXPECT_EQ(mod.nUpdateState, kStateFinished);
    EXPECT_EQ(SentText(), "RUNANYWAY\r\n");
    EXPECT_EQ(Caption(StatusLabel::Verify), "SKIPPED");
    EXPECT_EQ(Caption(StatusLabel::RUN), "OK");
    EXPECT_EQ(Colour(StatusLabel::RUN), kGreen);
    EXPECT_FALSE(view.port.open);
    view.At(StatusLabel::RUN) = {};
    Tick();
    EXPECT_EQ(Caption(StatusLabel::RUN), "OK");
    EXPECT_EQ(Colour(StatusLabel::RUN), kGreen);
}

TEST_F(SequencerTest, TickCountWrapsAndDrivesTheDots) {
    EXPECT_EQ(DotCount(0), 0);
    EXPECT_EQ(DotCount(50), 0);
    EXPECT_EQ(DotCount(52), 1);
    EXPECT_EQ(DotCount(150), 2);
    EXPECT_EQ(DotCount(250), 2);
    EXPECT_EQ(DotCount(350), 4);
    EXPECT_EQ(DotCount(450), 4);
    EXPECT_EQ(DotCount(550), 6);
    EXPECT_EQ(DotCount(598), 6);
    mod.nUpdateState = kStateWaitReboot;
    fields.nTick = 596;
    Tick();
    EXPECT_EQ(fields.nTick, 598);
    EXPECT_EQ(Caption(StatusLabel::Bootloader), "Waiting for Reboot......");
    Tick();
    EXPECT_EQ(fields.nTick, 0);
    EXPECT_EQ(Caption(StatusLabel::Bootloader), "Waiting for Reboot");
    mod.nUpdateState = kStateErasingRam;
    fields.nTick = 248;
    Tick();
    EXPECT_EQ(Caption(StatusLabel::EraseRAM), "Erasing...");
}

TEST_F(SequencerTest, WaitForAcksAllowsTwoMissingButNotThree) {
    mod.nUpdateState = kStateWaitAcks;
    fields.nRecordsSent = 5;
    fields.nRecordsPassed = 2;
    Tick();
    EXPECT_EQ(mod.nUpdateState, kStateWaitAcks);
    EXPECT_EQ(view.interval, 1);
    fields.nRecordsPassed = 3;
    Tick();
    EXPECT_EQ(mod.nUpdateState, kStateConfirmRun);
}

TEST_F(SequencerTest, FormActivateNotesTheBarWidthAndHidesBothBars) {
    view.barWidth[0] = 2294.5;
    engine.FormActivate();
    EXPECT_EQ(fields.nProgressWidth, 2294);
    EXPECT_FALSE(view.barVisible[0]);
    EXPECT_FALSE(view.barVisible[1]);
}

// A whole run over the serial port against a scripted analyser, with a
// bootloader that takes text records (1.1) and one that takes binary (1.2).
struct SerialRun : ::testing::TestWithParam<std::string>, EngineRig {};

TEST_P(SerialRun, DefaultOperationsEndWithTheFirmwareStarted) {
    const bool binary = GetParam() == "1.2";
    SetOperationDefaults(mod);
    const std::string header = "S00600004844521B\r\n";
    Firmware(header + kExample + "\r\ns2080100000102030401\nS9030000FC\r\n");
    Set(kComPort, "3");
    link.ConnectToAnalyser();
    ASSERT_EQ(mod.nUpdateState, kStateStart);
    EXPECT_EQ(view.port.commPort, 3);

    Tick();
    EXPECT_EQ(SentText(), kReset);
    Tick(2);
    EXPECT_EQ(SentText(), "@@");
    EXPECT_EQ(Caption(StatusLabel::Bootloader), "Waiting for Reboot");
    Arrive("Application 3.4\r\n" + kPrompt);
    EXPECT_EQ(mod.nUpdateState, kStateEnterBootloader);
    Tick();
    EXPECT_EQ(SentText(), "###\r\n");
    Arrive("\r\nAnalyser V" + GetParam() + " Bootloader\r\n");
    EXPECT_EQ(mod.nUpdateState, kStateEraseFlash);
    EXPECT_EQ(mod.nAnalyserKind, binary ? 2 : 1);
    EXPECT_EQ(Colour(StatusLabel::Bootloader), kGreen);

    Tick();
    EXPECT_EQ(SentText(), "ERASEALL\r\n");
    Tick();
    EXPECT_EQ(Caption(StatusLabel::Erase), "Erasing.");
    Arrive("ERASEALL");
    EXPECT_EQ(Caption(StatusLabel::Erase), "OK");
    Tick(3); // EEPROM and RAM skipped, upload started
    EXPECT_EQ(mod.nUpdateState, kStateUploading);
    EXPECT_TRUE(view.barVisible[0] && view.barVisible[1]);

    Tick(); // S0 header: skipped
    EXPECT_TRUE(view.port.output.empty());
    EXPECT_EQ(view.interval, 1);
    Tick();
    EXPECT_DOUBLE_EQ(view.barWidth[0], 18.0 / (18 + 44 + 21 + 12) * 2295);
    if (binary) {
        Bytes expected{0x46, 0x31, 0x13, 0x7A, 0xF0, 0x0A, 0x0A, 0x0D};
        expected.insert(expected.end(), 13, 0x00);
        expected.insert(expected.end(), {0x61, 0x0D});
        EXPECT_EQ(TakeSent(), expected);
    } else {
        EXPECT_EQ(SentText(), kExample + "\r");
    }
    EXPECT_EQ(view.interval, 2);
    Arrive("Sx Pass ");
    EXPECT_EQ(fields.nRecordsPassed, 1);
    EXPECT_DOUBLE_EQ(view.barWidth[1], 62.0 / 95 * 2295);
    Tick();
    if (binary) {
        EXPECT_EQ(TakeSent(), (Bytes{0x46, 0x32, 0x08, 0x01, 0, 0, 1, 2, 3, 4, 1, 0x0D}));
    } else {
        EXPECT_EQ(SentText(), "s2080100000102030401\r");
    }
    Tick(2); // S9 skipped, then the end of the file
    EXPECT_EQ(mod.nUpdateState, kStateWaitAcks);
    EXPECT_EQ(fields.nRecordsSent, 2);
    EXPECT_FALSE(engine.FirmwareOpen());
    EXPECT_EQ(Caption(StatusLabel::Upload), "OK");
    EXPECT_FALSE(view.barVisible[0]);
    Tick(2);
    EXPECT_EQ(SentText(), "RUNANYWAY\r\n");
    EXPECT_EQ(mod.nUpdateState, kStateFinished);
    EXPECT_EQ(Caption(StatusLabel::Verify), "OK");
    EXPECT_EQ(Colour(StatusLabel::Verify), kGreen);
    EXPECT_EQ(Caption(StatusLabel::RUN), "OK");
    EXPECT_FALSE(view.port.open);
    EXPECT_TRUE(box.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Versions, SerialRun, ::testing::Values("1.1", "1.2"));

TEST_F(SequencerTest, UsbRepliesArriveInsideTheTickBeforeTheStateIsRead) {
    Set(kConnectionType, "USB");
    usb.devices = {{"S1", "Merlane"}};
    link.ConnectToAnalyser();
    mod.nUpdateState = kStateWaitReboot;
    usb.Receive(kPrompt);
    Tick();
    EXPECT_EQ(usb.WrittenText(), "###\r\n");
    EXPECT_EQ(mod.nUpdateState, kStateWaitBanner);

    mod.nUpdateState = kStateEraseFlash; // text is only collected here
    usb.Receive(std::string(600, 'x'));
    usb.log.clear();
    for (std::size_t expected : {255u, 510u, 600u, 600u}) {
        engine.CheckUSBRec();
        EXPECT_EQ(mod.sReplyBuffer.size(), expected);
    }
    const std::string h = std::to_string(mod.nUsbHandle);
    EXPECT_EQ(usb.Calls("FT_Read"),
              (std::vector<std::string>{"FT_Read(" + h + ",255)", "FT_Read(" + h + ",255)",
                                        "FT_Read(" + h + ",90)"}));
}

} // namespace
} // namespace fw::test
