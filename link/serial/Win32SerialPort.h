// The serial communications control over a Win32 COM port: 38400 baud, 8 data
// bits, no parity, 1 stop bit, no flow control. Port n is the device \\.\COMn
// unless a lookup says otherwise.
//
// Everything runs on the thread of the Qt event loop: the port is opened for
// overlapped I/O, a read that returns at once with whatever the driver holds
// (it never waits for more) and a write in flight are watched through their
// events (QWinEventNotifier), a pending WaitCommEvent says when bytes arrive,
// and a slow timer looks at the line's state in case a notification never
// comes. No thread of our own.
//
// Opening fails as Win32OpenError says (another program holds the port: "in
// use"; no such device: an invalid port), and with kCommErrDeviceFailure when
// the driver does not take 8N1 without flow control. A port whose device
// disappears while open (USB converter unplugged) closes its handle and is
// reported as lost; it opens again once the device is back.
//
// At most kReadBufferBytes of received data wait in the port object: while
// nobody reads, the rest stays in the driver's queue.
#pragma once

#include "link/serial/SerialControl.h"

#include <QObject>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;
class QWinEventNotifier;

namespace fw {

// What a failed open of COM `port` with the Win32 error `error` means to the
// callers: kCommErrPortInUse when another program holds the port (Windows opens
// COM ports exclusively and answers access denied; also a sharing violation,
// busy, and Wine's lock violation), kCommErrInvalidPort when the device is not
// there (not found, removed), else kCommErrDeviceFailure with the system's text.
CommError Win32OpenError(unsigned long error, int port);

// The line as the driver reports it back.
struct Win32Line {
    unsigned long baud = 0;
    std::string framing;      // data bits, parity (N, O, E, M, S), stop bits: "8N1"
    bool flowControl = false; // any of CTS, DSR, XON/XOFF, RTS or DTR handshake
};

class Win32SerialPort : public SerialControl {
public:
    Win32SerialPort();
    explicit Win32SerialPort(DeviceLookup lookup);
    ~Win32SerialPort() override;
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    // "\\.\COM<n>" for 1..255 (the form that also reaches COM10 and above).
    static std::optional<std::string> DefaultDevice(int port);

    bool PortOpen() const override;
    void Output(const std::vector<std::uint8_t>& bytes) override;
    int OutBufferCount() const override;
    int InBufferCount() const override { return static_cast<int>(in_.size()); }
    std::string Input() override;

    // The line the driver took for the open port; zero and empty when closed.
    const Win32Line& Line() const { return line_; }

private:
    struct Io; // the handle, the OVERLAPPED blocks and their events

    CommError Open() override;
    void Close() override;
    void Later(std::function<void()> call) override;
    bool Drain();      // reads what the driver holds, up to the cap; true: got some
    void StartWrite(); // hands the next queued bytes to the driver
    void WriteDone();
    void ArmWait(); // a pending WaitCommEvent for received bytes
    void WaitDone();
    void Poll();
    void Fail(); // the device went away (Lose), unless that is known already
    void Notify();

    std::unique_ptr<Io> io_;
    std::unique_ptr<QWinEventNotifier> writeNotifier_;
    std::unique_ptr<QWinEventNotifier> waitNotifier_;
    std::unique_ptr<QTimer> poll_;
    QObject context_; // owns queued calls, so none runs after destruction
    std::deque<std::uint8_t> in_;
    std::vector<std::uint8_t> out_;     // queued, not yet handed to the driver
    std::vector<std::uint8_t> writing_; // with the driver (the write in flight)
    bool notifying_ = false;
    Win32Line line_;
};

} // namespace fw
