// What the serial controls over a system's port (QtSerialPort, Win32SerialPort)
// share: the port number and the look-up that checks it, the open and close
// requests, the receive event and its handler, and a device that went away,
// remembered as lost until the next open. Each control opens, closes and moves
// the bytes in its own way.
#pragma once

#include "link/serial/SerialPort.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace fw {

// Changing CommPort while the port is open is refused with this number.
inline constexpr int kCommErrPortOpen = 8000;

// The most received data that waits in a control: while nobody reads (a
// message box is open), the rest stays in the system's queue and the
// analyser's side of the line is held back, instead of filling our memory.
inline constexpr std::size_t kReadBufferBytes = 16 * 1024;

class SerialControl : public ISerialPort {
public:
    // Port number -> the device it names ("/dev/ttyUSB0", "\\.\COM3"); nullopt:
    // no such port.
    using DeviceLookup = std::function<std::optional<std::string>(int port)>;

    CommError SetCommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return commPort_; }
    CommError SetPortOpen(bool open) override;
    std::int16_t CommEvent() const override { return commEvent_; }
    void SetOnComm(std::function<void()> handler) override { onComm_ = std::move(handler); }
    bool DeviceLost() const override { return lost_; }
    std::string DeviceName() const override { return lastDevice_; }

protected:
    explicit SerialControl(DeviceLookup lookup);

    // Opens the port CommPort() names; fails with kCommErrPortInUse when it is
    // open already.
    virtual CommError Open() = 0;
    // Closes the port, if open, and ends a close that Lose() started.
    virtual void Close() = 0;
    // Runs `call` on the next turn of the event loop, unless the control is
    // gone by then.
    virtual void Later(std::function<void()> call) = 0;

    // The device CommPort() names; nullopt when it names none.
    std::optional<std::string> Device() const;
    // The port is open on `device` (as messages name it): no event yet, not lost.
    void Opened(std::string device);
    // The device has gone away (unplugged, hung up): the port no longer counts
    // as open, closes on the next turn of the event loop (not from inside the
    // notification that told) and stays lost until it is opened again.
    void Lose();
    // Bytes are waiting: raises the receive event.
    void Raise();

    bool failed_ = false; // the device went away; the close is on its way

private:
    DeviceLookup lookup_;
    std::int16_t commPort_ = 1;
    std::int16_t commEvent_ = 0;
    bool lost_ = false; // ... and stays lost until the next open
    std::string lastDevice_;
    std::function<void()> onComm_;
};

} // namespace fw
