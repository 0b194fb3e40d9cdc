// Edges of the engine that a user would see: the waiting dots at the ticks
// where rounding halves matters, and the reply buffer at its limit.
#include "tests/engine/EngineRig.h"

namespace fw::test {
namespace {

struct EdgeCase : EngineRig {};

// nTick / 100 dots, halves to the even neighbour: 50, 250 and 450 are where
// rounding half up would show one dot more.
TEST_F(EdgeCase, WaitingDotsRoundHalvesToEven) {
    const std::pair<int, const char*> cases[] = {
        {50, ""},     {52, "."},     {148, "."},      {150, ".."},     {250, ".."},
        {252, "..."}, {450, "...."}, {550, "......"}, {598, "......"}, {0, ""},
    };
    for (const auto& [tick, dots] : cases) {
        fields.nTick = static_cast<std::int16_t>(tick == 0 ? 598 : tick - 2);
        state.nUpdateState = WaitReboot;
        Tick();
        ASSERT_EQ(fields.nTick, tick);
        EXPECT_EQ(view.At(StatusLabel::Bootloader).caption,
                  std::string("Waiting for Reboot") + dots)
            << "nTick " << tick;
    }
}

// The reply buffer holds at most 1024 characters once an arrival has been
// read, but every reply in the arrival counts first: a burst of verdicts, or a
// prompt behind a long run of noise, is never thrown away. Noise alone is, all
// but its last characters: a reply cut by the limit (a banner behind the
// prompts answered to every poll, an erase echo) is still seen when it ends.
TEST_F(EdgeCase, ReplyBufferLimitDropsNoiseButNoReply) {
    const std::string prompt = kBootloaderEntryPrompt;
    std::string verdicts, prompts;
    for (int i = 0; i < 2000; ++i) {
        verdicts += "Sx Pass ";
    }
    for (int i = 0; i < 28; ++i) {
        prompts += prompt;
    }
    const std::string tail64(64, 'x');
    struct Case {
        UpdateState state;
        std::string held, arrival, next;
        UpdateState after;
        int passed;
        std::string left;
        std::int32_t kind = -1;
    };
    const Case cases[] = {
        {WaitReboot, std::string(1000, 'x'), std::string(24, 'x') + prompt, "", EnterBootloader, 0,
         ""},
        {WaitReboot, "", std::string(1100, 'x') + prompt, "", EnterBootloader, 0, ""},
        {WaitBanner, std::string(1010, '.'), "V1.1 Bootloader\r\n", "", EraseFlash, 0, "", 1},
        {WaitBanner, prompts, "\r\nTarnvel Analyser V1.2 Bootlo", "ader\r\n", EraseFlash, 0, "", 2},
        {Uploading, "", verdicts, "", Uploading, 2000, ""},
        {WaitAcks, "Sx Pa", "ss " + verdicts + "Sx Pa", "", WaitAcks, 2001, "Sx Pa"},
        {WaitReboot, std::string(1000, 'x'), std::string(24, 'x'), "", WaitReboot, 0,
         std::string(1024, 'x')},
        {WaitReboot, std::string(1024, 'x'), "x", "", WaitReboot, 0, tail64},
        {Uploading, "", std::string(1025, 'x'), "", Uploading, 0, tail64},
        {ErasingFlash, std::string(1020, '.'), "ERASE", "ALL", EraseEeprom, 0, ""},
    };
    for (const Case& c : cases) {
        state.nUpdateState = c.state;
        state.nAnalyserKind = -1;
        state.sReplyBuffer = c.held;
        fields.nRecordsPassed = 0;
        fields.nRecordsSent = 2001;
        engine.RecData(c.arrival);
        if (!c.next.empty()) {
            engine.RecData(c.next);
        }
        SCOPED_TRACE(c.held.size() + c.arrival.size());
        EXPECT_EQ(state.nUpdateState, c.after);
        EXPECT_EQ(fields.nRecordsPassed, c.passed);
        EXPECT_EQ(state.sReplyBuffer, c.left);
        EXPECT_EQ(state.nAnalyserKind, c.kind);
    }
}

} // namespace
} // namespace fw::test
