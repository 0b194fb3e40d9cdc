#include "link/serial/Win32SerialPort.h"

#include "settings/WinApi.h"
#include "settings/WinText.h"

#include <QMetaObject>
#include <QTimer>
#include <QWinEventNotifier>

#include <algorithm>

namespace fw {
namespace {

// How long closing waits for queued bytes, so that the last command before a
// close (the sequencer closes right after its final command) reaches the line.
constexpr DWORD kCloseDrainMs = 1000;
// One write hands at most this much to the driver; the rest waits here and
// counts as not yet sent.
constexpr std::size_t kWriteChunk = 4096;
// The look at the line when no notification came (device gone, a driver that
// does not complete WaitCommEvent).
constexpr int kPollMs = 50;

// The driver's answer as the program names it.
Win32Line LineOf(const DCB& dcb) {
    Win32Line line;
    line.baud = dcb.BaudRate;
    const char parities[] = "NOEMS";
    line.framing = std::to_string(dcb.ByteSize) + (dcb.Parity < 5 ? parities[dcb.Parity] : '?') +
                   (dcb.StopBits == ONESTOPBIT     ? "1"
                    : dcb.StopBits == ONE5STOPBITS ? "1.5"
                                                   : "2");
    line.flowControl = dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fOutX ||
                       dcb.fInX || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ||
                       dcb.fRtsControl == RTS_CONTROL_TOGGLE ||
                       dcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
    return line;
}

} // namespace

struct Win32SerialPort::Io {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED read{};
    OVERLAPPED write{};
    OVERLAPPED wait{};
    DWORD waitMask = 0;
    bool writing = false;    // a WriteFile is in flight
    bool waiting = false;    // a WaitCommEvent is in flight
    bool readerFull = false; // the buffer reached its cap; more may wait in the driver

    Io() {
        read.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        write.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        wait.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Io() {
        for (HANDLE event : {read.hEvent, write.hEvent, wait.hEvent})
            if (event != nullptr)
                ::CloseHandle(event);
    }
    Io(const Io&) = delete;
    Io& operator=(const Io&) = delete;
    bool Ready() const {
        return read.hEvent != nullptr && write.hEvent != nullptr && wait.hEvent != nullptr;
    }
};

CommError Win32OpenError(unsigned long error, int port) {
    const std::string label = ComName(port);
    switch (error) {
    case ERROR_ACCESS_DENIED: // a COM port is opened exclusively
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
    case ERROR_LOCK_VIOLATION: // Wine: the device is held exclusively (EBUSY)
        return {kCommErrPortInUse, "Port " + label + " is in use by another program"};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
        return {kCommErrInvalidPort, "Device " + label + " not found"};
    default:
        return {kCommErrDeviceFailure, "Cannot open " + label + ": " + SystemMessage(error, label)};
    }
}

Win32SerialPort::Win32SerialPort() : Win32SerialPort(DeviceLookup(&DefaultDevice)) {
}

Win32SerialPort::Win32SerialPort(DeviceLookup lookup) : SerialControl(std::move(lookup)) {
}

Win32SerialPort::~Win32SerialPort() {
    Close();
}

std::optional<std::string> Win32SerialPort::DefaultDevice(int port) {
    if (port < 1 || port > 255)
        return std::nullopt;
    return "\\\\.\\" + ComName(port);
}

bool Win32SerialPort::PortOpen() const {
    return io_ != nullptr && !failed_;
}

CommError Win32SerialPort::Open() {
    if (io_)
        return {kCommErrPortInUse, "Port already open"};
    const std::optional<std::string> path = Device();
    if (!path)
        return NoDeviceFor(CommPort());
    const std::string label = ComName(CommPort());

    auto io = std::make_unique<Io>();
    if (!io->Ready())
        return {kCommErrDeviceFailure,
                "Cannot open " + label + ": " + SystemMessage(::GetLastError(), label)};
    io->handle = ::CreateFileW(WideFromUtf8(*path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (io->handle == INVALID_HANDLE_VALUE)
        return Win32OpenError(::GetLastError(), CommPort());
    const auto giveUp = [&io, &label](const char* what) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(io->handle);
        return CommError{kCommErrDeviceFailure, "Cannot " + std::string(what) + " " + label + ": " +
                                                    SystemMessage(error, label)};
    };

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(io->handle, &dcb))
        return giveUp("set up");
    dcb.BaudRate = CBR_38400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(io->handle, &dcb))
        return giveUp("set up");
    // What the driver took (it may refuse a setting without failing).
    DCB taken{};
    taken.DCBlength = sizeof taken;
    if (!::GetCommState(io->handle, &taken))
        return giveUp("set up");
    const Win32Line line = LineOf(taken);
    if (line.framing != "8N1" || line.flowControl) {
        ::CloseHandle(io->handle);
        return {kCommErrDeviceFailure, "Cannot set up " + label + ": the driver keeps " +
                                           line.framing +
                                           (line.flowControl ? " with flow control" : "")};
    }
    // A read returns at once with what the driver holds, never waiting for
    // more; writes have no time limit (they run overlapped).
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(io->handle, &timeouts) || !::SetCommMask(io->handle, EV_RXCHAR))
        return giveUp("set up");
    ::SetupComm(io->handle, static_cast<DWORD>(kReadBufferBytes), 4096);

    io_ = std::move(io);
    line_ = line;
    Opened(label);
    in_.clear();
    out_.clear();
    writing_.clear();

    writeNotifier_ = std::make_unique<QWinEventNotifier>(io_->write.hEvent);
    QObject::connect(writeNotifier_.get(), &QWinEventNotifier::activated, &context_,
                     [this] { WriteDone(); });
    waitNotifier_ = std::make_unique<QWinEventNotifier>(io_->wait.hEvent);
    QObject::connect(waitNotifier_.get(), &QWinEventNotifier::activated, &context_,
                     [this] { WaitDone(); });
    poll_ = std::make_unique<QTimer>();
    poll_->setInterval(kPollMs);
    QObject::connect(poll_.get(), &QTimer::timeout, &context_, [this] { Poll(); });
    poll_->start();
    ArmWait();
    return {};
}

void Win32SerialPort::Close() {
    if (!io_)
        return;
    HANDLE handle = io_->handle;
    if (!failed_) {
        // The bytes still queued go out first, for at most kCloseDrainMs.
        const ULONGLONG deadline = ::GetTickCount64() + kCloseDrainMs;
        while (io_ && !failed_ && (io_->writing || !out_.empty())) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline)
                break;
            if (!io_->writing) {
                StartWrite();
                continue;
            }
            if (::WaitForSingleObject(io_->write.hEvent, static_cast<DWORD>(deadline - now)) !=
                WAIT_OBJECT_0)
                break;
            WriteDone();
        }
    }
    writeNotifier_.reset();
    waitNotifier_.reset();
    poll_.reset();
    // Nothing may be in flight when the OVERLAPPED blocks go: a zero mask
    // completes a pending WaitCommEvent, CancelIo the rest, and each is waited
    // for.
    ::SetCommMask(handle, 0);
    ::CancelIo(handle);
    DWORD done = 0;
    if (io_->waiting)
        ::GetOverlappedResult(handle, &io_->wait, &done, TRUE);
    if (io_->writing)
        ::GetOverlappedResult(handle, &io_->write, &done, TRUE);
    ::CloseHandle(handle);
    io_.reset();
    out_.clear();
    writing_.clear();
    in_.clear();
    line_ = {};
    failed_ = false;
}

void Win32SerialPort::Fail() {
    if (failed_ || !io_)
        return;
    Lose();
}

void Win32SerialPort::Later(std::function<void()> call) {
    QMetaObject::invokeMethod(&context_, std::move(call), Qt::QueuedConnection);
}

bool Win32SerialPort::Drain() {
    bool added = false;
    while (PortOpen() && in_.size() < kReadBufferBytes) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(io_->handle, &errors, &status)) {
            Fail();
            break;
        }
        if (status.cbInQue == 0)
            break;
        std::uint8_t buffer[4096];
        const DWORD want = static_cast<DWORD>(
            std::min<std::size_t>({sizeof buffer, status.cbInQue, kReadBufferBytes - in_.size()}));
        DWORD got = 0;
        if (!::ReadFile(io_->handle, buffer, want, &got, &io_->read)) {
            // Returns at once under our time-outs, even when queued.
            if (::GetLastError() != ERROR_IO_PENDING ||
                !::GetOverlappedResult(io_->handle, &io_->read, &got, TRUE)) {
                Fail();
                break;
            }
        }
        if (got == 0)
            break;
        in_.insert(in_.end(), buffer, buffer + got);
        added = true;
    }
    if (io_)
        io_->readerFull = in_.size() >= kReadBufferBytes;
    return added;
}

void Win32SerialPort::Notify() {
    if (notifying_ || !PortOpen() || in_.empty())
        return;
    // A handler that runs a nested event loop (a message box) is not entered a
    // second time.
    notifying_ = true;
    Raise();
    notifying_ = false;
}

void Win32SerialPort::ArmWait() {
    if (!PortOpen() || io_->waiting)
        return;
    ::ResetEvent(io_->wait.hEvent);
    io_->waitMask = 0;
    if (::WaitCommEvent(io_->handle, &io_->waitMask, &io_->wait)) {
        io_->waiting = true; // done already; the event is set and the notifier comes
        ::SetEvent(io_->wait.hEvent);
        return;
    }
    if (::GetLastError() == ERROR_IO_PENDING)
        io_->waiting = true;
    // Otherwise the poll takes over.
}

void Win32SerialPort::WaitDone() {
    if (!io_ || !io_->waiting)
        return;
    DWORD done = 0;
    if (!::GetOverlappedResult(io_->handle, &io_->wait, &done, FALSE) &&
        ::GetLastError() == ERROR_IO_INCOMPLETE)
        return;
    io_->waiting = false;
    ::ResetEvent(io_->wait.hEvent);
    if (Drain())
        Notify();
    ArmWait();
}

void Win32SerialPort::Poll() {
    if (!PortOpen())
        return;
    if (Drain())
        Notify();
    ArmWait();
}

void Win32SerialPort::Output(const std::vector<std::uint8_t>& bytes) {
    if (!PortOpen() || bytes.empty())
        return;
    // Queued here and handed to the driver as it takes them; never blocks.
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    if (!io_->writing)
        StartWrite();
}

void Win32SerialPort::StartWrite() {
    if (!PortOpen() || io_->writing || out_.empty())
        return;
    const std::size_t n = std::min(out_.size(), kWriteChunk);
    writing_.assign(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
    DWORD written = 0;
    if (!::WriteFile(io_->handle, writing_.data(), static_cast<DWORD>(writing_.size()), &written,
                     &io_->write) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        Fail();
        return;
    }
    // Finished or not, the write's event says so and WriteDone collects it.
    io_->writing = true;
}

void Win32SerialPort::WriteDone() {
    if (!io_ || !io_->writing)
        return;
    DWORD written = 0;
    if (!::GetOverlappedResult(io_->handle, &io_->write, &written, FALSE)) {
        if (::GetLastError() == ERROR_IO_INCOMPLETE)
            return;
        io_->writing = false;
        ::ResetEvent(io_->write.hEvent);
        Fail();
        return;
    }
    io_->writing = false;
    ::ResetEvent(io_->write.hEvent);
    if (written < writing_.size()) // cut short: the rest goes first next time
        out_.insert(out_.begin(), writing_.begin() + written, writing_.end());
    writing_.clear();
    StartWrite();
}

int Win32SerialPort::OutBufferCount() const {
    if (!PortOpen())
        return 0;
    return static_cast<int>(out_.size() + writing_.size());
}

std::string Win32SerialPort::Input() {
    if (!io_ || in_.empty())
        return {};
    const char c = static_cast<char>(in_.front());
    in_.pop_front();
    if (in_.empty() && io_->readerFull) {
        // The buffer had filled up: take what waits in the driver now, and
        // tell the reader on the next turn.
        Later([this] {
            if (Drain())
                Notify();
        });
    }
    return std::string(1, c);
}

} // namespace fw
