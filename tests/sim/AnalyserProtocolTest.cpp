#include "tools/AnalyserProtocol.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

// Options are written as designated initializers naming only what differs
// from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace fw::sim {
namespace {

using namespace std::chrono_literals;

const std::string kReset =
    std::string("RESET,???\r\n") + std::string("\x02\x00\x06\x03\x06Really/\x04", 13);
const std::string kBanner12 = "\r\nTarnvel Analyser V1.2 Bootloader\r\n";
const std::string& kPrompt = AnalyserProtocol::kPrompt;
// The example record and its binary form.
const std::string kText = "S1137AF00A0A0D0000000000000000000000000061\r";
const std::string kBinary =
    std::string("\x46\x31\x13\x7A\xF0\x0A\x0A\x0D", 8) + std::string(13, '\0') + "\x61\x0D";

// The protocol on a synthetic clock. Each step is sent, then the clock moves on
// past every delay and past the point where unfinished input is dropped.
TEST(AnalyserProtocol, RepliesAndTheImageWritten) {
    struct Case {
        const char* name;
        ProtocolOptions options;
        std::vector<std::string> steps;
        std::string expected;
    };
    const auto out =
        std::filesystem::path(testing::TempDir()) / ("image" + std::to_string(getpid()) + ".srec");
    // 0x7AF0.. from the example, 0x2000 from the lower-case line, 0x10000 from
    // the S2 record: S2 addresses throughout, and the S8 end record.
    const std::string kImage = "S00F0000616E616C797365722D73696D1B\nS2060020000102D6\n"
                               "S214007AF00A0A0D0000000000000000000000000060\n"
                               "S206010000AABB93\nS804000000FB\n";
    const ProtocolOptions boot{.startInBootloader = true};
    const std::string fail = "Sx Fail ", pass = "Sx Pass ";
    // clang-format off
    const Case cases[] = {
        // Entry window, reset (deaf while restarting), bootloader (no more
        // prompts), erase echoes as bare words; records: the example, lower
        // case, bad checksum, binary, binary S2; the run writes the image.
        {"whole run", {.outPath = out.string()},
         {"@", kReset + "@", "@@", "###\r\n@", "ERASEALL\r\n", "ERASEEEPROM\r\n", "ERASERAM\r\n",
          kText + "s10520000102d7\rS1052000010200\r" + kBinary +
              std::string("F2\x06\x01\x00\x00\xAA\xBB\x93\r", 10), "RUNANYWAY\r\n@"},
         kPrompt + "|" + kPrompt + "|" + kPrompt + "|" + kBanner12 +
             "|ERASEALL|ERASEEEPROM|ERASERAM|" + pass + "|" + pass + "|" + fail + "|" + pass + "|" +
             pass},
        // Count against length, odd length, not hexadecimal, too short.
        {"malformed records", boot, {"S1062000010200\rS105200001020\rS10520000G02D7\rS1\r"},
         "Sx Fail |Sx Fail |Sx Fail |Sx Fail "},
        // The byte that stood where the terminator belongs starts the next record.
        {"binary without its end", boot, {kBinary.substr(0, 22) + kBinary}, fail + "|" + pass},
        {"unfinished record dropped after a pause", boot, {kBinary.substr(0, 10), kText}, pass},
        {"whole reset request", boot, {kReset.substr(0, 14) + "X", "@", kReset, "@"}, kPrompt},
        {"split banner", {.version = "1.1", .splitBanner = true}, {"###\r\n"},
         "\r\nTarnvel Analyser V1.1 Bootlo|ader\r\n"},
        {"strict form", {.version = "1.1", .startInBootloader = true, .strictForm = true},
         {kBinary, kText}, fail + "|" + pass},
        {"silent", {.silent = true}, {"@###\r\n"}, ""},
        {"verdicts held for one write", {.startInBootloader = true, .verdictsAtOnce = 200ms},
         {kText + kText + kBinary}, pass + pass + pass},
    };
    // clang-format on
    for (const Case& c : cases) {
        // Input goes in whole or one byte at a time.
        for (const bool bytewise : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (bytewise ? ", byte by byte" : ""));
            Clock::time_point now{std::chrono::hours(1)};
            AnalyserProtocol analyser(c.options, {}, now);
            std::string replies; // one part per write, joined by '|'
            for (const std::string& step : c.steps) {
                for (std::size_t i = 0; i < step.size(); i += bytewise ? 1 : step.size()) {
                    analyser.Receive(std::string_view(step).substr(i, bytewise ? 1 : step.size()),
                                     now);
                }
                now += 1100ms;
                for (const std::string& reply : analyser.TakeDue(now)) {
                    replies += (replies.empty() ? "" : "|") + reply;
                }
            }
            EXPECT_EQ(replies, c.expected);
            std::stringstream image;
            image << std::ifstream(c.options.outPath).rdbuf();
            EXPECT_EQ(image.str(), c.options.outPath.empty() ? "" : kImage);
            std::error_code ignored;
            std::filesystem::remove(c.options.outPath, ignored);
        }
    }
}

} // namespace
} // namespace fw::sim
