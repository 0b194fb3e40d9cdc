// The update engine of the progress page: the timer-driven sequencer that walks
// the analyser's bootloader through the chosen operations, the interpreter of
// the bootloader's replies, and the upload of the firmware records, sharing
// one EngineContext. This class is their entry points.
//
// Everything runs on the UI thread. Message boxes are modal and run an event
// loop, so a timer tick or a receive event can be delivered while one is open
// inside a tick or inside RecData. Such a tick is skipped; such a receive event
// is remembered and handled as soon as the outer handler has finished (its
// bytes wait in the serial control meanwhile). RecData is never re-entered.
#pragma once

#include "engine/EngineContext.h"
#include "engine/RecordUpload.h"
#include "engine/ReplyInterpreter.h"
#include "engine/Sequencer.h"

#include <deque>
#include <optional>
#include <string>

namespace fw {

class UpdateEngine {
public:
    // `runLog` receives the record of every run; null: runs are not recorded.
    // `rows` keeps the run's rows and draws them on the page's view.
    UpdateEngine(ModFlashwright& mod, ProgressFields& fields, RunRows& rows, ILink& link,
                 IMessageBox& box, IRunLog* runLog = nullptr);
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    // Starts a run with the choices it is handed: opens the record of it, then
    // the connection they name (which sets state 1 when the link is ready).
    void ConnectToAnalyser(const RunConfig& config);
    // One tick of the page's timer: poll the USB link, then act on the state.
    void AFTimer1_Timer();
    // The serial control's receive event.
    void afComm1_OnComm();
    // Hands text waiting in an open converter (at most 255 bytes) to RecData.
    void CheckUSBRec();
    // Appends newly received text to the reply buffer and interprets it.
    void RecData(const std::string& sIncommingData);
    // The run was left (Previous, window closed): the firmware file is closed
    // and a run still under way is recorded as abandoned.
    void AbandonRun();
    // Ends a run still under way as failed, for a reason from outside the
    // engine (a front end's time limit): the link and the file are closed, the
    // row of the step in progress reads "FAILED", the run record says why.
    void FailRun(const std::string& reason);
    // The clock the wait for the last acknowledgements is measured with.
    void SetClock(std::function<EngineClock::time_point()> now) { c_.now = std::move(now); }
    // The page became active: note the full bar width, hide both bars.
    void FormActivate();

    bool FirmwareOpen() const { return c_.file.IsOpen(); }
    // What the check of the firmware file found at the start of the last run.
    const FirmwareCheck& CheckedFile() const { return c_.checked; }
    // The record of the last run (complete once it has ended).
    const RunRecord& LastRun() const { return c_.run; }
    bool RunActive() const { return c_.runActive; }
    // True when the last run ended because its link could not be opened, at
    // once or while its connect went on at the tick.
    bool LinkFailed() const { return c_.linkFailed; }

private:
    class Busy;

    void RunDeferred();
    void ReceiveSerial();
    void PollUsb();

    EngineContext c_;
    ReplyInterpreter interpreter_;
    RecordUpload upload_;
    Sequencer sequencer_;

    bool busy_ = false;
    // Work that arrived while a handler was busy: a serial receive event
    // (nullopt; its bytes are still in the control) or text handed to RecData.
    std::deque<std::optional<std::string>> deferred_;
};

} // namespace fw
