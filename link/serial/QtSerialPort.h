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

#include "link/serial/SerialControl.h"

#include <QSerialPort>

#include <functional>
#include <optional>
#include <string>

namespace fw {

class ComPortNames;

class QtSerialPort : public SerialControl {
public:
    explicit QtSerialPort(DeviceLookup lookup);
    // `names` must outlive the port.
    explicit QtSerialPort(const ComPortNames& names);
    ~QtSerialPort() override;
    QtSerialPort(const QtSerialPort&) = delete;
    QtSerialPort& operator=(const QtSerialPort&) = delete;

    bool PortOpen() const override;
    void Output(const std::vector<std::uint8_t>& bytes) override;
    int OutBufferCount() const override;
    int InBufferCount() const override;
    std::string Input() override;
    std::string ReadAll() override;

    // The device path of the open port (empty when closed).
    const std::string& DevicePath() const { return devicePath_; }

private:
    CommError Open() override;
    void Close() override;
    void Later(std::function<void()> call) override;
    void OnError(QSerialPort::SerialPortError error);
    bool DeviceGone() const;

    QSerialPort port_;
    std::string devicePath_;
};

} // namespace fw
