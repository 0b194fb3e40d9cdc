// The update engine of the progress page: the timer-driven sequencer that walks
// the analyser's bootloader through the chosen operations, the interpreter of
// the bootloader's replies, and the upload of the firmware records, sharing
// one EngineContext. This class is their entry points.
//
// Everything runs on the UI thread. Message boxes are modal and run an event
// loop, so a timer tick or a receive event can be delivered while one is open
// inside a tick or inside RecData. Such a tick is skipped; text that arrives
// meanwhile is kept and handled as soon as the outer handler has finished.
// RecData is never re-entered.
#pragma once

#include "engine/EngineContext.h"
#include "engine/RecordUpload.h"
#include "engine/ReplyInterpreter.h"
#include "engine/Sequencer.h"

#include <deque>
#include <optional>
#include <string>

namespace fw {

// The record a run with these choices starts with: when, what it connects to
// and which operations it does.
RunRecord RecordOf(const RunConfig& config);

class UpdateEngine {
public:
    // `runLog` receives the record of every run; null: runs are not recorded.
    // `rows` keeps the run's rows and draws them on the page's view.
    UpdateEngine(ProgressFields& fields, RunRows& rows, ILink& link, IMessageBox& box,
                 IRunLog* runLog = nullptr);
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    // Starts a run with the choices it is handed: opens the record of it, then
    // the connection they name (which sets state 1 when the link is ready).
    void ConnectToAnalyser(const RunConfig& config);
    // One tick of the page's timer: poll the link (what waits in a converter
    // is interpreted first), then act on the state.
    void AFTimer1_Timer();
    // Everything that arrives on the link comes in here: appends it to the
    // reply buffer and interprets it.
    void RecData(const std::string& sIncommingData);
    // The run was left (Previous, window closed): the firmware file is closed
    // and a run still under way is recorded as abandoned.
    void AbandonRun();
    // Previous: the sequence stops (state 0) and the run is left as AbandonRun
    // leaves it.
    void Stop();
    // Ends a run still under way as failed, for a reason from outside the
    // engine (a front end's time limit): the link and the file are closed, the
    // row of the step in progress reads "FAILED", the run record says why.
    void FailRun(const std::string& reason);
    // The clock the wait for the last acknowledgements is measured with.
    void SetClock(std::function<EngineClock::time_point()> now) { c_.now = std::move(now); }
    // The page became active: note the full bar width, hide both bars.
    void FormActivate();

    // The run's own state: its step, the reply buffer and the analyser kind.
    // The engine moves it on; a test may put a run into a step.
    RunState& State() { return c_.state; }
    const RunState& State() const { return c_.state; }
    bool FirmwareOpen() const { return c_.file.IsOpen(); }
    // What the check of the firmware file found at the start of the last run.
    const FirmwareCheck& CheckedFile() const { return c_.checked; }
    // The record of the last run (complete once it has ended).
    const RunRecord& LastRun() const { return c_.run; }
    bool RunActive() const { return c_.runActive; }

private:
    class Busy;

    void RunDeferred();

    EngineContext c_;
    ReplyInterpreter interpreter_;
    RecordUpload upload_;
    Sequencer sequencer_;

    bool busy_ = false;
    // The tick is polling the link: what it hands over is the tick's own and
    // is interpreted at once.
    bool polling_ = false;
    // Text that arrived while a handler was busy.
    std::deque<std::string> deferred_;
};

} // namespace fw
