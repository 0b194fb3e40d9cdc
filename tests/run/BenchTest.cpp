// A bench of runs in this process: every COM port a scriptable serial control
// whose far end is the simulated analyser's own protocol, the engine's clock
// and the event loop's posted calls in the test's hands. Whole batches run in
// milliseconds.
#include "run/Bench.h"
#include "tests/support/FakeProgressView.h"
#include "tests/support/FakeUsbDriver.h"
#include "tests/support/RecordingMessageBox.h"
#include "tools/AnalyserProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

namespace fw::test {
namespace {

using namespace std::chrono_literals;

// A run's screen: the recording view and boxes; its tick is the test's to
// call while it is on the rig's list of screens.
struct FakeScreen : IRunScreen {
    explicit FakeScreen(std::vector<FakeScreen*>& list) : list_(list) { list_.push_back(this); }
    ~FakeScreen() override { std::erase(list_, this); }
    IProgressView& View() override { return view; }
    IMessageBox& Box() override { return box; }
    void Load(std::function<void()> t) override { tick = std::move(t); }
    void Unload() override { tick = nullptr; }
    FakeProgressView view;
    RecordingMessageBox box;
    std::function<void()> tick;

private:
    std::vector<FakeScreen*>& list_;
};

struct BenchRig : ::testing::Test {
    // One analyser on the far end of COM `number`'s line.
    struct Line {
        FakeSerialPort port;
        std::unique_ptr<sim::AnalyserProtocol> analyser;
        std::string heard; // every byte the bench sent it
    };

    // The serial control a run gets: the line its port number names.
    class BankPort : public ISerialPort {
    public:
        explicit BankPort(BenchRig& rig) : rig_(rig) {}
        ~BankPort() override {
            if (line_ != nullptr) {
                line_->port.onComm = nullptr;
            }
        }
        CommError SetCommPort(std::int16_t n) override {
            if (rig_.lines.count(n) == 0) {
                return {kCommErrInvalidPort, "no such port"};
            }
            line_ = &rig_.lines[n];
            line_->port.onComm = onComm_;
            return line_->port.SetCommPort(n);
        }
        std::int16_t CommPort() const override { return line_ ? line_->port.CommPort() : 1; }
        bool PortOpen() const override { return line_ && line_->port.PortOpen(); }
        CommError SetPortOpen(bool open) override {
            return line_ ? line_->port.SetPortOpen(open) : CommError{};
        }
        void Output(const std::vector<std::uint8_t>& b) override { line_->port.Output(b); }
        std::int16_t CommEvent() const override { return kComEvReceive; }
        int InBufferCount() const override { return line_ ? line_->port.InBufferCount() : 0; }
        std::string Input() override { return line_ ? line_->port.Input() : std::string(); }
        void SetOnComm(std::function<void()> handler) override {
            onComm_ = std::move(handler);
            if (line_ != nullptr) {
                line_->port.onComm = onComm_;
            }
        }
        bool DeviceLost() const override { return line_ && line_->port.DeviceLost(); }

    private:
        BenchRig& rig_;
        Line* line_ = nullptr;
        std::function<void()> onComm_;
    };

    BenchRig() {
        std::ofstream(firmware) << "S00600004844521B\n"
                                << "S1131000000102030405060708090A0B0C0D0E0F64\n"
                                << "S1131010101112131415161718191A1B1C1D1E1F54\n"
                                << "S1131020202122232425262728292A2B2C2D2E2F44\n"
                                << "S9030000FC\n";
        bench.on.ended = [this](BenchRun& run) { ended.push_back(run.name); };
        bench.on.idle = [this] { ++idle; };
    }
    ~BenchRig() override { std::remove(firmware.c_str()); }

    // An analyser on COM `number`, added to the bench.
    BenchRun& Analyser(int number, sim::ProtocolOptions options = {}) {
        options.rebootDelay = 20ms;
        options.eraseDelay = 20ms;
        Line& line = lines[number];
        line.analyser = std::make_unique<sim::AnalyserProtocol>(options, nullptr, clock);
        RunConfig config;
        config.comPort = std::to_string(number);
        config.filename = firmware;
        SetOperationDefaults(config.operations);
        return bench.Add(ComName(number), config);
    }
    // One 10 ms step of everything: each running run's tick, each analyser
    // hearing what was sent and answering, then the event loop's posted calls.
    void Step() {
        clock += 10ms;
        for (const std::vector<FakeScreen*> live = screens; FakeScreen * screen : live) {
            if (std::find(screens.begin(), screens.end(), screen) != screens.end() &&
                screen->tick) {
                screen->tick();
            }
        }
        for (auto& [number, line] : lines) {
            const std::string sent(line.port.output.begin(), line.port.output.end());
            line.port.output.clear();
            line.heard += sent;
            line.analyser->Receive(sent, clock);
            std::string replies;
            for (const std::string& reply : line.analyser->TakeDue(clock)) {
                replies += reply;
            }
            if (!replies.empty() && line.port.PortOpen()) {
                line.port.Receive(replies);
                line.port.RaiseComm();
            }
        }
        while (!posted.empty()) {
            auto call = std::move(posted.front());
            posted.pop_front();
            call();
        }
        std::size_t open = 0;
        for (auto& [number, line] : lines) {
            open += line.port.PortOpen() ? 1 : 0;
        }
        mostOpen = std::max(mostOpen, open);
    }
    // Steps until `done` holds (false after a minute of the engine's time).
    template <typename Done> bool RunUntil(Done done) {
        for (int i = 0; i < 6000; ++i) {
            if (done()) {
                return true;
            }
            Step();
        }
        return false;
    }
    BenchRun& Run(const std::string& name) {
        return *std::find_if(bench.Runs().begin(), bench.Runs().end(),
                             [&](const BenchRun& r) { return r.name == name; });
    }
    // The image an analyser holds equals the file's three records.
    bool Flashed(int number) {
        const sim::Image& image = lines[number].analyser->ReceivedImage();
        return image.size() == 48 && image.begin()->first == 0x1000 && image.at(0x102F) == 0x2F;
    }

    const std::string firmware = ::testing::TempDir() + "fw_bench_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    EngineClock::time_point clock = EngineClock::now();
    std::map<int, Line> lines;
    std::vector<FakeScreen*> screens;
    std::deque<std::function<void()>> posted;
    struct Log : IRunLog {
        void Append(const RunRecord& record) override { runs.push_back(record); }
        std::vector<RunRecord> runs;
    } log;
    FakeUsbDriver usb;
    Bench bench{Bench::Services{
        TransportMakers{[this] { return std::make_unique<BankPort>(*this); }, nullptr, usb},
        [this](const BenchRun&) { return std::make_unique<FakeScreen>(screens); },
        [this](std::function<void()> call) { posted.push_back(std::move(call)); },
        [this] { return clock; }, &log, true}};
    std::vector<std::string> ended;
    std::size_t mostOpen = 0;
    int idle = 0;
};

TEST_F(BenchRig, JobsLimitTheLinksAndEveryRunIsRecordedOnceUnderTheBatch) {
    for (int n = 1; n <= 5; ++n) {
        Analyser(n);
    }
    bench.SetJobs(2);
    bench.Start();
    ASSERT_TRUE(RunUntil([&] { return bench.Idle(); }));
    EXPECT_EQ(mostOpen, 2u);
    EXPECT_EQ(idle, 1);
    EXPECT_EQ(ended, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "COM5"}));
    ASSERT_EQ(log.runs.size(), 5u);
    std::set<std::string> named;
    for (const RunRecord& record : log.runs) {
        EXPECT_EQ(record.result, RunResult::Success) << *record.analyser;
        EXPECT_EQ(record.batch, bench.Id());
        named.insert(*record.analyser);
        const auto json = ToJsonLine(record);
        EXPECT_NE(json.find("\"result\":\"success\""), std::string::npos);
        EXPECT_EQ(json.substr(json.rfind(",\"batch\"")),
                  ",\"batch\":\"" + bench.Id() + "\",\"analyser\":\"" + *record.analyser + "\"}");
    }
    EXPECT_EQ(named.size(), 5u);
    for (int n = 1; n <= 5; ++n) {
        EXPECT_TRUE(Flashed(n)) << n;
        EXPECT_EQ(Run(ComName(n)).Result(), RunResult::Success);
        EXPECT_EQ(Run(ComName(n)).Record()->analyser, ComName(n));
    }
    EXPECT_EQ(bench.Id().size(), 36u);
    EXPECT_EQ(bench.Id()[14], '4') << bench.Id();
}

// One analyser rejects a record, one is unplugged mid-upload, one never
// answers, one port has no device: each ends alone with its reason, and the
// good ones are not held up by the one that waits for its time limit.
TEST_F(BenchRig, EachFailureEndsItsOwnRunAlone) {
    Analyser(1);
    sim::ProtocolOptions reject;
    reject.rejectRecord = 2;
    Analyser(2, reject);
    Analyser(3);
    sim::ProtocolOptions silent;
    silent.silent = true;
    Analyser(4, silent);
    Analyser(5);
    RunConfig nowhere = bench.Runs().front().config;
    nowhere.comPort = "9";
    bench.Add("COM9", nowhere);
    bench.SetTimeout(5s);
    std::vector<std::string> timedOut;
    bench.on.timedOut = [&](BenchRun& run) { timedOut.push_back(run.name); };
    bench.Start();
    ASSERT_TRUE(RunUntil([&] { return Run("COM3").Upload().sent > 0; }));
    lines[3].port.Vanish();
    ASSERT_TRUE(RunUntil([&] {
        return Run("COM1").Phase() == BenchPhase::Ended && Run("COM5").Phase() == BenchPhase::Ended;
    }));
    EXPECT_EQ(Run("COM4").Phase(), BenchPhase::Running)
        << "the good runs waited for the silent one";
    ASSERT_TRUE(RunUntil([&] { return bench.Idle(); }));
    EXPECT_EQ(timedOut, std::vector<std::string>{"COM4"});

    struct Expect {
        const char* name;
        RunResult result;
        const char* reason;
    };
    for (const Expect& e :
         {Expect{"COM1", RunResult::Success, ""}, Expect{"COM2", RunResult::Failed, "rejected"},
          Expect{"COM3", RunResult::Failed, kMsgLinkLost},
          Expect{"COM4", RunResult::Failed, "timed out"}, Expect{"COM5", RunResult::Success, ""},
          Expect{"COM9", RunResult::NoLink, kMsgInvalidPort}}) {
        const BenchRun& run = Run(e.name);
        EXPECT_EQ(run.Result(), e.result) << e.name;
        EXPECT_NE(run.Reason().find(e.reason), std::string::npos) << e.name << ": " << run.Reason();
        ASSERT_NE(run.Record(), nullptr) << e.name;
        EXPECT_EQ(run.Record()->result, e.result) << e.name;
    }
    EXPECT_EQ(ToJsonLine(*Run("COM9").Record()).find("\"result\":\"failed\"") != std::string::npos,
              true);
    EXPECT_TRUE(Flashed(1) && Flashed(5));
    EXPECT_EQ(log.runs.size(), 6u);
}

// A stop abandons every run going and leaves the waiting ones not started;
// nothing more reaches any analyser. A run added after it all started waits
// its turn under the limit.
TEST_F(BenchRig, StopAbandonsWhatRunsAndStartsNothingMore) {
    for (int n = 1; n <= 3; ++n) {
        Analyser(n);
    }
    bench.SetJobs(2);
    bench.Start();
    Analyser(4);
    EXPECT_EQ(bench.Waiting(), 2u);
    ASSERT_TRUE(RunUntil([&] { return Run("COM1").Upload().sent > 0; }));
    bench.StopAll();
    EXPECT_EQ(idle, 1);
    const std::string heard1 =
        lines[1].heard + std::string(lines[1].port.output.begin(), lines[1].port.output.end());
    for (int i = 0; i < 50; ++i) {
        Step();
    }
    EXPECT_EQ(lines[1].heard, heard1) << "sent after the stop";
    EXPECT_FALSE(lines[1].port.PortOpen());
    EXPECT_EQ(Run("COM1").Result(), RunResult::Abandoned);
    EXPECT_EQ(Run("COM2").Result(), RunResult::Abandoned);
    EXPECT_EQ(Run("COM3").Result(), RunResult::NotStarted);
    EXPECT_EQ(Run("COM4").Result(), RunResult::NotStarted);
    EXPECT_TRUE(lines[3].heard.empty() && lines[4].heard.empty());
    // Every analyser named is on record, those that never began as such.
    ASSERT_EQ(log.runs.size(), 4u);
    for (const RunRecord& record : log.runs) {
        const bool began = *record.analyser == "COM1" || *record.analyser == "COM2";
        EXPECT_EQ(record.result, began ? RunResult::Abandoned : RunResult::NotStarted);
        EXPECT_EQ(record.batch, bench.Id());
    }
    const std::string notStarted = ToJsonLine(*Run("COM4").Record());
    EXPECT_NE(notStarted.find("\"result\":\"not_started\""), std::string::npos) << notStarted;
    EXPECT_NE(notStarted.find("\"port\":4"), std::string::npos) << notStarted;
}

} // namespace
} // namespace fw::test
