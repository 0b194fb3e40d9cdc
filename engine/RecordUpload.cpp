#include "engine/RecordUpload.h"

#include "engine/RecordForm.h"

#include <algorithm>
#include <limits>

namespace fw {

bool RecordUpload::Check() {
    const std::string& path = c_.config.filename;
    // A bench checks the file once for all its runs; a single run checks it
    // here.
    c_.checked = c_.config.checked ? *c_.config.checked : CheckFirmwareFile(path);
    if (c_.runActive) {
        RunRecord::Firmware& firmware = c_.run.firmware.emplace();
        firmware.path = path;
        if (c_.checked.ok) {
            firmware.bytes = c_.checked.summary.bytes;
            firmware.sha256 = c_.checked.summary.sha256;
            firmware.records = c_.checked.summary.records;
        }
    }
    if (c_.checked.ok) {
        return true;
    }
    // The run ends here. Closing the link too means a stray banner cannot
    // restart the sequence from the idle state and erase the flash after all.
    const std::string message = RefusalMessage(c_.checked);
    c_.state.nUpdateState = UpdateState::Idle;
    c_.link.CloseLink();
    c_.MarkFailed(StatusLabel::Upload);
    c_.FinishRun(RunResult::Failed, message);
    c_.box.Show(message, MsgIcon::Critical, kTitleLoadFirmwareError);
    return false;
}

void RecordUpload::Start() {
    c_.uploadReached = true;
    // What is left in the reply buffer came before the first record, so no
    // verdict in it answers one: a whole verdict there fails the run, the rest
    // is dropped so that it cannot complete a verdict later.
    std::string& buffer = c_.state.sReplyBuffer;
    const std::size_t verdict = buffer.find(c_.words.verdictStart);
    const bool early =
        verdict != std::string::npos && buffer.size() - verdict >= c_.words.verdictLength;
    buffer.clear();
    if (early) {
        c_.f.nRecordsPassed = c_.f.nRecordsSent = c_.f.nRecordsOther = 0;
        c_.recordsRejected = 0;
        c_.MarkFailed(StatusLabel::Upload);
        c_.VerdictWithoutRecord();
        return;
    }
    if (!c_.checked.ok) {
        // An upload reached without the check at the start (the run began at
        // this state): check now, before the first record.
        FirmwareCheck check = CheckFirmwareFile(c_.config.filename);
        if (!check.ok) {
            Fail(RefusalMessage(check));
            return;
        }
        c_.checked = std::move(check);
    }
    // The bytes that were checked, not the file as it may be on disk now.
    c_.file.Open(c_.checked.image);
    c_.line = 0;
    counted_ = FirmwareSummary{};
    c_.f.nFileLength = static_cast<std::int32_t>(
        std::min<std::int64_t>(c_.file.Length(), std::numeric_limits<std::int32_t>::max()));
    c_.view.SetBarVisible(ProgressBar::Bar1, true);
    c_.view.SetBarVisible(ProgressBar::Bar2, true);
    c_.view.SetBarWidth(ProgressBar::Bar1, 0);
    c_.view.SetBarWidth(ProgressBar::Bar2, 0);
    c_.f.nRecordsPassed = 0;
    c_.f.nRecordsSent = 0;
    c_.f.nRecordsOther = 0;
    c_.recordsRejected = 0;
    c_.state.nUpdateState = UpdateState::Uploading;
}

void RecordUpload::Tick() {
    if (!c_.file.IsOpen()) {
        // The upload was abandoned while the state still said uploading.
        c_.state.nUpdateState = UpdateState::Failed;
        c_.MarkFailed(StatusLabel::Upload);
        return;
    }
    // Back-pressure: while the link still holds more than the serial control's
    // transmit buffer's worth, records would only pile up in memory (or block
    // in the converter driver); wait for the line instead (nothing is read,
    // nothing is sent).
    if (c_.link.PendingOutput() > kOutputBacklogLimit) {
        return;
    }
    if (c_.file.AtEnd()) {
        EndOfFile();
        return;
    }
    c_.DrawBar(ProgressBar::Bar1);

    std::string line;
    const FirmwareFile::ReadResult result = c_.file.ReadLine(line);
    ++c_.line;
    // The image passed the check, line by line: a line that would not pass it
    // now is a fault of the program, and nothing more goes out.
    if (result == FirmwareFile::ReadResult::TooLong || LineProblem(line, &counted_)) {
        Fail(kMsgImageDamaged);
        return;
    }
    if (result == FirmwareFile::ReadResult::End || !IsRecordLine(line)) {
        c_.view.SetTimerInterval(1);
        return;
    }
    bool sent = false;
    if (c_.state.nAnalyserKind != c_.words.binaryKind) {
        sent = c_.link.SendText(TextForm(line));
    } else if (const std::optional<std::vector<std::uint8_t>> record = BinaryForm(line)) {
        sent = c_.link.SendBytes(*record);
    }
    if (!sent && c_.link.Lost()) {
        return; // not on the line: the next tick reports the lost link
    }
    ++c_.f.nRecordsSent;
    c_.view.SetTimerInterval(2);
}

void RecordUpload::EndOfFile() {
    c_.file.Close();
    c_.lastVerdict = c_.now();
    c_.state.nUpdateState = UpdateState::WaitAcks;
    c_.Ok(StatusLabel::Upload);
    c_.view.SetVisible(StatusLabel::Upload, true);
    c_.view.SetBarVisible(ProgressBar::Bar1, false);
}

void RecordUpload::Fail(const std::string& message) {
    c_.file.Close();
    c_.MarkFailed(StatusLabel::Upload);
    c_.view.SetBarVisible(ProgressBar::Bar1, false); // it covers the Upload status
    c_.EnterFailed(message);
    c_.box.Show(message, MsgIcon::Critical, kTitleLoadFirmwareError);
}

} // namespace fw
