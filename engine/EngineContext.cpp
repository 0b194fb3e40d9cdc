#include "engine/EngineContext.h"

#include <algorithm>

namespace fw {

void EngineContext::Ok(StatusLabel label) {
    view.SetCaption(label, "OK");
    view.SetForeColor(label, kGreen);
}

void EngineContext::MarkFailed(StatusLabel label) {
    view.SetCaption(label, "FAILED");
    view.SetForeColor(label, kRed);
    view.SetVisible(label, true);
}

void EngineContext::ShowFailed() {
    file.Close(); // the upload is over; nothing more is read from the file
    // A run that never reached the upload verified nothing: its verify row
    // stays empty on the page, the console and the record alike.
    if (uploadReached) {
        MarkFailed(StatusLabel::Verify);
    }
    view.SetBarVisible(ProgressBar::Bar2, false);
    view.SetTimerInterval(10);
}

void EngineContext::EnterFailed(const std::string& reason) {
    state.nUpdateState = UpdateState::Failed;
    ShowFailed();
    FinishRun(RunResult::Failed, reason);
}

void EngineContext::VerdictWithoutRecord() {
    if (state.nUpdateState == UpdateState::Failed) {
        return; // the run has already failed and said why
    }
    EnterFailed(kMsgTooManyVerdicts);
    box.Show(kMsgTooManyVerdicts, MsgIcon::Critical, kAppTitle);
}

void EngineContext::FinishRun(RunResult result, const std::optional<std::string>& reason) {
    if (!runActive) {
        return;
    }
    runActive = false;
    run.ended = UtcNow();
    run.kind = state.nAnalyserKind;
    run.recordsSent = f.nRecordsSent;
    run.recordsPassed = f.nRecordsPassed;
    run.recordsOther = f.nRecordsOther;
    run.recordsUnconfirmed = std::max<std::int64_t>(
        0, std::int64_t{f.nRecordsSent} - f.nRecordsPassed - f.nRecordsOther - recordsRejected);
    run.connection.device = link.Device();
    run.rows.clear();
    for (int i = 0; i < kStatusLabelCount; ++i) {
        run.rows.emplace_back(kRowCaptions[static_cast<std::size_t>(i)],
                              view.Row(static_cast<StatusLabel>(i)));
    }
    run.result = result;
    run.reason = reason;
    if (runLog != nullptr) {
        runLog->Append(run);
    }
}

void EngineContext::DrawBar(ProgressBar bar) {
    // No width while the file is closed or empty; the bar keeps the one it has.
    if (!file.IsOpen() || f.nFileLength <= 0) {
        return;
    }
    const double fraction =
        static_cast<double>(file.Position()) / static_cast<double>(f.nFileLength);
    view.SetBarWidth(bar, fraction * f.nProgressWidth);
}

} // namespace fw
