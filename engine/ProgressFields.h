// Fields of the progress page that the update engine works with. They belong to
// the page instance, not to its window, so they keep their values when the page
// is unloaded and shown again. All start at 0.
#pragma once

#include <cstdint>

namespace fw {

struct ProgressFields {
    std::int16_t nTick = 0;          // waiting-dots counter: 0, 2, ... 598, then 0
    std::int32_t nFileLength = 0;    // bytes in the firmware file being uploaded
    std::int32_t nRecordsPassed = 0; // "Sx Pass " replies in this upload
    std::int32_t nRecordsSent = 0;   // S1/S2 records sent in this upload
    std::int32_t nRecordsOther = 0;  // record replies neither pass nor fail
    std::int16_t nProgressWidth = 0; // full width of a progress bar, twips
};

} // namespace fw
