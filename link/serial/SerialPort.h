// The serial communications control: the members the program uses and the two
// failures it relies on (setting an unusable port number, opening a port).
#pragma once

#include "settings/Text.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fw {

// Error numbers of the control. 8005 is the one callers test for: another
// program holds the port.
inline constexpr int kCommErrInvalidPort = 8002;   // no such port number / device
inline constexpr int kCommErrPortInUse = 8005;     // port already open elsewhere
inline constexpr int kCommErrNotOpen = 8012;       // operation needs an open port
inline constexpr int kCommErrAccessDenied = 8015;  // the user may not open the device
inline constexpr int kCommErrDeviceFailure = 8020; // any other open or I/O failure

// CommEvent value for "data received".
inline constexpr std::int16_t kComEvReceive = 2;

struct CommError {
    int number = 0; // 0: no error
    std::string description;
    explicit operator bool() const { return number != 0; }
};

// The failure of a port number that names no device.
inline CommError NoDeviceFor(int port) {
    return {kCommErrInvalidPort, "Invalid port number (no device for " + ComName(port) + ")"};
}

class ISerialPort {
public:
    virtual ~ISerialPort() = default;
    // Fails at once for a number that cannot name a port.
    virtual CommError SetCommPort(std::int16_t port) = 0;
    virtual std::int16_t CommPort() const = 0;
    virtual bool PortOpen() const = 0;
    // true: open (38400 8N1, no flow control); false: close. Opening fails with
    // kCommErrPortInUse when another program holds the port.
    virtual CommError SetPortOpen(bool open) = 0;
    // Sends every byte unchanged and in order (only while open).
    virtual void Output(const std::vector<std::uint8_t>& bytes) = 0;
    // Bytes handed to Output and not yet passed to the line.
    virtual int OutBufferCount() const { return 0; }
    // Why OnComm was raised last; kComEvReceive when bytes are waiting.
    virtual std::int16_t CommEvent() const = 0;
    virtual int InBufferCount() const = 0;
    // Removes one received byte and returns it as a one-character text ("" when
    // nothing waits).
    virtual std::string Input() = 0;
    // Removes everything received by now and returns it, one character per
    // byte ("" when nothing waits).
    virtual std::string ReadAll() {
        std::string text;
        while (InBufferCount() > 0) {
            const std::string one = Input();
            if (one.empty()) {
                break; // the control said bytes were waiting but had none
            }
            text += one;
        }
        return text;
    }
    // Receive notification, raised on the UI thread whenever bytes are waiting.
    virtual void SetOnComm(std::function<void()> handler) = 0;
    // True once the open device has gone away (unplugged, hung up) until the
    // port is opened again.
    virtual bool DeviceLost() const { return false; }
    // The device behind the open (or last opened) port, for messages.
    virtual std::string DeviceName() const { return {}; }
};

// The serial control of a page (or console) that is not loaded: there is no
// port to open, and nothing is ever received.
class ClosedSerialPort : public ISerialPort {
public:
    explicit ClosedSerialPort(std::string why) : why_(std::move(why)) {}
    CommError SetCommPort(std::int16_t port) override {
        port_ = port;
        return {};
    }
    std::int16_t CommPort() const override { return port_; }
    bool PortOpen() const override { return false; }
    CommError SetPortOpen(bool open) override {
        return open ? CommError{kCommErrDeviceFailure, why_} : CommError{};
    }
    void Output(const std::vector<std::uint8_t>&) override {}
    std::int16_t CommEvent() const override { return 0; }
    int InBufferCount() const override { return 0; }
    std::string Input() override { return {}; }
    void SetOnComm(std::function<void()>) override {}

private:
    std::string why_;
    std::int16_t port_ = 1;
};

} // namespace fw
