#include "tests/engine/EngineRig.h"

namespace fw::test {
namespace {

TEST(AnalyserKindFromBanner, ReadsTheVersionAfterTheLastV) {
    // No "." after the V, or a version not made of whole numbers: kind 0, and
    // the records then go out as text, which every bootloader understands.
    const std::pair<const char*, int> cases[] = {
        {"Analyser V1.1 Bootloader\r\n", 1},
        {"V1.0 Bootloader\r\n", 1},
        {"V1.2 Bootloader\r\n", 2},
        {"V2.0 Bootloader\r\n", 2},
        {"V0.9 Bootloader\r\n", 2},
        {"V 1 .  3 Bootloader\r\n", 2},
        {"V2.0\r\nV1.1 Bootloader\r\n", 1}, // the last V counts
        {"Bootloader\r\n", 0},
        {"V3 Bootloader\r\n", 0},
        {"V.2 Bootloader\r\n", 0},
        {"V1.x Bootloader\r\n", 0},
        {"V-1.2 Bootloader\r\n", 0}};
    for (const auto& [banner, kind] : cases) {
        EXPECT_EQ(AnalyserKindFromBanner(banner), kind) << banner;
    }
}

using SequencerTest = EngineRig;

// A waiting state moves on only once its word ends the reply buffer, however
// the text is split; the buffer is then emptied. The entry offer, answered to
// every poll, may already be followed by the beginning of its next repeat.
TEST_F(SequencerTest, WaitingStatesAdvanceWhenTheirWordEndsTheBuffer) {
    const std::tuple<std::optional<UpdateState>, const char*, UpdateState> script[] = {
        {WaitReboot, "Type ###[ENTER] to enter Bootloader.\r\n", WaitReboot},
        {std::nullopt, kBootloaderEntryPrompt, EnterBootloader},
        {WaitReboot, "Type ###[ENTER] to enter", WaitReboot},
        {std::nullopt, " Bootloader.Type ###[EN", EnterBootloader},
        // A bad application image: the bootloader starts on its own.
        {WaitReboot, "junk Checksum Fail\r\nV1.1 Boot", WaitBanner},
        {std::nullopt, "loader\r\n", EraseFlash},
        {ErasingFlash, "ERASEALL\r\n", ErasingFlash},
        {std::nullopt, "ERASEALL", EraseEeprom},
        {ErasingEeprom, "ERASEEEPROM\r\n", ErasingEeprom},
        {std::nullopt, "ERASEEEPROM", EraseRam},
        {ErasingRam, "ERASERAM\r\n", ErasingRam},
        {std::nullopt, "ERASERAM", UploadStart}};
    for (const auto& [from, text, next] : script) {
        state.nUpdateState = from.value_or(state.nUpdateState);
        Arrive(text);
        EXPECT_EQ(state.nUpdateState, next) << text;
        EXPECT_EQ(state.sReplyBuffer.empty(), !from) << text;
    }
    for (StatusLabel l : {StatusLabel::Bootloader, StatusLabel::Erase, StatusLabel::EraseEEPROM,
                          StatusLabel::EraseRAM}) {
        ExpectLabel(l, "OK", kGreen);
    }
}

// What the analyser said before the run answers nothing in it: a "Checksum
// Fail" heard while idle would make the first half of the entry offer look
// like a bootloader started on its own.
TEST_F(SequencerTest, ReplyFromBeforeTheRunCountsForNothingInIt) {
    engine.RecData("V1.1 Bootloader\r\nChecksum Fail\r\n");
    config.operations.bOpBootloader = kTrue;
    Connect();
    for (int i = 0; i < 10 && state.nUpdateState != WaitReboot; ++i) {
        Tick();
    }
    ASSERT_EQ(state.nUpdateState, WaitReboot);
    Arrive("Type ###[ENTER] to enter");
    EXPECT_EQ(state.nUpdateState, WaitReboot);
    Arrive(" Bootloader.");
    EXPECT_EQ(state.nUpdateState, EnterBootloader);
}

// Converter text is polled at the start of the tick, so the tick acts on it in
// the state it led to; at most 255 bytes are read per poll.
TEST_F(SequencerTest, UsbTextIsReadInsideTheTickInChunksOf255) {
    UseConverter();
    StartAt(WaitReboot);
    ASSERT_EQ(usb.open, std::set{FakeUsbDriver::kHandleBase});
    usb.Receive(kBootloaderEntryPrompt);
    Tick();
    EXPECT_EQ(usb.written, Bytes({'#', '#', '#', '\r', '\n'}));
    state.nUpdateState = EraseFlash; // text is only collected here
    usb.Receive(std::string(600, 'x'));
    for (std::size_t expected : {255u, 510u, 600u, 600u}) {
        link.Poll();
        EXPECT_EQ(state.sReplyBuffer.size(), expected);
    }
}

// The real message box runs an event loop: ticks and receive events can come
// while it is open. Ticks are skipped, receive events wait for the handler.
TEST_F(SequencerTest, EventsDuringAMessageBoxNeitherReenterNorGetLost) {
    state.nUpdateState = Uploading;
    fields.nRecordsSent = 6;
    box.whileOpen = [&] {
        Arrive("Sx Pass Sx Pa");
        engine.AFTimer1_Timer();
        Arrive("ss ");
        engine.RecData("Sx Pass ");
        EXPECT_EQ(fields.nRecordsPassed, 0); // nothing ran inside the box
        EXPECT_EQ(fields.nTick, 0);
    };
    Arrive("Sx Error");
    EXPECT_EQ(fields.nRecordsOther, 1);
    EXPECT_EQ(fields.nRecordsPassed, 3);
    EXPECT_TRUE(state.sReplyBuffer.empty());

    // The serial control raises no new receive event while its own is still
    // being handled: bytes that came during a box opened there are taken after it.
    box.whileOpen = [&] { view.port.Receive("Sx Pass "); };
    Arrive("Sx Error");
    EXPECT_EQ(fields.nRecordsPassed, 4);
    EXPECT_TRUE(view.port.incoming.empty());

    // A box opened by a tick: the deferred event runs after it, in the state it left.
    SetOperationDefaults(config.operations);
    StartAt(Start); // no firmware file chosen: the run is refused
    box.whileOpen = [&] {
        engine.AFTimer1_Timer();
        Arrive("hello");
        EXPECT_TRUE(state.sReplyBuffer.empty());
    };
    Tick();
    EXPECT_EQ(box.shown.size(), 3u);
    EXPECT_EQ(fields.nTick, 2);
    EXPECT_TRUE(view.port.incoming.empty());
    EXPECT_EQ(state.sReplyBuffer, "hello");
    EXPECT_EQ(state.nUpdateState, Idle);
}

} // namespace
} // namespace fw::test
