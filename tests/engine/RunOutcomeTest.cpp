#include "tests/engine/EngineRig.h"
#include "tests/settings/TestHelpers.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <functional>
#include <sstream>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace fw::test {
namespace {

struct RunOutcomeTest : EngineRig {
    RunOutcomeTest() {
        SetOperationDefaults(config.operations);
        Firmware("S0030000FC\r\nS1051000AA55EB\r\nS1030000FC\r\nS9030000FC\r\n");
    }
    void ExpectLost(StatusLabel row, const std::string& name) {
        EXPECT_EQ(state.nUpdateState, Failed);
        ExpectLabel(StatusLabel::Connection, "FAILED", kRed);
        ExpectLabel(row, "FAILED", kRed);
        ExpectBox(std::string(kMsgLinkLost) + "\n\n" + name, MsgIcon::Critical, kAppTitle);
        ASSERT_EQ(runLog.runs.size(), 1u);
        EXPECT_EQ(runLog.runs[0].result, RunResult::Failed);
        // The page (and the console) show every row as the record has it.
        for (int i = 0; i < kStatusLabelCount; ++i) {
            EXPECT_EQ(view.labels[static_cast<std::size_t>(i)].caption,
                      runLog.runs[0].rows[static_cast<std::size_t>(i)].second)
                << kRowCaptions[static_cast<std::size_t>(i)];
        }
    }
};

TEST_F(RunOutcomeTest, SuccessfulRunIsRecordedWithWhatWentWhere) {
    Set(kComPort, "7");
    Connect();
    Play([this] { return state.nUpdateState == WaitAcks; });
    view.At(StatusLabel::Upload).caption = "SKIPPED"; // the view is drawn on, never read back
    Play([this] { return state.nUpdateState == Finished; });
    ASSERT_EQ(runLog.runs.size(), 1u);
    const nlohmann::json j = nlohmann::json::parse(ToJsonLine(runLog.runs[0]));
    EXPECT_EQ(j["result"], "success");
    EXPECT_TRUE(j["reason"].is_null());
    EXPECT_EQ(j["connection"],
              (nlohmann::json{{"type", "COM"}, {"port", 7}, {"device", "/dev/ttyFAKE"}}));
    EXPECT_EQ(j["bootloader"], "1.2");
    EXPECT_EQ(j["kind"], 2);
    EXPECT_EQ(j["firmware"]["path"], path);
    EXPECT_EQ(j["firmware"]["records"], 2);
    EXPECT_EQ(j["firmware"]["bytes"], 52);
    EXPECT_EQ(j["firmware"]["sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(j["operations"]["Erase EEPROM"], false);
    EXPECT_EQ(j["operations"]["Upload Firmware"], true);
    EXPECT_EQ(j["rows"]["Upload Firmware"], "OK");
    EXPECT_EQ(j["rows"]["Verify Upload"], "OK");
    EXPECT_EQ(j["rows"]["Erase RAM"], "SKIPPED");
    EXPECT_EQ(j["records_sent"], 2);
    EXPECT_EQ(j["records_passed"], 2);
    EXPECT_EQ(j["records_other"], 0);
    EXPECT_LE(j["started"].get<std::string>(), j["ended"].get<std::string>());
    engine.AbandonRun(); // Previous after the end records nothing more
    EXPECT_EQ(runLog.runs.size(), 1u);
}

// Verdicts belong to records: one with no record waiting for it (a second
// answer, or one before the first record) fails the run, and text from before
// the upload never confirms a record. Passes, rejections and other answers
// never outnumber the records sent.
TEST_F(RunOutcomeTest, VerdictsCountOnlyForRecordsWaitingForOne) {
    struct Case {
        const char* name;
        const char* verdict;
        std::int32_t withhold;
        const char* afterEcho;
        bool beforeFirstRecord; // one more "Sx Pass " as the upload starts
    };
    const Case cases[] = {
        {"EveryVerdictTwice", "Sx Pass Sx Pass ", 0, "", false},
        {"StrayPassAfterTheEchoLastWithheld", "Sx Pass ", 1, "Sx Pass ", false},
        {"VerdictBeforeTheFirstRecord", "Sx Pass ", 0, "", true},
        {"FailTwice", "Sx Fail Sx Fail ", 0, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewRun();
        verdict = c.verdict;
        withhold = c.withhold;
        afterEcho = c.afterEcho;
        Connect();
        Play([&] {
            if (c.beforeFirstRecord && state.nUpdateState == Uploading &&
                fields.nRecordsSent == 0) {
                Arrive("Sx Pass ");
            }
            return state.nUpdateState == Finished || state.nUpdateState == Failed;
        });
        clock += kQuietTime * 5;
        Tick(3);
        EXPECT_EQ(state.nUpdateState, Failed);
        EXPECT_EQ(Sent().find("RUNANYWAY"), std::string::npos);
        ExpectLabel(StatusLabel::Verify, "FAILED", kRed);
        ASSERT_EQ(runLog.runs.size(), 1u);
        const RunRecord& run = runLog.runs[0];
        EXPECT_EQ(run.result, RunResult::Failed);
        EXPECT_LE(run.recordsPassed + run.recordsOther, run.recordsSent);
        if (std::string(c.verdict) != "Sx Fail Sx Fail ") {
            EXPECT_EQ(run.reason, kMsgTooManyVerdicts);
            ASSERT_FALSE(box.shown.empty());
            EXPECT_EQ(box.shown.back().text, kMsgTooManyVerdicts);
        }
    }
}

// The line goes away mid-run (the serial device vanishes, the converter fails
// its poll): the run fails at once naming the line, sends nothing more and
// never starts the firmware, also while the upload is being confirmed.
TEST_F(RunOutcomeTest, LineLostMidRunEndsTheRun) {
    const struct {
        bool converter;
        UpdateState at;
        std::int32_t sent; // records out when the line goes
        StatusLabel row;   // failed with the connection
        const char* name;
    } cases[] = {
        {false, Uploading, 1, StatusLabel::Upload, "COM1 (/dev/ttyFAKE)"},
        {false, ConfirmRun, 2, StatusLabel::RUN, "COM1 (/dev/ttyFAKE)"},
        {true, ErasingFlash, 0, StatusLabel::Erase, "USB converter A1 (Analyser A)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.at));
        NewRun();
        if (c.converter) {
            UseConverter();
        }
        Connect();
        ASSERT_TRUE(
            Play([&] { return state.nUpdateState == c.at && fields.nRecordsSent == c.sent; }));
        c.converter ? usb.open.clear()
                    : view.port.Vanish(); // unplugged: every call on the handle fails
        view.port.output.clear();
        usb.written.clear();
        Tick(3);
        ExpectLost(c.row, c.name);
        EXPECT_EQ(fields.nRecordsSent, c.sent);
        EXPECT_TRUE(view.port.output.empty());
        EXPECT_TRUE(usb.written.empty());
        EXPECT_FALSE(link.IsOpen());
        if (c.converter) {
            EXPECT_EQ(runLog.runs[0].connection.usbSerial, "A1");
        }
        // Only a run that came to its upload has something unverified.
        const bool uploaded = c.at >= Uploading;
        ExpectLabel(StatusLabel::Verify, uploaded ? "FAILED" : "", uploaded ? kRed : Rgb{});
    }
}

// A front end's time limit ends a run that waits for ever on a silent analyser.
TEST_F(RunOutcomeTest, RunFailedFromOutsideClosesTheLinkAndSaysWhy) {
    Connect();
    Tick(5); // waiting for the restart, with no answer
    ASSERT_EQ(state.nUpdateState, WaitReboot);
    engine.FailRun("timed out");
    EXPECT_EQ(state.nUpdateState, Failed);
    ExpectLabel(StatusLabel::Bootloader, "FAILED", kRed);
    EXPECT_FALSE(view.port.open);
    ASSERT_EQ(runLog.runs.size(), 1u);
    EXPECT_EQ(runLog.runs[0].reason, "timed out");
    engine.FailRun("again"); // nothing more once the run has ended
    EXPECT_EQ(runLog.runs.size(), 1u);
}

// What lies at the log's path before a run ends, and what the record does to it.
struct RunLogCase {
    const char* name;
    std::function<void(const std::string& path)> prepare;
    long growBy; // bytes the file may still grow by (a full disk); -1: no limit
    bool written;
    const char* error = ""; // part of what a failed record says
};

const RunLogCase kRunLogCases[] = {
    // (A new file in new folders, and one record after another: every e2e test.)
    // A line cut short by hand or by a crash: the record starts a line of its own.
    {"NoFinalLineFeed", [](const std::string& p) { WriteAll(p, "{\"result\":\"failed\"}"); }, -1,
     true},
    {"Directory", [](const std::string& p) { std::filesystem::create_directories(p); }, -1, false},
#ifndef _WIN32
    // Nobody reads the FIFO: a blocking open would wait for ever.
    {"FifoWithoutReader",
     [](const std::string& p) {
         std::filesystem::create_directories(std::filesystem::path(p).parent_path());
         ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
     },
     -1, false, "is not a regular file"},
    {"DiskFullPartWay", [](const std::string& p) { WriteAll(p, "{\"result\":\"failed\"}\n"); }, 10,
     false},
    {"DiskFull", [](const std::string& p) { WriteAll(p, "{\"result\":\"failed\"}\n"); }, 0, false},
#endif
};

void PrintTo(const RunLogCase& c, std::ostream* os) {
    *os << c.name;
}

class RunLogWrite : public ::testing::TestWithParam<RunLogCase> {};

TEST_P(RunLogWrite, HoldsWholeLinesOnly) {
    const RunLogCase& c = GetParam();
    const std::string dir = ::testing::TempDir() + "fw_runlog_" + std::to_string(::getpid());
    const std::string file = dir + "/a/b/runs.jsonl";
    std::filesystem::remove_all(dir);
    c.prepare(file);
    const bool regular = std::filesystem::is_regular_file(file);
    const std::string before = regular ? ReadAll(file) : "";
    RunRecord record;
    record.result = RunResult::Success;
    const std::string line = ToJsonLine(record);

    std::string error;
#ifndef _WIN32
    // A deadline: a run log that blocks ends this test program.
    ::alarm(10);
    struct rlimit saved {};
    void (*savedXfsz)(int) = SIG_DFL;
    if (c.growBy >= 0) {
        // Writes past the limit are cut short or fail with EFBIG, as on a full disk.
        savedXfsz = ::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        struct rlimit limit = saved;
        limit.rlim_cur = static_cast<rlim_t>(before.size()) + static_cast<rlim_t>(c.growBy);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    error = AppendLine(file, line);
    if (c.growBy >= 0) {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, savedXfsz);
    }
    ::alarm(0);
#else
    error = AppendLine(file, line);
#endif

    if (!c.written) {
        EXPECT_NE(error, "");
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(regular ? ReadAll(file) : "", before) << "a failed record left bytes behind";
    } else {
        EXPECT_EQ(error, "");
        FileRunLog(file).Append(record); // the file's own writer, once more
        const std::string after = ReadAll(file);
        ASSERT_EQ(after.substr(0, before.size()), before);
        std::istringstream lines(after);
        std::vector<nlohmann::json> runs;
        for (std::string text; std::getline(lines, text);) {
            runs.push_back(nlohmann::json::parse(text, nullptr, false));
            EXPECT_FALSE(runs.back().is_discarded()) << "not one JSON line: " << text;
        }
        ASSERT_EQ(runs.size(), before.empty() ? 2u : 3u) << after;
        EXPECT_EQ(runs.back()["result"], "success");
        EXPECT_EQ(after.back(), '\n');
    }
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunLogWrite, ::testing::ValuesIn(kRunLogCases),
                         [](const auto& info) { return std::string(info.param.name); });

#ifdef _WIN32
TEST(RunLogFile, DefaultPlaceIsBelowLocalAppData) {
    ASSERT_EQ(::_putenv_s("LOCALAPPDATA", "C:\\Users\\lab\\AppData\\Local"), 0);
    EXPECT_EQ(DefaultRunLogPath(),
              "C:\\Users\\lab\\AppData\\Local\\Tarnvel\\Flashwright\\runs.jsonl");
}
#else
TEST(RunLogFile, DefaultPlaceFollowsXdgStateHome) {
    const char* saved = std::getenv("XDG_STATE_HOME");
    const std::string keep = saved != nullptr ? saved : "";
    // (An absolute one is followed: every CliE2e test's run log.)
    ::setenv("XDG_STATE_HOME", "relative", 1);
    EXPECT_EQ(DefaultRunLogPath(),
              std::string(std::getenv("HOME")) + "/.local/state/Tarnvel/Flashwright/runs.jsonl");
    saved != nullptr ? ::setenv("XDG_STATE_HOME", keep.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
}
#endif

} // namespace
} // namespace fw::test
