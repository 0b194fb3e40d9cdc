// Windows: the console by its own calls. A console that takes
// virtual-terminal sequences (Windows 10 and later: SetConsoleMode with
// ENABLE_VIRTUAL_TERMINAL_PROCESSING succeeds) shows live lines; an older one,
// a file or a pipe gets plain lines. Text is UTF-8 throughout: the console's
// output code page is set to it while the program runs (a file or a pipe
// gets the bytes as they are), so a firmware path such as "Prüfstand Ω"
// prints right.
//
// A pipe whose reader stops reading makes WriteFile wait, as on Linux: a pipe
// is switched to PIPE_NOWAIT for the runs (WriteFile then takes what fits and
// returns), with whole texts queued behind it, and back to waiting before the
// table at the end. Where the pipe refuses the switch it is written as
// before. A console's writes do not wait for a reader.
#include "cli/Terminal.h"

#include "cli/Commands.h"
#include "cli/OutputQueue.h"
#include "platform/StopSignals.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QTimer>

#include <array>
#include <cstdlib>
#include <io.h>
#include <string>

namespace fw::cli {
namespace {

// How standard output (0) or error (1) is written.
struct Channel {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool console = false;
    bool liveLines = false;  // a console that takes virtual-terminal sequences
    ::DWORD consoleMode = 0; // as it was before
    bool pipeType = false;   // a pipe, to be switched at the first progress
    bool pipe = false;       // switched to PIPE_NOWAIT: written without the stream
    bool finished = false;   // the runs are over
    OutputQueue waiting{kProgressQueueBytes};
};
std::array<Channel, 2> gChannels;
UINT gOutputCodePage = 0; // the console's before; 0: not changed

Channel* ChannelOf(std::FILE* out) {
    if (out == stdout) {
        return &gChannels[0];
    }
    if (out == stderr) {
        return &gChannels[1];
    }
    return nullptr;
}

Channel* ChannelOfFd(int fd) {
    return fd == 1 ? &gChannels[0] : fd == 2 ? &gChannels[1] : nullptr;
}

// The console's mode and code page as they were, when the program ends.
void RestoreConsole() {
    for (Channel& c : gChannels) {
        if (c.console) {
            ::SetConsoleMode(c.handle, c.consoleMode);
        }
    }
    if (gOutputCodePage != 0) {
        ::SetConsoleOutputCP(gOutputCodePage);
    }
}

void Drain(Channel& c) {
    c.waiting.Drain([&c](const char* data, std::size_t size) -> long long {
        ::DWORD written = 0;
        if (!::WriteFile(c.handle, data, static_cast<::DWORD>(size), &written, nullptr)) {
            return -1; // the reader is gone
        }
        return written; // 0: the pipe is full
    });
}

bool ScreenInfo(int fd, CONSOLE_SCREEN_BUFFER_INFO& info) {
    const Channel* c = ChannelOfFd(fd);
    HANDLE h = c != nullptr && c->handle != INVALID_HANDLE_VALUE
                   ? c->handle
                   : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    return fd >= 0 && h != INVALID_HANDLE_VALUE && ::GetConsoleScreenBufferInfo(h, &info);
}

} // namespace

void SetUpConsole() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    const ::DWORD ids[2] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    bool anyConsole = false;
    for (std::size_t i = 0; i < gChannels.size(); ++i) {
        Channel& c = gChannels[i];
        c.handle = ::GetStdHandle(ids[i]);
        if (c.handle == INVALID_HANDLE_VALUE || c.handle == nullptr) {
            c.handle = INVALID_HANDLE_VALUE;
            continue;
        }
        const ::DWORD type = ::GetFileType(c.handle);
        ::DWORD mode = 0;
        if (type == FILE_TYPE_CHAR && ::GetConsoleMode(c.handle, &mode)) {
            c.console = true;
            c.consoleMode = mode;
            anyConsole = true;
            c.liveLines = ::SetConsoleMode(c.handle, mode | ENABLE_PROCESSED_OUTPUT |
                                                         ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
        } else {
            c.pipeType = type == FILE_TYPE_PIPE;
        }
    }
    if (anyConsole) {
        gOutputCodePage = ::GetConsoleOutputCP();
        if (gOutputCodePage == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8)) {
            gOutputCodePage = 0;
        }
    }
    std::atexit(RestoreConsole);
}

bool IsTerminal(int fd) {
    const Channel* c = ChannelOfFd(fd);
    return c != nullptr && c->liveLines;
}

int TerminalColumns(int fd) {
    if (const std::optional<int> columns = ColumnsFromEnvironment()) {
        return *columns;
    }
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (ScreenInfo(fd, info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 0;
}

int TerminalRows(int fd) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (ScreenInfo(fd, info)) {
        return info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return 24;
}

std::unique_ptr<QObject> WatchTerminalSize(int fd, std::function<void()> changed) {
    if (!IsTerminal(fd)) {
        return nullptr;
    }
    // The console sends no signal: its size is looked at from the event loop.
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(250);
    QObject::connect(timer.get(), &QTimer::timeout, timer.get(),
                     [fd, changed = std::move(changed), columns = TerminalColumns(fd),
                      rows = TerminalRows(fd)]() mutable {
                         const int c = TerminalColumns(fd);
                         const int r = TerminalRows(fd);
                         if (c != columns || r != rows) {
                             columns = c;
                             rows = r;
                             changed();
                         }
                     });
    timer->start();
    return timer;
}

bool WriteProgress(std::FILE* out, std::string_view text) {
    Channel* c = ChannelOf(out);
    if (c != nullptr && c->pipeType && !c->pipe && !c->finished) {
        // Only the runs' progress goes without waiting; what went before it
        // (and after, the table) is written by the stream as usual.
        std::fflush(out);
        ::DWORD noWait = PIPE_NOWAIT;
        c->pipe = ::SetNamedPipeHandleState(c->handle, &noWait, nullptr, nullptr) != 0;
        c->pipeType = c->pipe;
    }
    if (c == nullptr || !c->pipe) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
        return true;
    }
    Drain(*c);
    // The stream would have written a line end as CR LF.
    std::string lines;
    lines.reserve(text.size() + 16);
    for (const char ch : text) {
        if (ch == '\n') {
            lines += '\r';
        }
        lines += ch;
    }
    if (!c->waiting.Add(std::move(lines))) {
        return false;
    }
    Drain(*c);
    return true;
}

void FinishProgress() {
    for (Channel& c : gChannels) {
        c.finished = true;
        if (!c.pipe) {
            continue;
        }
        ::DWORD wait = PIPE_WAIT;
        ::SetNamedPipeHandleState(c.handle, &wait, nullptr, nullptr);
        Drain(c);
        c.pipe = false;
    }
}

const char* SignalName(int sig) {
    switch (sig) {
    case kStopInterrupt:
        return "Ctrl-C";
    case kStopBreak:
        return "Ctrl-Break";
    case kStopHangUp:
        return "the console window was closed";
    case kStopTerminate:
        return "log-off or shut-down";
    default:
        return "a stop event";
    }
}

} // namespace fw::cli
