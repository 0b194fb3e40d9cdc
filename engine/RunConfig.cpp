#include "engine/RunConfig.h"

namespace fw {

void SetOperationDefaults(Operations& operations) {
    operations.bOpBootloader = kTrue;
    operations.bOpEraseFlash = kTrue;
    operations.bOpUpload = kTrue;
    operations.bOpRun = kTrue;
}

} // namespace fw
