// A bench of runs on the command line: each run shown on the console (its
// lines, or a live line on a terminal, and its message boxes on stderr),
// driven by Qt's event loop until every run has ended or a stop signal has
// stopped them all. The single run of "flash" is a bench of one.
#pragma once

#include "cli/ConsoleView.h"
#include "pages/Platform.h"
#include "run/Bench.h"

#include <cstdio>
#include <functional>

namespace fw::cli {

inline constexpr const char* kProgram = "flashwright-cli";

// One run's screen on the console.
class ConsoleScreen : public IRunScreen {
public:
    // `out` takes the progress (null: a view of many runs draws the live line);
    // `terminal`: it is a terminal. The figures of the upload come from `run`.
    ConsoleScreen(std::FILE* out, bool terminal, const BenchRun& run);

    IProgressView& View() override { return view; }
    IMessageBox& Box() override { return box; }
    void Load(std::function<void()> tick) override;
    // The page's unload; a live line is ended, so that what follows starts on
    // a line of its own.
    void Unload() override;

    ConsoleView view;
    ConsoleMessageBox box;
};

// Calls `call` later, from the event loop.
void PostToEventLoop(std::function<void()> call);

// What a run on this machine reaches its analyser with: the serial ports and
// device servers of `parts`, and the converters of `usb`.
TransportMakers MachineTransports(const PlatformParts& parts, IUsbDriver& usb);

// Starts the bench and runs the event loop until it is idle or a stop signal
// (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT; on Windows the console's) came; a signal
// stops every run as Previous does, and `stopped` is then called with its
// number. Returns the signal's number, or 0 when none came. Either way the
// stop signals end the program again afterwards; when none came, the output
// waits again too (FinishProgress).
// With `untilStopped` an idle bench goes on waiting for more runs (a station)
// until a stop signal comes.
int RunBenchToEnd(Bench& bench, const std::function<void(int signal)>& stopped,
                  bool untilStopped = false);

} // namespace fw::cli
