#include "tests/support/fake_d2xx/FakeD2xxLine.h"

#if defined(_WIN32)
#include "settings/WinApi.h"
#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace fake_d2xx {
namespace {

#if defined(_WIN32)

// A COM port ("\\.\COM7"): reads return at once with what is there.
class ComLine : public Line {
public:
    explicit ComLine(HANDLE handle) : handle_(handle) {}
    ~ComLine() override { ::CloseHandle(handle_); }
    ComLine(const ComLine&) = delete;
    ComLine& operator=(const ComLine&) = delete;

    bool Write(const unsigned char* data, unsigned count, unsigned& written) override {
        DWORD done = 0;
        const bool ok = ::WriteFile(handle_, data, count, &done, nullptr) != 0;
        written = done;
        return ok;
    }
    bool Waiting(unsigned& rx, unsigned& tx) override {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_, &errors, &status))
            return false;
        rx = status.cbInQue;
        tx = status.cbOutQue;
        return true;
    }
    bool Read(unsigned char* buffer, unsigned count, unsigned& got) override {
        DWORD done = 0;
        const bool ok = ::ReadFile(handle_, buffer, count, &done, nullptr) != 0;
        got = done;
        return ok;
    }

private:
    HANDLE handle_;
};

#else

class TerminalLine : public Line {
public:
    explicit TerminalLine(int fd) : fd_(fd) {}
    ~TerminalLine() override { ::close(fd_); }

    bool Write(const unsigned char* data, unsigned count, unsigned& written) override {
        written = 0;
        while (written < count) {
            const ssize_t n = ::write(fd_, data + written, count - written);
            if (n > 0) {
                written += static_cast<unsigned>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 1000) != 1)
                    return false;
            } else if (!(n < 0 && errno == EINTR)) {
                return false;
            }
        }
        return true;
    }
    bool Waiting(unsigned& rx, unsigned& tx) override {
        int in = 0, out = 0;
        if (::ioctl(fd_, FIONREAD, &in) != 0 || ::ioctl(fd_, TIOCOUTQ, &out) != 0)
            return false;
        rx = static_cast<unsigned>(in);
        tx = static_cast<unsigned>(out);
        return true;
    }
    bool Read(unsigned char* buffer, unsigned count, unsigned& got) override {
        got = 0;
        const ssize_t n = ::read(fd_, buffer, count);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        got = static_cast<unsigned>(n);
        return n > 0 || count == 0;
    }

private:
    int fd_;
};

#endif

} // namespace

std::unique_ptr<Line> OpenLine(const std::string& path) {
#if defined(_WIN32)
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(handle, &dcb);
    dcb.BaudRate = CBR_38400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
    ::SetCommState(handle, &dcb);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    ::SetCommTimeouts(handle, &timeouts);
    return std::make_unique<ComLine>(handle);
#else
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return nullptr;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    return std::make_unique<TerminalLine>(fd);
#endif
}

} // namespace fake_d2xx
