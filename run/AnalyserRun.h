// One run wired together, the same way for the wizard, the command line and
// the tests: the link over the transport the run chooses when it connects,
// and the update engine, which owns the run's state, sharing the progress
// view and the run record. Each run has its own; several live side by side
// in one process (the command line's batch).
#pragma once

#include "engine/UpdateEngine.h"
#include "link/LinkOperations.h"

namespace fw {

struct RunServices {
    IProgressView& view;
    ProgressFields& fields;
    IMessageBox& box;
    TransportMakers makers;
    IRunLog* runLog = nullptr; // null: runs are not recorded
    // Runs after each arrival has been handed to the engine (a front end's
    // check for the run's end).
    std::function<void()> afterArrival = nullptr;
};

class AnalyserRun {
public:
    explicit AnalyserRun(RunServices services);
    AnalyserRun(const AnalyserRun&) = delete;
    AnalyserRun& operator=(const AnalyserRun&) = delete;

    // The operations page's Next: connects with the choices the pages show
    // (or the command line's), which the run then keeps to.
    void Connect(const RunConfig& config) { engine.ConnectToAnalyser(config); }
    // What Previous and the close box do: nothing more is sent, a run still
    // under way is recorded as abandoned, and the firmware file and the link
    // are closed.
    void Stop();
    // The page went away: whatever link is still open closes.
    void Release() { link.CloseLink(); }

    RunRows rows; // the run's rows, drawn on the view
    Link link;
    UpdateEngine engine;
};

} // namespace fw
