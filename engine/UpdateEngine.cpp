#include "engine/UpdateEngine.h"

#include "engine/Rounding.h"
#include "settings/Settings.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace fw {

// Marks the engine busy for the duration of one handler; restores it on any exit.
class UpdateEngine::Busy {
public:
    explicit Busy(UpdateEngine& engine) : engine_(engine) { engine_.busy_ = true; }
    ~Busy() { engine_.busy_ = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    UpdateEngine& engine_;
};

UpdateEngine::UpdateEngine(ProgressFields& fields, RunRows& view, ILink& link, IMessageBox& box,
                           IRunLog* runLog)
    : c_{fields, view, link, box, runLog, {}, {}, {}, {}, 0, false, {}}, interpreter_(c_),
      upload_(c_), sequencer_(c_, upload_) {
}

RunRecord RecordOf(const RunConfig& config) {
    RunRecord run;
    run.started = UtcNow();
    run.connection.type = TypeCode(config.type);
    if (config.type == ConnectionType::Serial) {
        if (const std::optional<std::int16_t> port = ToInt16(config.comPort)) {
            run.connection.port = *port;
        }
    } else if (config.type == ConnectionType::Usb) {
        run.connection.usbSerial = config.usbSerial;
    }
    for (const Operation& op : kOperations) {
        run.operations.emplace_back(op.caption, IsSet(config.operations.*op.flag));
    }
    return run;
}

void UpdateEngine::ConnectToAnalyser(const RunConfig& config) {
    c_.FinishRun(RunResult::Abandoned, std::nullopt); // a run still open was left behind
    c_.run = RecordOf(config);
    // The run keeps to the choices it was handed, whatever is saved meanwhile.
    c_.config = config;
    c_.checked = FirmwareCheck{};
    c_.uploadReached = false;
    c_.runActive = true;
    c_.view.Reset();
    // What the analyser said before this run answers nothing in it.
    c_.state.sReplyBuffer.clear();

    const LinkOpened opened = c_.link.ConnectToAnalyser(c_.config);
    if (opened.analyserKind != 0) {
        c_.state.nAnalyserKind = opened.analyserKind; // a Merlane converter
    }
    if (opened.failure) {
        c_.FinishRun(RunResult::NoLink, *opened.failure); // the state stays as it was
        return;
    }
    c_.state.nUpdateState = UpdateState::Start;
}

// ---------------------------------------------------------------------------
// Entry points and the re-entrancy guard

void UpdateEngine::AFTimer1_Timer() {
    if (busy_) {
        return; // a message box is open inside a handler: this tick is skipped
    }
    {
        Busy busy(*this);
        polling_ = true;
        c_.link.Poll();
        polling_ = false;
        sequencer_.Tick();
    }
    RunDeferred();
}

void UpdateEngine::RecData(const std::string& sIncommingData) {
    if (busy_ && std::exchange(polling_, false)) {
        // The tick's poll of a converter (one hand-over a poll).
        interpreter_.Interpret(sIncommingData);
        return;
    }
    if (busy_) {
        deferred_.emplace_back(sIncommingData);
        return;
    }
    {
        Busy busy(*this);
        interpreter_.Interpret(sIncommingData);
    }
    RunDeferred();
}

void UpdateEngine::RunDeferred() {
    while (!busy_ && !deferred_.empty()) {
        const std::string item = std::move(deferred_.front());
        deferred_.pop_front();
        Busy busy(*this);
        interpreter_.Interpret(item);
    }
}

void UpdateEngine::AbandonRun() {
    c_.file.Close();
    c_.FinishRun(RunResult::Abandoned, std::nullopt);
}

void UpdateEngine::Stop() {
    c_.state.nUpdateState = UpdateState::Idle;
    AbandonRun();
}

void UpdateEngine::FailRun(const std::string& reason) {
    if (!c_.runActive) {
        return;
    }
    const UpdateState state = c_.state.nUpdateState;
    if (state >= UpdateState::Start && state <= UpdateState::ConfirmRun) {
        c_.MarkFailed(RowOf(state));
    }
    c_.link.CloseLink();
    c_.EnterFailed(reason);
}

void UpdateEngine::FormActivate() {
    const double width = RoundHalfEven(c_.view.BarWidth(ProgressBar::Bar1));
    c_.f.nProgressWidth = static_cast<std::int16_t>(
        std::clamp(width, static_cast<double>(std::numeric_limits<std::int16_t>::min()),
                   static_cast<double>(std::numeric_limits<std::int16_t>::max())));
    c_.view.SetBarVisible(ProgressBar::Bar1, false);
    c_.view.SetBarVisible(ProgressBar::Bar2, false);
}

} // namespace fw
