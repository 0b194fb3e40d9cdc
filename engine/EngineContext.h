// What the three parts of the update engine (sequencer, reply interpreter,
// record upload) share: the run's own state, the page's fields and view, the
// link, the message boxes, the firmware file being sent and the
// record of the run in progress.
#pragma once

#include "engine/FirmwareCheck.h"
#include "engine/FirmwareFile.h"
#include "engine/LinkPort.h"
#include "engine/MessageBox.h"
#include "engine/ProgressFields.h"
#include "engine/ProgressView.h"
#include "engine/ProtocolWords.h"
#include "engine/RunConfig.h"
#include "engine/RunRecord.h"
#include "engine/RunState.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace fw {

using EngineClock = std::chrono::steady_clock;

// How long the last acknowledgements are listened for once at most two records
// are unconfirmed: a late rejection in that time still fails the run.
inline constexpr std::chrono::milliseconds kQuietTime{1000};

// A verdict with no record waiting for one (answered twice, or before the
// first record went out): the count of confirmed records can no longer be
// trusted.
inline constexpr const char* kMsgTooManyVerdicts =
    "The analyser answered more records than were sent.";

struct EngineContext {
    ProgressFields& f;
    RunRows& view; // the run's rows, drawn on the page's view
    ILink& link;
    IMessageBox& box;
    IRunLog* runLog; // may be null: runs are not recorded

    RunState state; // the step, the reply buffer, the analyser kind

    RunConfig config;       // what the run was handed when it connected
    FirmwareFile file;      // the firmware being uploaded
    FirmwareCheck checked;  // what the check before the run found
    std::int64_t line = 0;  // lines read from `file`
    bool runActive = false; // a run record is open
    RunRecord run;
    std::function<EngineClock::time_point()> now = [] { return EngineClock::now(); };
    EngineClock::time_point lastVerdict{};          // end of the file, or the latest verdict since
    std::int32_t recordsRejected = 0;               // "Sx Fail " verdicts of this upload
    bool uploadReached = false;                     // the run came to its upload step
    const ProtocolWords& words = kAnalyserProtocol; // what the analyser says and is told

    void Ok(StatusLabel label);
    // "FAILED" in red, made visible.
    void MarkFailed(StatusLabel label);
    // The final failed state: the verify row "FAILED" in red (once the upload
    // was reached), the acknowledge bar hidden, the firmware file closed, the
    // slow interval. Repeated on every tick of state 16.
    void ShowFailed();
    // Ends the run as failed: state 16, and the run record says why.
    void EnterFailed(const std::string& reason);
    // A verdict no record waited for: the run fails (once) and says why.
    void VerdictWithoutRecord();
    // Closes the run record and appends it to the run log.
    void FinishRun(RunResult result, const std::optional<std::string>& reason);
    // A bar's width from the exact byte position in the firmware file.
    void DrawBar(ProgressBar bar);
};

inline bool IsSet(VbBool flag) {
    return flag != kFalse;
}

} // namespace fw
