// A bench of runs: any number of analysers flashed with the same choices,
// each one its own run (its own link, engine state, screen, time limit and
// record), all on the one event loop. Runs start in the order they were
// added, at most `jobs` at a time, and more may be added while others run; a
// run that fails, hangs or loses its link ends alone, and the next one starts
// when it has.
//
// The bench knows no terminal, widget or concrete port: each run's screen
// comes from the front end (the command line's console lines, the wizard's
// rows, a test's fake), its transport from the transport makers, time from
// the engine's clock, and what has to wait for the event loop goes through
// the front end's `post`.
#pragma once

#include "engine/RunRecord.h"
#include "run/AnalyserRun.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace fw {

// Where one run of a bench is shown: the progress view the engine draws on,
// the message boxes it raises, and the page's timer, which ticks the run from
// Load to Unload at the interval the engine sets on the view.
class IRunScreen {
public:
    virtual ~IRunScreen() = default;
    virtual IProgressView& View() = 0;
    virtual IMessageBox& Box() = 0;
    // The page's load: `tick` is called at every tick until Unload.
    virtual void Load(std::function<void()> tick) = 0;
    virtual void Unload() = 0;
};

enum class BenchPhase { Waiting, Running, Ended };

// Why a run that a stop reached before it began did not run.
inline constexpr const char* kReasonNotStarted = "stopped before it started";

// What the engine knows of an upload in progress.
struct UploadCount {
    std::int64_t sent = 0;      // records sent
    std::int64_t confirmed = 0; // records the analyser passed
    std::int64_t total = 0;     // records in the file
    std::int64_t fileBytes = 0; // length of the file
};

class Bench;

// One analyser of a bench.
class BenchRun {
public:
    BenchRun(std::size_t index, std::string name, RunConfig config)
        : index(index), name(std::move(name)), config(std::move(config)) {}

    const std::size_t index; // in the order the runs were added
    const std::string name;  // as the user named the analyser
    const RunConfig config;

    BenchPhase Phase() const { return phase_; }
    // Once ended: how, and why it is not OK (empty when it is).
    RunResult Result() const { return result_; }
    const std::string& Reason() const { return reason_; }
    // The record as the run log has it; null when none was written.
    const RunRecord* Record() const { return record_ ? &*record_ : nullptr; }
    // While it runs: the run itself and its screen (null otherwise).
    AnalyserRun* Run() const { return live_ ? live_->run.get() : nullptr; }
    IRunScreen* Screen() const { return live_ ? live_->screen.get() : nullptr; }
    UploadCount Upload() const;

private:
    friend class Bench;

    // A batch's record: tagged with the batch and the analyser, kept, and
    // appended to the bench's log.
    class Log : public IRunLog {
    public:
        Log(BenchRun& run, Bench& bench) : run_(run), bench_(bench) {}
        void Append(const RunRecord& record) override;

    private:
        BenchRun& run_;
        Bench& bench_;
    };
    // What a run holds only while it runs.
    struct Live {
        std::unique_ptr<IRunScreen> screen;
        ProgressFields fields;
        std::unique_ptr<Log> log;
        std::unique_ptr<AnalyserRun> run;
        EngineClock::time_point started{};
        bool ending = false; // its wind-up is on the way
    };

    BenchPhase phase_ = BenchPhase::Waiting;
    RunResult result_ = RunResult::NotStarted;
    std::string reason_;
    std::optional<RunRecord> record_;
    std::unique_ptr<Live> live_;
};

class Bench {
public:
    struct Services {
        TransportMakers makers;
        // The screen of a run that is about to start.
        std::function<std::unique_ptr<IRunScreen>(const BenchRun&)> makeScreen;
        // Calls the function later, from the event loop.
        std::function<void(std::function<void()>)> post;
        std::function<EngineClock::time_point()> now = [] { return EngineClock::now(); };
        IRunLog* runLog = nullptr; // null: runs are not recorded
        // The records carry the batch's id and the analyser's name.
        bool tagRecords = true;
    };
    // What the front end hears of; each may be empty.
    struct Events {
        std::function<void(BenchRun&)> started;  // loaded and connecting
        std::function<void(BenchRun&)> timedOut; // failed by its time limit
        std::function<void(BenchRun&)> ended;    // wound up: result and reason known
        std::function<void()> idle;              // started, and nothing waits or runs
    };

    explicit Bench(Services services);
    // Runs still going are stopped as Previous stops them.
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // A new analyser. Once the bench has started it starts at once when the
    // limit allows.
    BenchRun& Add(std::string name, RunConfig config);
    // At most `jobs` runs at a time; 0: no limit.
    void SetJobs(std::size_t jobs) { jobs_ = jobs; }
    // A run that has not ended this long after it started fails ("timed out").
    void SetTimeout(std::optional<EngineClock::duration> limit) { timeout_ = limit; }

    // Starts what the limit allows; the rest start as runs end.
    void Start();
    // What Previous does to one run: nothing more is sent, it is recorded as
    // abandoned and its link closes. A run still waiting will not start.
    void Stop(BenchRun& run);
    // Every run going stopped so, every waiting one left not started.
    void StopAll();

    Events on; // what the front end hears of

    const std::string& Id() const { return id_; }
    const std::deque<BenchRun>& Runs() const { return runs_; }
    std::deque<BenchRun>& Runs() { return runs_; }
    std::size_t Waiting() const { return waiting_; }
    std::size_t Running() const { return running_; }
    // Started, and nothing waits or runs.
    bool Idle() const { return started_ && waiting_ == 0 && running_ == 0; }

private:
    friend class BenchRun;

    void StartNext();
    void Launch(BenchRun& run);
    void Tick(BenchRun& run);
    // A run that has ended is wound up from the event loop, never inside the
    // tick or the arrival that ended it.
    void CheckEnd(BenchRun& run);
    void WindUp(BenchRun& run);
    void Post(std::function<void()> call);
    void AfterEnd();

    Services s_;
    std::string id_;
    std::deque<BenchRun> runs_; // stable addresses: the runs' callbacks hold them
    std::size_t next_ = 0;      // no run before this one is waiting
    std::size_t waiting_ = 0;
    std::size_t running_ = 0;
    std::size_t jobs_ = 0;
    std::optional<EngineClock::duration> timeout_;
    bool started_ = false;
    bool idleSaid_ = false;
    std::shared_ptr<char> alive_ = std::make_shared<char>(); // posted calls check it
};

// How a run stands, as a table shows it: "waiting", "running", then "OK",
// "FAILED", "NO LINK", "ABANDONED" or "NOT STARTED".
const char* OutcomeText(const BenchRun& run);

// How many runs of a bench go at once when the user does not say: at most
// kDefaultJobs, so that the one event loop keeps every run's ticks and
// time-outs on time, and at most a quarter of what `openFileLimit` leaves
// after kReservedFiles for the program itself (a run holds a port, a socket or
// a converter, and briefly a lock file); 0: no such limit.
inline constexpr std::size_t kDefaultJobs = 256;
inline constexpr std::size_t kReservedFiles = 32;
std::size_t DefaultJobs(std::size_t openFileLimit);

// A new batch id: 128 random bits as a version 4 UUID in lower case, without
// braces ("1b4e28ba-2fa1-41d2-883f-0016d3cca427").
std::string NewBatchId();

} // namespace fw
