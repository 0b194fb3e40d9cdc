// Linux: terminals by isatty and TIOCGWINSZ, a change of size by SIGWINCH, and
// progress through descriptions of standard output and error of our own.
//
// O_NONBLOCK belongs to an open file description, which a terminal shares with
// the shell and every program it starts: set there, it would make their writes
// fail. A pipe, FIFO or terminal is therefore opened anew through
// /proc/self/fd, which gives a description of the same file for this program
// alone, and that one is non-blocking. A socket is written with MSG_DONTWAIT.
// A regular file (or /dev/null) is written as always: it never keeps a writer
// waiting for a reader.
#include "cli/Terminal.h"

#include "cli/Commands.h"
#include "cli/OutputQueue.h"
#include "platform/StopSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fw::cli {
namespace {

// Where progress to standard output (0) or error (1) goes.
struct Channel {
    int fd = -1;         // -1: written through the stream as always
    bool socket = false; // written with send(MSG_DONTWAIT)
    OutputQueue waiting{kProgressQueueBytes};
};
std::array<Channel, 2> gChannels;

Channel* ChannelOf(std::FILE* out) {
    if (out == stdout) {
        return &gChannels[0];
    }
    if (out == stderr) {
        return &gChannels[1];
    }
    return nullptr;
}

// Writes what waits until the output takes no more.
void Drain(Channel& c) {
    c.waiting.Drain([&c](const char* data, std::size_t size) -> long long {
        for (;;) {
            const ssize_t n = c.socket ? ::send(c.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                       : ::write(c.fd, data, size);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return 0;
            }
            // 0 or an error: the output is gone (the reader closed it).
            return n > 0 ? n : -1;
        }
    });
}

// A change of the terminal's size arrives on this pipe and is handled in the
// event loop, never inside the signal handler.
int gResizePipe[2] = {-1, -1};

extern "C" void OnResize(int) {
    const int saved = errno;
    const char byte = 'w';
    [[maybe_unused]] const ssize_t n = ::write(gResizePipe[1], &byte, 1);
    errno = saved;
}

class ResizeWatch : public QObject {
public:
    explicit ResizeWatch(std::function<void()> changed) {
        notifier_ = std::make_unique<QSocketNotifier>(gResizePipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, this,
                         [changed = std::move(changed)] {
                             char bytes[64];
                             while (::read(gResizePipe[0], bytes, sizeof bytes) > 0) {
                             }
                             changed();
                         });
    }
    ~ResizeWatch() override { ::signal(SIGWINCH, SIG_DFL); }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace

void SetUpConsole() {
    for (int i = 0; i < 2; ++i) {
        Channel& c = gChannels[static_cast<std::size_t>(i)];
        const int fd = i + 1;
        struct stat st {};
        if (c.fd >= 0 || ::fstat(fd, &st) != 0) {
            continue;
        }
        if (S_ISSOCK(st.st_mode)) {
            c.fd = fd;
            c.socket = true;
        } else if (S_ISFIFO(st.st_mode) || (S_ISCHR(st.st_mode) && ::isatty(fd) == 1)) {
            const std::string path = "/proc/self/fd/" + std::to_string(fd);
            c.fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        }
    }
}

bool IsTerminal(int fd) {
    return fd >= 0 && ::isatty(fd) == 1;
}

int TerminalColumns(int fd) {
    if (const std::optional<int> columns = ColumnsFromEnvironment()) {
        return *columns;
    }
    winsize size{};
    if (fd >= 0 && ::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 0;
}

int TerminalRows(int fd) {
    winsize size{};
    if (fd >= 0 && ::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
        return size.ws_row;
    }
    return 24;
}

std::unique_ptr<QObject> WatchTerminalSize(int fd, std::function<void()> changed) {
    if (!IsTerminal(fd)) {
        return nullptr;
    }
    if (gResizePipe[0] < 0 && ::pipe2(gResizePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return nullptr;
    }
    struct sigaction action {};
    action.sa_handler = OnResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGWINCH, &action, nullptr) != 0) {
        return nullptr;
    }
    return std::make_unique<ResizeWatch>(std::move(changed));
}

bool WriteProgress(std::FILE* out, std::string_view text) {
    Channel* c = ChannelOf(out);
    if (c == nullptr || c->fd < 0) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
        return true;
    }
    Drain(*c);
    if (!c->waiting.Add(std::string(text))) {
        return false;
    }
    Drain(*c);
    return true;
}

void FinishProgress() {
    for (Channel& c : gChannels) {
        if (c.fd < 0) {
            continue;
        }
        // Now the output may keep the program waiting: the runs are over.
        const int flags = ::fcntl(c.fd, F_GETFL);
        if (c.fd > 2 && flags >= 0) {
            ::fcntl(c.fd, F_SETFL, flags & ~O_NONBLOCK);
        }
        c.socket = false; // a plain write waits on the socket too
        Drain(c);
        if (c.fd > 2) {
            ::close(c.fd);
        }
        c.fd = -1;
    }
}

const char* SignalName(int sig) {
    switch (sig) {
    case kStopInterrupt:
        return "Ctrl-C";
    case kStopTerminate:
        return "SIGTERM";
    case kStopHangUp:
        return "SIGHUP, the terminal closed";
    case kStopQuit:
        return "SIGQUIT";
    default:
        return "a signal";
    }
}

} // namespace fw::cli
