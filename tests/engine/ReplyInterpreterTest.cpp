#include "tests/engine/EngineRig.h"

namespace fw::test {
namespace {

TEST(AnalyserKindFromBanner, ReadsTheVersionAfterTheLastV) {
    const std::pair<const char*, int> cases[] = {
        {"Analyser V1.1 Bootloader\r\n", 1},
        {"V1.0 Bootloader\r\n", 1},
        {"V1.2 Bootloader\r\n", 2},
        {"V2.0 Bootloader\r\n", 2},
        {"V0.9 Bootloader\r\n", 2},
        {"V 1 .  3 Bootloader\r\n", 2},
        {"Release V2.0\r\nV1.1 Bootloader\r\n", 1}, // two V's: the last one counts
        {"Bootloader\r\n", 0},
        {"V3 Bootloader\r\n", 0},  // no "." after the V
        {"V.2 Bootloader\r\n", 0}, // not whole numbers: no version
        {"V1.x Bootloader\r\n", 0},
        {"V-1.2 Bootloader\r\n", 0},
    };
    for (const auto& [banner, kind] : cases) {
        EXPECT_EQ(AnalyserKindFromBanner(banner), kind) << banner;
    }
}

struct ReplyTest : ::testing::Test, EngineRig {
    ReplyTest() {
        view.port.open = true;
        mod.bOpBootloader = kTrue;
    }
};

TEST_F(ReplyTest, SplitBannerIsRecognisedWhenItCompletes) {
    mod.nUpdateState = kStateWaitBanner;
    Arrive("Analyser V1.1 Bootlo");
    EXPECT_EQ(Caption(StatusLabel::Bootloader), "Waiting");
    EXPECT_EQ(mod.nUpdateState, kStateWaitBanner);
    Arrive("ader\r\n");
    EXPECT_EQ(mod.nUpdateState, kStateEraseFlash);
    EXPECT_EQ(mod.nAnalyserKind, 1);
    EXPECT_EQ(Caption(StatusLabel::Bootloader), "OK");
    EXPECT_EQ(Colour(StatusLabel::Bootloader), kGreen);
    EXPECT_TRUE(mod.sReplyBuffer.empty());
}

TEST_F(ReplyTest, BannerWithoutReadableVersionIsAcceptedAsTextKind) {
    mod.nUpdateState = kStateWaitBanner;
    mod.nAnalyserKind = 2;
    Arrive("V1.x Bootloader\r\n");
    EXPECT_EQ(mod.nUpdateState, kStateEraseFlash);
    EXPECT_EQ(mod.nAnalyserKind, 0);
    EXPECT_TRUE(box.shown.empty());
}

TEST_F(ReplyTest, TextPushingTheBufferPastTheLimitIsDroppedWhole) {
    mod.nUpdateState = kStateWaitBanner;
    mod.sReplyBuffer = std::string(1000, '.');
    Arrive("V1.2 Bootloader\r\n"); // 1017: still fits
    EXPECT_EQ(mod.nUpdateState, kStateEraseFlash);
    mod.nUpdateState = kStateWaitBanner;
    mod.sReplyBuffer = std::string(1010, '.');
    Arrive("V1.2 Bootloader\r\n"); // 1027: dropped with the banner
    EXPECT_EQ(mod.nUpdateState, kStateWaitBanner);
    EXPECT_TRUE(mod.sReplyBuffer.empty());
}

TEST_F(ReplyTest, LeftoverTextFromAnEarlierRunCountsWithTheNewText) {
    mod.sReplyBuffer = "old run V2.0 ";
    mod.nUpdateState = kStateWaitBanner;
    Arrive("Bootloader\r\n");
    EXPECT_EQ(mod.nAnalyserKind, 2);
}

TEST_F(ReplyTest, EntryPromptMustEndTheBuffer) {
    mod.nUpdateState = kStateWaitReboot;
    Arrive("Type ###[ENTER] to enter Bootloader.\r\n");
    EXPECT_EQ(mod.nUpdateState, kStateWaitReboot);
    Arrive("Type ###[ENTER] to enter Bootloader.");
    EXPECT_EQ(mod.nUpdateState, kStateEnterBootloader);
    EXPECT_TRUE(mod.sReplyBuffer.empty());
}

TEST_F(ReplyTest, ChecksumFailGoesToTheBannerStepAtOnce) {
    mod.nUpdateState = kStateWaitReboot;
    Arrive("junk Checksum Fail\r\nAnalyser V1.2 Bootloader\r\n");
    EXPECT_EQ(mod.nUpdateState, kStateEraseFlash);
    EXPECT_EQ(mod.nAnalyserKind, 2);

    mod.nUpdateState = kStateWaitReboot;
    Arrive("Checksum Fail\r\nV1.1 Boot");
    EXPECT_EQ(mod.nUpdateState, kStateWaitBanner);
    EXPECT_EQ(mod.sReplyBuffer, "\r\nV1.1 Boot");
}

TEST_F(ReplyTest, EraseEndsOnlyWhenItsWordEndsTheBuffer) {
    const std::tuple<std::int32_t, StatusLabel, const char*, std::int32_t> rows[] = {
        {kStateErasingFlash, StatusLabel::Erase, "ERASEALL", kStateEraseEeprom},
        {kStateErasingEeprom, StatusLabel::EraseEEPROM, "ERASEEEPROM", kStateEraseRam},
        {kStateErasingRam, StatusLabel::EraseRAM, "ERASERAM", kStateUploadStart},
    };
    for (const auto& [state, label, word, next] : rows) {
        mod.nUpdateState = state;
        Arrive(std::string(word) + "\r\n");
        EXPECT_EQ(mod.nUpdateState, state) << word;
        EXPECT_EQ(Caption(label), "Erasing");
        view.At(label).caption = "x";
        Arrive(""); // an empty receive event still re-applies the rule
        EXPECT_EQ(Caption(label), "Erasing");
        Arrive(word);
        EXPECT_EQ(mod.nUpdateState, next);
        EXPECT_EQ(Caption(label), "OK");
        EXPECT_EQ(Colour(label), kGreen);
    }
}

TEST_F(ReplyTest, VerdictsAreCountedOnceEvenWhenSplitOrBackToBack) {
    mod.nUpdateState = kStateUploading;
    Arrive("Sx Pass Sx Pass ");
    EXPECT_EQ(fields.nRecordsPassed, 2);
    EXPECT_TRUE(mod.sReplyBuffer.empty());
    Arrive("noise Sx Pa");
    EXPECT_EQ(mod.sReplyBuffer, "Sx Pa");
    Arrive("ss ");
    EXPECT_EQ(fields.nRecordsPassed, 3);
    EXPECT_TRUE(mod.sReplyBuffer.empty());
    Arrive("Sx Pass tail");
    EXPECT_EQ(fields.nRecordsPassed, 4);
    EXPECT_EQ(mod.sReplyBuffer, "tail");
    EXPECT_TRUE(box.shown.empty());
}

TEST_F(ReplyTest, FailEndsTheUploadAndUnknownVerdictsAreReported) {
    mod.nUpdateState = kStateWaitAcks;
    Arrive("Sx Error");
    EXPECT_EQ(fields.nRecordsOther, 1);
    EXPECT_EQ(mod.nUpdateState, kStateWaitAcks);
    Arrive("Sx Fail Sx Pass ");
    EXPECT_EQ(mod.nUpdateState, kStateFailed);
    EXPECT_EQ(fields.nRecordsPassed, 1);
    EXPECT_EQ(Caption(StatusLabel::RUN), "FAILED");
    ASSERT_EQ(box.shown.size(), 2u);
    for (const auto& shown : box.shown) {
        EXPECT_EQ(shown.text, "Failed Sx!");
        EXPECT_EQ(shown.icon, MsgIcon::Critical);
    }
    Arrive("Sx Pass "); // state 16 no longer counts
    EXPECT_EQ(fields.nRecordsPassed, 1);
}

// The real message box runs an event loop: ticks and receive events can come
// while it is open. Ticks are skipped, receive events wait for the handler.
TEST_F(ReplyTest, EventsDuringAMessageBoxNeitherReenterNorGetLost) {
    mod.nUpdateState = kStateUploading;
    std::vector<std::string> seenInside;
    box.whileOpen = [&] {
        if (seenInside.empty()) {
            seenInside.push_back(mod.sReplyBuffer);
            view.port.Receive("Sx Pass Sx Pa");
            engine.afComm1_OnComm();
            engine.AFTimer1_Timer();
            view.port.Receive("ss ");
            engine.afComm1_OnComm();
            engine.RecData("Sx Pass ");
            EXPECT_EQ(fields.nRecordsPassed, 0); // nothing ran inside the box
            EXPECT_EQ(fields.nTick, 0);
        }
    };
    Arrive("Sx Error");
    EXPECT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(fields.nRecordsOther, 1);
    EXPECT_EQ(fields.nRecordsPassed, 3);
    EXPECT_TRUE(mod.sReplyBuffer.empty());
    EXPECT_EQ(view.port.InBufferCount(), 0);
}

TEST_F(ReplyTest, TickBlockedByItsOwnMessageBoxResumesAfterIt) {
    SetOperationDefaults(mod);
    mod.nUpdateState = kStateStart; // no firmware file stored: the run is refused
    int ticksInside = 0;
    box.whileOpen = [&] {
        ++ticksInside;
        engine.AFTimer1_Timer();
        view.port.Receive("hello");
        engine.afComm1_OnComm();
        EXPECT_TRUE(mod.sReplyBuffer.empty());
    };
    Tick();
    EXPECT_EQ(ticksInside, 1);
    EXPECT_EQ(fields.nTick, 2);
    // The deferred receive event ran after the tick, in the state it left.
    EXPECT_EQ(view.port.InBufferCount(), 0);
    EXPECT_EQ(mod.sReplyBuffer, "hello");
    EXPECT_EQ(mod.nUpdateState, kStateIdle);
    EXPECT_TRUE(view.port.output.empty());
}

} // namespace
} // namespace fw::test
