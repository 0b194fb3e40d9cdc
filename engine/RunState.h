// The state one run owns: the step of the update sequence, the analyser text
// not yet consumed and the kind of analyser found. Each run's engine holds its
// own; nothing of it is shared between runs.
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
