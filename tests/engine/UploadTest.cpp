#include "engine/RecordForm.h"
#include "tests/engine/EngineRig.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>

namespace fw::test {
namespace {

TEST(BinaryForm, OddLengthsAndDigitsThatAreNotHex) {
    // Half-byte lengths round half to even; a last digit standing alone is its own byte.
    const std::pair<const char*, Bytes> odd[] = {{"s2ff", {0x46, 0x32, 0xFF, 0x0D}},
                                                 {"S1A", {0x46, 0x31, 0x0D}},
                                                 {"S1ABC", {0x46, 0x31, 0xAB, 0x0C, 0x0D}},
                                                 {"S1ABCDE", {0x46, 0x31, 0xAB, 0xCD, 0x0D}}};
    for (const auto& [line, bytes] : odd) {
        EXPECT_EQ(BinaryForm(line), bytes) << line;
    }
    for (const char* bad : {"S1G0", "S1 1", "S10x", "S1ABCDEG0", "S1ABC?", "S3001122", ""}) {
        EXPECT_FALSE(BinaryForm(bad).has_value()) << bad;
    }
}

struct UploadTest : EngineRig {
    UploadTest() { config.operations.bOpUpload = config.operations.bOpRun = kTrue; }
    // Writes the file, then runs from the upload's start until it is over.
    void Upload(const std::string& content) {
        Firmware(content);
        StartAt(UploadStart);
        for (int i = 0; i < 50 && (i == 0 || state.nUpdateState == Uploading); ++i) {
            Tick();
        }
    }
};

// Text records go out as they stand, every line end counts and the last line
// needs none; a byte-order mark before the first record is passed over, as
// the check passes over it, and the record behind it is sent.
TEST_F(UploadTest, TextRecordsGoOutAsTheyStand) {
    Upload("\xEF\xBB\xBFs1030000FC\rS0030000FC\r\nS1051000AA55EB\r\n\r\nS1030000FC");
    ExpectLabel(StatusLabel::Upload, "OK", kGreen);
    Arrive("Sx Pass ");
    clock += kQuietTime; // two records stay unacknowledged
    Tick(2);
    EXPECT_EQ(Sent(), "s1030000FC\rS1051000AA55EB\rS1030000FC\rRUNANYWAY\r\n");
}

// Refused before anything is sent, so the analyser is never erased with nothing
// (or something it would reject) to load; the link is closed so that a stray
// banner cannot restart the run.
TEST_F(UploadTest, FileKnownBadStopsTheRunBeforeAnythingIsSent) {
    config.operations.bOpBootloader = kTrue;
    const std::pair<std::string, std::string> cases[] = {
        {"", kMsgInvalidFile},
        {::testing::TempDir(), kMsgInvalidFile},
        {path + ".gone", kMsgInvalidFile},
        {"S1030000FC\r\nS1zz\r\n", "line 2 has 'z' at column 3"},
        {"", "it holds no S1 or S2 record"},
    };
    for (const auto& [file, message] : cases) {
        NewRun();
        if (message == kMsgInvalidFile) {
            Set(kFilename, file);
        } else {
            Firmware(file);
        }
        Connect();
        Tick();
        EXPECT_EQ(state.nUpdateState, Idle);
        ExpectLabel(StatusLabel::Upload, "FAILED", kRed);
        ASSERT_EQ(box.shown.size(), 1u);
        EXPECT_NE(box.shown[0].text.find(message), std::string::npos) << box.shown[0].text;
        EXPECT_EQ(box.shown[0].title, kTitleLoadFirmwareError);
        box.shown.clear();
        EXPECT_FALSE(view.port.open);
        engine.RecData("V1.2 Bootloader\r\n");
        Tick();
        EXPECT_TRUE(view.port.output.empty());
        ASSERT_FALSE(runLog.runs.empty());
        EXPECT_EQ(runLog.runs.back().result, RunResult::Failed);
        EXPECT_NE(runLog.runs.back().reason.value_or("").find(message), std::string::npos);
    }
}

// What reaches the analyser is the file as it was checked: rewritten, grown,
// cut short, turned bad, removed or replaced by a folder on disk once the run
// has begun, before the upload or during it, it changes nothing that is sent,
// and the record names the digest of what was sent.
TEST_F(UploadTest, FileChangedAfterTheCheckChangesNothingSent) {
    const std::string records = "S1051000AA55EB\r\nS1030000FC\r\n";
    std::string big;
    while (big.size() < 3 * FirmwareFile::kHeadSize) {
        big += records;
    }
    namespace fs = std::filesystem;
    const auto write = [this](const std::string& text) {
        return [this, text] { std::ofstream(path, std::ios::binary) << text; };
    };
    const std::function<void()> replaceByFolder = [this] {
        fs::remove(path);
        fs::create_directory(path);
    };
    const struct {
        std::string content;
        std::function<void()> change;
        bool beforeUploadStarts;
    } cases[] = {
        {records, write("S1051000AA55EB\r\nS1031000EC\r\n"), true}, // other bytes
        {records, write("S1051000AA55EB\r\nS1030000FD\r\n"), true}, // a bad record
        {records, write(records + "S9030000FC\r\n"), true},         // longer
        {big, write(big + records), false},                         // grown while sending
        {big, write(big.substr(0, 100)), false},                    // cut short while sending
        {records, [this] { fs::remove(path); }, true},              // gone
        {big, replaceByFolder, false},                              // a folder now
    };
    for (const auto& c : cases) {
        NewRun();
        fs::remove_all(path);
        Firmware(c.content);
        Connect();
        Tick(); // checked; bootloader and erases are off
        while (state.nUpdateState != UploadStart) {
            Tick();
        }
        if (c.beforeUploadStarts) {
            c.change();
        }
        Tick(2); // first record sent
        if (!c.beforeUploadStarts) {
            c.change();
        }
        for (int i = 0;
             i < 5000 && state.nUpdateState >= UploadStart && state.nUpdateState <= ConfirmRun;
             ++i) {
            Tick();
            if (fields.nRecordsPassed < fields.nRecordsSent) {
                engine.RecData("Sx Pass ");
            }
        }
        std::string expected;
        for (std::size_t at = 0; (at = c.content.find("S1", at)) != std::string::npos; ++at) {
            expected += c.content.substr(at, c.content.find('\r', at) - at) + "\r";
        }
        const std::string sent = Sent();
        EXPECT_EQ(sent.substr(0, sent.find("RUNANYWAY")), expected);
        ASSERT_EQ(runLog.runs.size(), 1u);
        EXPECT_EQ(runLog.runs[0].result, RunResult::Success) << runLog.runs[0].reason.value_or("");
        EXPECT_EQ(runLog.runs[0].firmware->sha256, engine.CheckedFile().summary.sha256);
        EXPECT_TRUE(box.shown.empty());
    }
    fs::remove_all(path);
}

// Once at most two records are unconfirmed the run listens on until the line
// has been quiet for a while: a late rejection or an unknown verdict still
// fails it, a late pass starts the wait again, and what stayed unconfirmed is
// on record (the count of passes, not of records sent).
TEST_F(UploadTest, LastAcknowledgementsAreListenedForUntilTheLineIsQuiet) {
    struct Step {
        const char* arrival;
        int ms; // the clock moves on by this much, then three ticks
        UpdateState state;
    };
    struct Case {
        std::vector<Step> steps;
        const char* result; // "": the run is still waiting
        std::int64_t passed, unconfirmed;
        int records = 3;              // in the file
        const char* reason = nullptr; // the record's, where the run failed
    };
    const Case cases[] = {
        {{{"Sx Pass Sx Pass Sx Pass ", 0, Finished}}, "success", 3, 0},
        {{{"Sx Pass Sx Pass ", 999, WaitAcks}, {"", 1, Finished}}, "success", 2, 1},
        {{{"Sx Pass ", 900, WaitAcks}, {"Sx Pass ", 900, WaitAcks}, {"", 100, Finished}},
         "success",
         2,
         1},
        {{{"Sx Pass ", 2000, Finished}}, "success", 1, 2},
        {{{"Sx Pass Sx Pass ", 500, WaitAcks}, {"Sx Fail ", 0, Failed}}, "failed", 2, 0},
        {{{"Sx Pass Sx Pass ", 500, WaitAcks}, {"Sx Error", 0, Failed}},
         "failed",
         2,
         0,
         3,
         "The analyser answered 1 record with neither pass nor fail."},
        {{{"", 5000, WaitAcks}}, "", 0, 0}, // three missing: no end to the wait
        // A short file: the quiet second runs from its end, however far the
        // clock stood, and a late rejection still fails it.
        {{{"", 999, WaitAcks}, {"Sx Fail ", 0, Failed}}, "failed", 0, 0, 1},
        {{{"Sx Pass ", 999, WaitAcks}, {"Sx Fail ", 0, Failed}}, "failed", 1, 0, 2},
    };
    for (const Case& c : cases) {
        NewRun();
        std::string file;
        for (int i = 0; i < c.records; ++i) {
            file += "S1030000FC\r\n";
        }
        Firmware(file);
        clock += std::chrono::hours(5);
        Connect();
        while (state.nUpdateState != WaitAcks) {
            Tick();
        }
        for (const Step& step : c.steps) {
            if (*step.arrival != '\0') {
                Arrive(step.arrival);
            }
            clock += std::chrono::milliseconds(step.ms);
            Tick(3);
            EXPECT_EQ(state.nUpdateState, step.state) << step.arrival << " +" << step.ms;
        }
        box.shown.clear();
        EXPECT_EQ(Sent().find("RUNANYWAY") != std::string::npos,
                  std::string(c.result) == "success");
        EXPECT_FALSE(engine.FirmwareOpen()); // every record went: the image is let go
        if (*c.result == '\0') {
            EXPECT_TRUE(runLog.runs.empty());
            engine.AbandonRun();
            continue;
        }
        ASSERT_EQ(runLog.runs.size(), 1u);
        EXPECT_STREQ(RecordText(runLog.runs[0].result), c.result);
        EXPECT_EQ(runLog.runs[0].recordsSent, c.records);
        if (c.reason != nullptr) {
            EXPECT_EQ(runLog.runs[0].reason, c.reason);
        }
        EXPECT_EQ(runLog.runs[0].recordsPassed, c.passed);
        EXPECT_EQ(runLog.runs[0].recordsUnconfirmed, c.unconfirmed);
        EXPECT_EQ(nlohmann::json::parse(ToJsonLine(runLog.runs[0]))["records_unconfirmed"],
                  c.unconfirmed);
    }
}

TEST_F(UploadTest, AbandonedUploadClosesTheFileAndReadsNoMore) {
    Firmware("S1030000FC\r\nS1030000FC\r\n");
    StartAt(UploadStart);
    Tick(2);
    engine.AbandonRun(); // Previous, or the window closed
    EXPECT_FALSE(engine.FirmwareOpen());
    ASSERT_EQ(runLog.runs.size(), 1u);
    EXPECT_EQ(runLog.runs[0].result, RunResult::Abandoned);
    Tick(); // a tick that still finds the upload state fails it
    EXPECT_EQ(state.nUpdateState, Failed);
    EXPECT_EQ(fields.nRecordsSent, 1);
}

// Nothing more is handed to the serial port or converter while more than 512
// bytes wait in its transmit queue.
TEST_F(UploadTest, SenderWaitsWhileTheTransmitQueueIsFull) {
    for (const bool converter : {false, true}) {
        SCOPED_TRACE(converter ? "converter" : "serial port");
        NewRun();
        Firmware("S1030000FC\r\nS1030000FC\r\n");
        if (converter) {
            UseConverter();
        }
        StartAt(UploadStart);
        Tick(); // opened
        const auto queue = [&](int n) {
            converter ? void(usb.txQueue = static_cast<std::uint32_t>(n))
                      : void(view.port.outBufferCount = n);
        };
        queue(513);
        Tick(3);
        EXPECT_EQ(fields.nRecordsSent, 0);
        queue(converter ? 0 : 512);
        Tick();
        EXPECT_EQ(fields.nRecordsSent, 1);
        // "S1030000FC" CR
        EXPECT_EQ(converter ? usb.written.size() : view.port.output.size(), 11u);
    }
}

} // namespace
} // namespace fw::test
