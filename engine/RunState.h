// The state of a run: the step of the update sequence, the analyser text not
// yet consumed and the kind of analyser found. Each engine holds its own, so
// runs side by side (a bench) share nothing. One engine's runs follow each
// other, and the analyser kind stays from one to the next, as it always has in
// the wizard: a run without "Enter bootloader" sends its records in the form
// the last banner (or converter) of that engine told. The step and the reply
// buffer start afresh with every run.
#pragma once

#include <cstdint>
#include <string>

namespace fw {

// The steps of the update sequence, in their order (other parts of the
// program name them by these numbers, 0 to 16).
enum class UpdateState : std::int32_t {
    Idle = 0,
    Start = 1,
    WaitReboot = 2,
    EnterBootloader = 3,
    WaitBanner = 4,
    EraseFlash = 5,
    ErasingFlash = 6,
    EraseEeprom = 7,
    ErasingEeprom = 8,
    EraseRam = 9,
    ErasingRam = 10,
    UploadStart = 11,
    Uploading = 12,
    WaitAcks = 13,
    ConfirmRun = 14,
    Finished = 15,
    Failed = 16,
};

struct RunState {
    UpdateState nUpdateState = UpdateState::Idle;
    std::string sReplyBuffer;       // text received and not yet consumed
    std::int32_t nAnalyserKind = 0; // 2: records go out in binary form
};

} // namespace fw
