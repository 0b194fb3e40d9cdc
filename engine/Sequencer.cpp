#include "engine/Sequencer.h"

#include "engine/Rounding.h"

#include <algorithm>
#include <vector>

namespace fw {

namespace {

// How often a device that vanished during the analyser's restart is looked
// for again, in ticks of nTick (2 a tick: every 10th tick).
constexpr int kReopenEvery = 20;

} // namespace

StatusLabel RowOf(UpdateState state) {
    if (state <= UpdateState::WaitBanner) {
        return StatusLabel::Bootloader;
    }
    for (const EraseStep& step : kAnalyserProtocol.erase) {
        if (state == step.decide || state == step.erasing) {
            return step.label;
        }
    }
    if (state <= UpdateState::Uploading) {
        return StatusLabel::Upload;
    }
    return state == UpdateState::WaitAcks ? StatusLabel::Verify : StatusLabel::RUN;
}

int DotCount(std::int16_t nTick) {
    return std::max(0, static_cast<int>(RoundHalfEven(nTick / 100.0)));
}

void Sequencer::Tick() {
    const int tick = c_.f.nTick + 2;
    c_.f.nTick = static_cast<std::int16_t>(tick == 600 ? 0 : tick);
    if (!LinkHeld()) {
        return;
    }

    const UpdateState state = c_.state.nUpdateState;
    switch (state) {
    case UpdateState::Start:
        Start();
        return;
    case UpdateState::WaitReboot:
        c_.view.SetTimerInterval(10);
        c_.link.SendText(std::string(c_.words.restartPoll));
        c_.view.SetCaption(StatusLabel::Bootloader, Dots("Waiting for Reboot"));
        return;
    case UpdateState::EnterBootloader:
        c_.view.SetTimerInterval(10);
        c_.link.SendText(std::string(c_.words.enterBootloader));
        c_.state.nUpdateState = UpdateState::WaitBanner;
        return;
    case UpdateState::UploadStart:
        if (IsSet(c_.config.operations.bOpUpload)) {
            upload_.Start();
        } else {
            Skip(StatusLabel::Upload, UpdateState::ConfirmRun);
        }
        return;
    case UpdateState::Uploading:
        upload_.Tick();
        return;
    case UpdateState::WaitAcks:
        c_.view.SetTimerInterval(1);
        WaitForAcks();
        return;
    case UpdateState::ConfirmRun:
        ConfirmAndRun();
        return;
    case UpdateState::Finished:
        c_.Ok(StatusLabel::RUN);
        return;
    case UpdateState::Failed:
        c_.ShowFailed();
        return;
    default:
        break;
    }
    for (const EraseStep& step : c_.words.erase) {
        if (state == step.decide) {
            if (IsSet(c_.config.operations.*step.flag)) {
                c_.state.nUpdateState = step.erasing;
                c_.link.SendText(std::string(step.command));
            } else {
                Skip(step.label, step.next);
            }
        } else if (state == step.erasing) {
            c_.view.SetCaption(step.label, Dots("Erasing."));
        }
    }
    // Idle and waiting for the banner do nothing more.
}

bool Sequencer::LinkHeld() {
    const UpdateState state = c_.state.nUpdateState;
    if (state < UpdateState::Start || state > UpdateState::ConfirmRun || !c_.link.Lost()) {
        return true;
    }
    if (state == UpdateState::WaitReboot && c_.link.Reconnects()) {
        // An analyser with a USB serial interface re-enumerates when it
        // restarts: take its device back as soon as it is there again.
        if (c_.f.nTick % kReopenEvery == 0) {
            c_.link.Reopen();
        }
        return true;
    }
    LinkLost();
    return false;
}

void Sequencer::LinkLost() {
    const StatusLabel row = RowOf(c_.state.nUpdateState);
    const std::string message = std::string(kMsgLinkLost) + "\n\n" + c_.link.Name();
    c_.link.CloseLink();
    c_.MarkFailed(StatusLabel::Connection);
    c_.MarkFailed(row);
    if (row == StatusLabel::Upload) {
        c_.view.SetBarVisible(ProgressBar::Bar1, false); // it covers the Upload status
    }
    c_.EnterFailed(message);
    c_.box.Show(message, MsgIcon::Critical, kAppTitle);
}

std::string Sequencer::Dots(const std::string& text) const {
    return text + std::string(static_cast<std::size_t>(DotCount(c_.f.nTick)), '.');
}

void Sequencer::Skip(StatusLabel label, UpdateState next) {
    c_.view.SetCaption(label, "SKIPPED");
    c_.state.nUpdateState = next;
}

void Sequencer::Start() {
    const ConnectPoll connect = c_.link.PollConnect();
    switch (connect.state) {
    case LinkConnect::Connecting:
        return;
    case LinkConnect::Failed:
        c_.state.nUpdateState = UpdateState::Idle;
        c_.FinishRun(RunResult::NoLink, connect.failure);
        return;
    case LinkConnect::Ready:
        break;
    }
    if (!connect.warning.empty()) {
        c_.run.connection.warning = connect.warning;
    }
    // A file that can be known bad is refused before anything is sent: the
    // analyser would otherwise be restarted and erased with nothing to load.
    if (IsSet(c_.config.operations.bOpUpload) && !upload_.Check()) {
        return;
    }
    if (IsSet(c_.config.operations.bOpBootloader)) {
        c_.link.SendText(std::string(c_.words.resetCommand));
        c_.link.SendBytes({c_.words.resetRequest.begin(), c_.words.resetRequest.end()});
        c_.state.nUpdateState = UpdateState::WaitReboot;
    } else {
        Skip(StatusLabel::Bootloader, UpdateState::EraseFlash);
    }
}

void Sequencer::WaitForAcks() {
    const std::int64_t sent = c_.f.nRecordsSent;
    const std::int64_t passed = c_.f.nRecordsPassed;
    if (passed + c_.f.nRecordsOther >= sent) {
        c_.state.nUpdateState = UpdateState::ConfirmRun; // every record has its verdict
        return;
    }
    // Up to two records may stay unacknowledged: a bootloader may withhold its
    // last answers while it writes them. They are listened for until the line
    // has been quiet for a while, so that a late rejection still fails the run
    // (the reply interpreter reads verdicts in this state too).
    if (passed >= sent - 2 && c_.now() - c_.lastVerdict >= kQuietTime) {
        c_.state.nUpdateState = UpdateState::ConfirmRun;
    }
}

void Sequencer::ConfirmAndRun() {
    c_.view.SetTimerInterval(10);
    c_.view.SetBarVisible(ProgressBar::Bar2, false);
    if (c_.f.nRecordsOther > 0) {
        // A record the analyser answered with neither pass nor fail was not
        // confirmed: the firmware is not started.
        c_.link.CloseLink();
        const std::int32_t n = c_.f.nRecordsOther;
        c_.EnterFailed("The analyser answered " + std::to_string(n) +
                       (n == 1 ? " record" : " records") + " with neither pass nor fail.");
        return;
    }
    if (c_.view.Row(StatusLabel::Upload) == "SKIPPED") {
        c_.view.SetCaption(StatusLabel::Verify, "SKIPPED");
        c_.view.SetForeColor(StatusLabel::Verify, kBlack);
    } else {
        c_.Ok(StatusLabel::Verify);
    }
    c_.view.SetVisible(StatusLabel::Verify, true);
    if (IsSet(c_.config.operations.bOpRun)) {
        c_.state.nUpdateState = UpdateState::Finished;
        c_.link.SendText(std::string(c_.words.runCommand));
        c_.Ok(StatusLabel::RUN);
    } else {
        c_.view.SetCaption(StatusLabel::RUN, "SKIPPED");
        c_.state.nUpdateState = UpdateState::Idle;
    }
    c_.link.CloseLink();
    c_.FinishRun(RunResult::Success, std::nullopt);
}

} // namespace fw
