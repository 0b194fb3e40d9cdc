#include "tools/AnalyserProtocol.h"
#include "tools/Pacer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fw::sim {
namespace {

using namespace std::chrono_literals;

const std::string kReset =
    std::string("RESET,???\r\n") + std::string("\x02\x00\x06\x03\x06Really/\x04", 13);
const std::string kBanner12 = "\r\nTarnvel Analyser V1.2 Bootloader\r\n";
// The example record and its binary form.
const std::string kText = "S1137AF00A0A0D0000000000000000000000000061";
const std::string kBinary =
    std::string("\x46\x31\x13\x7A\xF0\x0A\x0A\x0D", 8) + std::string(13, '\0') + "\x61\x0D";

// The protocol on a synthetic clock; input goes in whole or one byte at a time.
struct Analyser {
    explicit Analyser(ProtocolOptions options = {}, bool byteByByte = false)
        : protocol(std::move(options), {}, now), bytewise(byteByByte) {}

    void Send(const std::string& bytes) {
        if (!bytewise) {
            protocol.Receive(bytes, now);
            return;
        }
        for (const char c : bytes) {
            protocol.Receive(std::string_view(&c, 1), now);
        }
    }
    std::string Read() {
        std::string all;
        for (const auto& reply : protocol.TakeDue(now)) {
            all += reply;
        }
        return all;
    }
    std::string Ask(const std::string& bytes) {
        Send(bytes);
        return Read();
    }
    void Wait(Millis ms) { now += ms; }
    // Reset, restart, "###": the bootloader ready for commands.
    void Enter() {
        Send(kReset);
        Wait(50ms);
        Read();
        Send("###\r\n");
        Read();
    }

    Clock::time_point now{std::chrono::hours(1)};
    AnalyserProtocol protocol;
    bool bytewise;
};

class WholeRun : public testing::TestWithParam<bool> {};

TEST_P(WholeRun, EveryStepAnsweredAndImageWritten) {
    const auto out = std::filesystem::path(testing::TempDir()) /
                     ("run" + std::to_string(getpid()) + std::to_string(GetParam()) + ".srec");
    ProtocolOptions options;
    options.outPath = out.string();
    Analyser a(options, GetParam());

    EXPECT_EQ(a.Ask("@"), AnalyserProtocol::kPrompt) << "freshly started: in the entry window";
    EXPECT_EQ(a.Ask(kReset), "");
    EXPECT_EQ(a.Ask("@"), "") << "deaf while restarting";
    a.Wait(50ms);
    EXPECT_EQ(a.Ask("@@"), AnalyserProtocol::kPrompt + AnalyserProtocol::kPrompt);
    EXPECT_EQ(a.Ask("###\r\n"), kBanner12);
    EXPECT_EQ(a.Ask("@"), "") << "no prompts once in the bootloader";

    for (const std::string word : {"ERASEALL", "ERASEEEPROM", "ERASERAM"}) {
        EXPECT_EQ(a.Ask(word + "\r\n"), "");
        a.Wait(99ms);
        EXPECT_EQ(a.Read(), "");
        a.Wait(1ms);
        EXPECT_EQ(a.Read(), word) << "bare word, no line end";
    }

    EXPECT_EQ(a.Ask(kText + "\r"), "Sx Pass ");
    EXPECT_EQ(a.Ask("s10520000102d7\r"), "Sx Pass ") << "lower case";
    EXPECT_EQ(a.Ask("S1052000010200\r"), "Sx Fail ") << "bad checksum";
    EXPECT_EQ(a.Ask(kBinary), "Sx Pass ");
    EXPECT_EQ(a.Ask(std::string("F2\x06\x01\x00\x00\xAA\xBB\x93\r", 10)), "Sx Pass ") << "S2";
    EXPECT_EQ(a.Ask("RUNANYWAY\r\n"), "");
    EXPECT_EQ(a.protocol.RunCount(), 1u);
    EXPECT_EQ(a.Ask("@"), "") << "the firmware runs now";

    std::ifstream file(out);
    std::stringstream text;
    text << file.rdbuf();
    // 0x7AF0.. from the example, 0x2000 from the lower-case line, 0x10000 from
    // the S2 record: S2 addresses throughout, and the S8 end record.
    EXPECT_EQ(text.str(), "S00F0000616E616C797365722D73696D1B\n"
                          "S2060020000102D6\n"
                          "S214007AF00A0A0D0000000000000000000000000060\n"
                          "S206010000AABB93\n"
                          "S804000000FB\n");
    std::filesystem::remove(out);
}

INSTANTIATE_TEST_SUITE_P(Chunking, WholeRun, testing::Values(false, true));

TEST(AnalyserProtocol, ResetNeedsTheWholeRequest) {
    ProtocolOptions options;
    options.startInBootloader = true;
    Analyser a(options);
    a.Send("RESET,???\r\n\x02\x00\x06X");
    EXPECT_EQ(a.protocol.CurrentMode(), AnalyserProtocol::Mode::Bootloader);
    a.Send(kReset);
    EXPECT_EQ(a.protocol.CurrentMode(), AnalyserProtocol::Mode::Rebooting);
    EXPECT_TRUE(a.protocol.NextDue().has_value());
    a.Wait(50ms);
    EXPECT_EQ(a.Ask("@"), AnalyserProtocol::kPrompt);
}

TEST(AnalyserProtocol, MalformedRecordsFailAndTheStreamRecovers) {
    ProtocolOptions options;
    options.startInBootloader = true;
    Analyser a(options, true);
    EXPECT_EQ(a.Ask("S1062000010200\r"), "Sx Fail ") << "count does not match the length";
    EXPECT_EQ(a.Ask("S105200001020\r"), "Sx Fail ") << "odd length";
    EXPECT_EQ(a.Ask("S10520000G02D7\r"), "Sx Fail ") << "not hexadecimal";
    EXPECT_EQ(a.Ask("S1\r"), "Sx Fail ");
    // Binary record whose terminator is missing: failed, and the byte that
    // stood there starts the next record.
    EXPECT_EQ(a.Ask(kBinary.substr(0, 22) + kBinary), "Sx Fail Sx Pass ");
    // An unfinished record abandoned by the sender does not swallow what comes
    // after a pause.
    a.Send(kBinary.substr(0, 10));
    a.Wait(2s);
    EXPECT_EQ(a.Ask(kText + "\r"), "Sx Pass ");
    EXPECT_EQ(a.protocol.ReceivedImage().size(), 16u);
}

TEST(AnalyserProtocol, BannerCarriesVersionAndCanBeSplit) {
    ProtocolOptions options;
    options.version = "1.1";
    options.splitBanner = true;
    Analyser a(options);
    a.Send("###\r\n");
    const std::string first = a.Read();
    EXPECT_EQ(first, "\r\nTarnvel Analyser V1.1 Bootlo");
    a.Wait(99ms);
    EXPECT_EQ(a.Read(), "");
    a.Wait(1ms);
    EXPECT_EQ(a.Read(), "ader\r\n");
}

TEST(AnalyserProtocol, ChecksumFailComesWithTheBannerOnTheFirstAt) {
    ProtocolOptions options;
    options.checksumFail = true;
    Analyser a(options);
    a.Send(kReset);
    a.Wait(50ms);
    EXPECT_EQ(a.Ask("@"), "Checksum Fail\r\n" + kBanner12);
    EXPECT_EQ(a.protocol.CurrentMode(), AnalyserProtocol::Mode::Bootloader);
    EXPECT_EQ(a.Ask(kText + "\r"), "Sx Pass ");
}

TEST(AnalyserProtocol, InjectedVerdicts) {
    ProtocolOptions options;
    options.rejectRecord = 2;
    options.unknownVerdict = 3;
    Analyser a(options);
    a.Enter();
    EXPECT_EQ(a.Ask(kText + "\r" + kText + "\r" + kText + "\r" + kText + "\r"),
              "Sx Pass Sx Fail Sx ErrorSx Pass ");
    // Counting starts again in the next bootloader session.
    a.Enter();
    EXPECT_EQ(a.Ask(kText + "\r" + kText + "\r"), "Sx Pass Sx Fail ");
}

TEST(AnalyserProtocol, RejectedRecordIsNotProgrammed) {
    ProtocolOptions options;
    options.rejectRecord = 1;
    options.startInBootloader = true;
    Analyser a(options);
    EXPECT_EQ(a.Ask(kText + "\r"), "Sx Fail ");
    EXPECT_TRUE(a.protocol.ReceivedImage().empty());
}

TEST(AnalyserProtocol, WithheldAcknowledgementsLagAndAreDroppedAtRun) {
    ProtocolOptions options;
    options.withholdLast = 2;
    options.startInBootloader = true;
    Analyser a(options);
    EXPECT_EQ(a.Ask(kText + "\r" + kText + "\r"), "");
    EXPECT_EQ(a.Ask(kText + "\r"), "Sx Pass ");
    EXPECT_EQ(a.Ask("S1052000010200\r"), "Sx Pass ");
    EXPECT_EQ(a.Ask("RUNANYWAY\r\n"), "") << "the last two are never acknowledged";
    EXPECT_EQ(a.protocol.NextDue(), std::nullopt);
}

TEST(AnalyserProtocol, StrictFormFailsTheWrongForm) {
    ProtocolOptions options;
    options.version = "1.1";
    options.strictForm = true;
    options.startInBootloader = true;
    Analyser a(options);
    EXPECT_EQ(a.Ask(kBinary), "Sx Fail ");
    EXPECT_EQ(a.Ask(kText + "\r"), "Sx Pass ");
}

TEST(AnalyserProtocol, SilentAndGarbage) {
    ProtocolOptions silent;
    silent.silent = true;
    Analyser quiet(silent);
    EXPECT_EQ(quiet.Ask("@###\r\n"), "");

    // Noise before each reply, but the reply itself still ends the text, and
    // nothing in the noise could pass for a version or a verdict.
    ProtocolOptions noisy;
    noisy.garbage = true;
    noisy.seed = 7;
    Analyser a(noisy);
    bool high = false;
    for (int i = 0; i < 20; ++i) {
        const std::string reply = a.Ask("@");
        ASSERT_GT(reply.size(), AnalyserProtocol::kPrompt.size());
        ASSERT_TRUE(reply.ends_with(AnalyserProtocol::kPrompt));
        const std::string noise = reply.substr(0, reply.size() - AnalyserProtocol::kPrompt.size());
        EXPECT_EQ(noise.find_first_of("SV"), std::string::npos);
        for (const char c : noise) {
            high = high || static_cast<unsigned char>(c) > 127;
        }
    }
    EXPECT_TRUE(high) << "bytes above 127 among the noise";
    EXPECT_TRUE(a.Ask("###\r\n").ends_with(kBanner12));
    EXPECT_TRUE(a.Ask(kText + "\r").ends_with("Sx Pass "));

    ProtocolOptions only;
    only.garbageOnly = true;
    Analyser b(only);
    const std::string reply = b.Ask("@###\r\n" + kText + "\r");
    EXPECT_FALSE(reply.empty());
    EXPECT_EQ(reply.find_first_of("xBTEC"), std::string::npos);
}

TEST(AnalyserProtocol, ReceivedImageMatchesTheSourceForSrecCmp) {
#ifndef FW_SREC_CMP
    GTEST_SKIP() << "srec_cmp not installed";
#else
    const auto dir = std::filesystem::path(testing::TempDir());
    const auto source = dir / ("source" + std::to_string(getpid()) + ".srec");
    const auto received = dir / ("received" + std::to_string(getpid()) + ".srec");
    // Records of odd lengths, out of order and with gaps, across 0xFFFF.
    std::string lines;
    for (std::uint32_t address : {0xFFF0u, 0x100u, 0x10005u, 0x120u, 0x20000u}) {
        std::vector<std::uint8_t> data;
        for (std::uint32_t i = 0; i < 7 + address % 13; ++i) {
            data.push_back(static_cast<std::uint8_t>(address * 7 + i));
        }
        Image one;
        for (std::size_t i = 0; i < data.size(); ++i) {
            one[address + static_cast<std::uint32_t>(i)] = data[i];
        }
        // FormatSrec gives the S0 line, one data line and the end line.
        std::istringstream text(FormatSrec(one));
        std::string line;
        std::getline(text, line);
        std::getline(text, line);
        lines += line + "\n";
    }
    std::ofstream(source) << lines;

    ProtocolOptions options;
    options.outPath = received.string();
    options.startInBootloader = true;
    Analyser a(options);
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        ASSERT_EQ(a.Ask(line + "\r"), "Sx Pass ") << line;
    }
    a.Send("RUNANYWAY\r\n");
    const std::string command = std::string(FW_SREC_CMP) + " " + source.string() + " " +
                                received.string() + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::filesystem::remove(source);
    std::filesystem::remove(received);
#endif
}

TEST(Pacer, HoldsTheLineRate) {
    const Pacer::Clock::time_point start{std::chrono::hours(1)};
    Pacer pacer(38400, start);
    std::size_t passed = 0;
    auto t = start;
    for (; t <= start + 1s; t += 1ms) {
        const std::size_t n = pacer.Available(t);
        pacer.Consume(n);
        passed += n;
    }
    t -= 1ms;
    // 3840 bytes a second, plus the initial burst of about 10 ms.
    EXPECT_NEAR(static_cast<double>(passed), 3840 + 38, 1);
    EXPECT_GT(pacer.NextByte(t), t) << "drained";
    EXPECT_LE(pacer.NextByte(t), t + 261us) << "one byte time at most";
    EXPECT_TRUE(Pacer(0, start).Unpaced());
}

} // namespace
} // namespace fw::sim
