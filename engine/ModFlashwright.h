// Shared state of the wizard: everything the pages, the update sequencer and the
// link routines hold in common for the whole run of the program.
#pragma once

#include "platform/VbBool.h"

#include <cstdint>
#include <string>

namespace fw {

// Update states of the sequencer.
enum UpdateState : std::int32_t {
    kStateIdle = 0,
    kStateStart = 1,
    kStateWaitReboot = 2,
    kStateEnterBootloader = 3,
    kStateWaitBanner = 4,
    kStateEraseFlash = 5,
    kStateErasingFlash = 6,
    kStateEraseEeprom = 7,
    kStateErasingEeprom = 8,
    kStateEraseRam = 9,
    kStateErasingRam = 10,
    kStateUploadStart = 11,
    kStateUploading = 12,
    kStateWaitAcks = 13,
    kStateConfirmRun = 14,
    kStateFinished = 15,
    kStateFailed = 16,
};

struct ModFlashwright {
    std::uint32_t nUsbHandle = 0; // 0 = no converter open
    std::string sReplyBuffer;     // text received and not yet consumed
    std::int32_t nUpdateState = kStateIdle;
    std::int32_t nAnalyserKind = 0; // 2: records go out in binary form
};

} // namespace fw
