#include "engine/ModFlashwright.h"

namespace fw {

void SetOperationDefaults(ModFlashwright& mod) {
    mod.bOpBootloader = kTrue;
    mod.bOpEraseFlash = kTrue;
    mod.bOpUpload = kTrue;
    mod.bOpRun = kTrue;
}

} // namespace fw
