// The serial communications control over QSerialPort: 38400 baud, 8 data bits,
// no parity, 1 stop bit, no flow control. Port numbers name devices through a
// lookup (normally ComPortNames::DevicePath).
//
// Opening fails with kCommErrPortInUse when another program holds the device
// (its lock file, an exclusive open, or an flock as taken by the USB converter
// driver and some terminal programs), with kCommErrAccessDenied when the user
// may not open it, and with kCommErrInvalidPort when there is no such device.
// A device that disappears while open (USB unplugged) closes the port and is
// reported as lost.
//
// The port object buffers at most kReadBufferBytes of received data: while
// nobody reads (a message box is open), the rest waits in the kernel, and the
// analyser's side of the line is held back, instead of filling our memory.
#pragma once

#include "link/serial/SerialPort.h"

#include <QSerialPort>

#include <functional>
#include <optional>
#include <string>

namespace fw {

class ComPortNames;

// Changing CommPort while the port is open is refused with this number.
inline constexpr int kCommErrPortOpen = 8000;

inline constexpr qint64 kReadBufferBytes = 16 * 1024;

class QtSerialPort : public ISerialPort {
public:
    using DeviceLookup = std::function<std::optional<std::string>(int port)>;

    explicit QtSerialPort(DeviceLookup lookup);
    // `names` must outlive the port.
    explicit QtSerialPort(const ComPortNames& names);
    ~QtSerialPort() override;
    QtSerialPort(const QtSerialPort&) = delete;
    QtSerialPort& operator=(const QtSerialPort&) = delete;

    CommError SetCommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return commPort_; }
    bool PortOpen() const override;
    CommError SetPortOpen(bool open) override;
    void Output(const std::vector<std::uint8_t>& bytes) override;
    int OutBufferCount() const override;
    std::int16_t CommEvent() const override { return commEvent_; }
    int InBufferCount() const override;
    std::string Input() override;
    std::string ReadAll() override;
    void SetOnComm(std::function<void()> handler) override { onComm_ = std::move(handler); }
    bool DeviceLost() const override { return lost_; }
    std::string DeviceName() const override { return lastDevice_; }

    // The device path of the open port (empty when closed).
    const std::string& DevicePath() const { return devicePath_; }

private:
    CommError Open();
    void Close();
    void OnError(QSerialPort::SerialPortError error);
    bool DeviceGone() const;

    DeviceLookup lookup_;
    QSerialPort port_;
    std::int16_t commPort_ = 1;
    std::int16_t commEvent_ = 0;
    std::string devicePath_;
    bool failed_ = false; // the device went away; the close is on its way
    bool lost_ = false;   // ... and stays lost until the next open
    std::string lastDevice_;
    std::function<void()> onComm_;
};

} // namespace fw
