// Shared state of the wizard: everything the pages, the update sequencer and the
// link routines hold in common for the whole run of the program.
#pragma once

#include "engine/RunState.h"
#include "platform/VbBool.h"

#include <cstdint>
#include <string>

namespace fw {

struct ModFlashwright {
    std::string sReplyBuffer; // text received and not yet consumed
    UpdateState nUpdateState = UpdateState::Idle;
    std::int32_t nAnalyserKind = 0; // 2: records go out in binary form
};

} // namespace fw
