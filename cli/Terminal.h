// The console the command line writes to, behind one seam: whether an output
// is a terminal that shows live lines, its size and a change of it, and the
// writing of progress, which never holds a run up. Each system has its own
// source file (TerminalPosix.cpp, TerminalWindows.cpp).
//
// Progress that the output cannot take at once (a pipe nobody reads, a
// terminal stopped with Ctrl-S) waits in a small bounded queue, whole texts
// only; what does not fit is dropped whole, so a line or an escape sequence
// is never cut in the middle. The run record and the exit code still tell how
// a run ended. Only what comes after runs that ended by themselves (the table,
// the records of --json) waits for the output, once the stop signals end the
// program again; after a stop signal nothing waits, and what the output does
// not take is lost when the program ends.
#pragma once

#include <QObject>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace fw::cli {

// At most this much progress waits for an output that cannot take it.
inline constexpr std::size_t kProgressQueueBytes = 64 * 1024;

// Readies standard output and error, once, before anything is written. On
// Linux a pipe, FIFO or terminal gets a description of its own that never
// blocks (the one shared with the shell is left as it is). On Windows a
// console is switched to UTF-8 and, where it takes them, to virtual-terminal
// sequences (both undone at exit); a pipe is written without waiting.
void SetUpConsole();

// Whether `fd` shows live lines: a terminal on Linux; on Windows a console
// that takes virtual-terminal sequences. A file or a pipe never does.
bool IsTerminal(int fd);

// COLUMNS when it is set (and exported) to a sensible number of columns.
inline std::optional<int> ColumnsFromEnvironment() {
    if (const char* env = std::getenv("COLUMNS"); env != nullptr && *env != '\0') {
        char* end = nullptr;
        const long columns = std::strtol(env, &end, 10);
        if (*end == '\0' && columns > 0 && columns <= 10000) {
            return static_cast<int>(columns);
        }
    }
    return std::nullopt;
}

// The width of the terminal on `fd` in columns: COLUMNS when it is set to a
// number, else what the terminal says; 0 when unknown (not a terminal).
int TerminalColumns(int fd);
// Its height in rows; 24 when unknown.
int TerminalRows(int fd);

// Calls `changed` from the event loop when the size of the terminal on `fd`
// may have changed (SIGWINCH on Linux; on Windows the console's size is looked
// at four times a second). Watching ends with the returned object.
std::unique_ptr<QObject> WatchTerminalSize(int fd, std::function<void()> changed);

// Writes progress to `out` (standard output or error; any other stream is
// written as it always is) without waiting. False when it was dropped: the
// queue is full (a text larger than the queue is taken only into an empty one).
bool WriteProgress(std::FILE* out, std::string_view text);

// After runs that ended by themselves, with the stop signals released: what
// still waits is written, now waiting for the output, and standard output and
// error are written as usual again.
void FinishProgress();

} // namespace fw::cli
