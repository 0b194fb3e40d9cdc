// The signals that ask a program to stop — Ctrl-C (SIGINT), a polite kill
// (SIGTERM), a closed terminal (SIGHUP) and Ctrl-\ (SIGQUIT) — delivered as
// bytes on a pipe, so that the event loop handles them like any other event
// and a run in progress is ended the way the user would end it, never inside a
// signal handler. No Qt: each program watches the pipe with its own notifier.
#pragma once

namespace fw {

// Catches the stop signals and ignores SIGPIPE (an output nobody reads any
// more is no reason to leave an analyser half-written). The pipe's read end,
// non-blocking, to watch for reading; -1 (with errno) when the signals cannot
// be caught here (on Windows there are none to catch).
int CatchStopSignals();

// Reads what has arrived on the pipe: the last signal's number, 0 when none.
int TakeStopSignal();

// The stop signals kill the program again (the pipe stays, unwatched).
void ReleaseStopSignals();

} // namespace fw
