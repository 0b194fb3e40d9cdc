#include "tests/support/fake_d2xx/FakeD2xxLine.h"

#if defined(_WIN32)
#include "settings/WinApi.h"
#endif

namespace fake_d2xx {

#if defined(_WIN32)
namespace {

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

} // namespace
#endif

std::unique_ptr<Line> OpenLine([[maybe_unused]] const std::string& path) {
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
    return nullptr;
#endif
}

} // namespace fake_d2xx
