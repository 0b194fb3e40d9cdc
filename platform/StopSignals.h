// The requests to stop a program — on POSIX Ctrl-C (SIGINT), a polite kill
// (SIGTERM), a closed terminal (SIGHUP) and Ctrl-\ (SIGQUIT); on Windows the
// console's Ctrl-C, Ctrl-Break, its window closed, log-off and shut-down —
// delivered to something the event loop watches, so that it handles them like
// any other event and a run in progress is ended the way the user would end
// it, never inside a signal handler. No Qt: each program watches with its
// own notifier (pages/Platform.h).
#pragma once

#include <cstdint>

namespace fw {

// What TakeStopSignal gives: the POSIX signal's number; the Windows console's
// events are given the numbers of their nearest signals.
inline constexpr int kStopHangUp = 1;     // SIGHUP; Windows: the console window closed
inline constexpr int kStopInterrupt = 2;  // SIGINT: Ctrl-C
inline constexpr int kStopQuit = 3;       // SIGQUIT: Ctrl-\ (POSIX only)
inline constexpr int kStopTerminate = 15; // SIGTERM; Windows: log-off or shut-down
inline constexpr int kStopBreak = 21;     // Windows: Ctrl-Break (SIGBREAK)

// Catches them; on POSIX also ignores SIGPIPE (an output nobody reads any more
// is no reason to leave an analyser half-written). Returns what to watch: on
// POSIX the read end of a non-blocking pipe (watch for reading), on Windows
// an event handle, signalled while a stop waits. -1 (with errno) when they
// cannot be caught.
std::intptr_t CatchStopSignals();

// What has arrived: the last stop's number, 0 when none.
int TakeStopSignal();

// The stop taken has been dealt with: its runs are on record and their links
// closed. On Windows a console window being closed, a log-off or a shut-down
// waits in its handler for this (a few seconds at most): the system ends the
// program once the handler returns. Nothing on POSIX.
void StopSignalHandled();

// The stops end the program again, as if never caught.
void ReleaseStopSignals();

} // namespace fw
