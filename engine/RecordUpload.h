// The upload of the firmware records: the check of the whole file before the
// analyser is touched, then one S1/S2 record per tick in the form the analyser
// takes, read from the very bytes that were checked.
#pragma once

#include "engine/EngineContext.h"

#include <string>

namespace fw {

inline constexpr const char* kTitleLoadFirmwareError = "Load Firmware Error";
inline constexpr const char* kMsgImageDamaged =
    "The firmware image in memory no longer reads as it was checked.";
// The serial control's transmit buffer; the sender waits while more is queued.
inline constexpr std::size_t kOutputBacklogLimit = 512;

class RecordUpload {
public:
    explicit RecordUpload(EngineContext& context) : c_(context) {}

    // Checks the chosen file before the run touches the analyser. A refused
    // file ends the run: "Upload Firmware" fails, the link is closed, the user
    // is told which line is wrong. False then.
    bool Check();
    // State 11: opens the file and prepares the bars.
    void Start();
    // State 12: the next record, or the end of the file.
    void Tick();

private:
    void EndOfFile();
    void Fail(const std::string& message);

    EngineContext& c_;
    FirmwareSummary counted_; // the records read so far, for an S5/S6 count
};

} // namespace fw
