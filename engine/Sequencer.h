// The update sequencer: on every tick of the page's timer it performs the
// action of the current update state (send a command, skip an operation,
// animate a waiting row, send the next record, confirm and run), and it stops
// the run when the link to the analyser is lost.
#pragma once

#include "engine/EngineContext.h"
#include "engine/RecordUpload.h"

#include <string>

namespace fw {

// "Waiting for Reboot" and the like end in 0 to 6 dots that move with nTick.
int DotCount(std::int16_t nTick);

// The row of the step an update state belongs to.
StatusLabel RowOf(UpdateState state);

class Sequencer {
public:
    Sequencer(EngineContext& context, RecordUpload& upload) : c_(context), upload_(upload) {}

    // One tick, after the converter has been polled.
    void Tick();

private:
    // False when the run has just been ended because the link was lost.
    bool LinkHeld();
    void LinkLost();
    void Start();
    void WaitForAcks();
    void ConfirmAndRun();
    void Skip(StatusLabel label, UpdateState next);
    std::string Dots(const std::string& text) const;

    EngineContext& c_;
    RecordUpload& upload_;
};

} // namespace fw
