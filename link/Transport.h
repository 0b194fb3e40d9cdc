// One run's way to the analyser: a serial port, a USB converter or a serial
// device server on the network. The run's link chooses one when it connects,
// from the configuration read then, and owns it until the next run; the
// transports carry bytes and report what went wrong, the link reports on the
// progress page.
#pragma once

#include "engine/MessageBox.h"
#include "engine/RunConfig.h"
#include "link/net/NetPort.h"
#include "link/serial/SerialPort.h"
#include "link/usb/UsbDriver.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace fw {

inline constexpr const char* kMsgInvalidPort =
    "Invalid Communications Port - please enter a valid port.";
inline constexpr const char* kMsgPortBusy = "Unable to open Communication Port - please ensure no "
                                            "other applications are using this port.";
inline constexpr const char* kMsgAnalyserNotFound = "Analyser not found!";
inline constexpr const char* kMsgUsbOpenFailed = "USB Open Failed";
inline constexpr const char* kMsgUsbDriverError = "There was an error initiating the usb driver : ";
// The TCP/IP type's failures name the stored address.
inline constexpr const char* kMsgInvalidAddress = "Invalid Network Address";
inline constexpr const char* kMsgAddressHint =
    "please enter HOST:PORT, for example 192.168.0.10:4001 (rfc2217://HOST:PORT for a device "
    "server that is to set the line to 38400 baud, 8N1).";
inline constexpr const char* kMsgNoConnection = "Unable to connect to";
inline constexpr const char* kMsgNoConnectionHint =
    "please ensure the device server is on and listens at that address.";

// Makes the platform's serial control.
using SerialPortFactory = std::function<std::unique_ptr<ISerialPort>()>;
// Makes a connection to a serial device server over TCP/IP.
using NetPortFactory = std::function<std::unique_ptr<INetPort>()>;

// Where a transport hands over what arrived: everything read at once, as text
// (one character per byte).
using ArrivalHandler = std::function<void(const std::string&)>;

// What the platform gives a run to reach the analyser with.
struct TransportMakers {
    SerialPortFactory makeSerialPort;
    NetPortFactory makeNetPort; // null: no network link on this platform
    IUsbDriver& usb;
};

// Why a transport did not open: the message box's text and icon.
struct OpenFailure {
    std::string text;
    MsgIcon icon = MsgIcon::Critical;
};

// What an Open found: why the transport did not open, and what the device
// told of the analyser behind it.
struct Opened {
    Opened(std::nullopt_t = std::nullopt) {}
    Opened(OpenFailure why) : failure(std::move(why)) {}

    std::optional<OpenFailure> failure; // nullopt: open, or still opening
    std::int32_t analyserKind = 0;      // as nAnalyserKind (2: a Merlane converter); 0: not said
};

// The connection row once the transport is open.
struct OpenedRow {
    const char* caption = "OK";
    bool green = true; // false: the row keeps the colour it has
};

// Where an Open that did not fail at once stands.
struct OpenProgress {
    bool pending = false;               // still opening: asked again at the tick
    std::optional<OpenFailure> failure; // it failed after all
    std::string warning;                // open, with what was left unconfirmed
};

class ITransport {
public:
    virtual ~ITransport() = default;
    // Opens the connection: no failure when it is ready. `opening` is called
    // once the transport knows it has something to open (the page then shows
    // "Connecting...").
    virtual Opened Open(const std::function<void()>& opening) = 0;
    // A transport that opens over time (a device server) says so until it is
    // open or has failed.
    virtual OpenProgress PollOpen() { return {}; }
    // False when a lost connection never comes back by itself.
    virtual bool Reconnects() const { return true; }
    // The connection row once open.
    virtual OpenedRow RowWhenOpen() const { return {}; }
    // Hands the bytes to the line; false when they were not taken.
    virtual bool Send(const std::uint8_t* data, std::size_t count) = 0;
    // Called at every tick: a transport with no receive event of its own (a
    // converter) hands over what waits now.
    virtual void Poll() {}
    virtual std::size_t PendingOutput() = 0;
    virtual bool Lost() const = 0;
    // Opens a lost connection again, quietly. True when it is back.
    virtual bool Reopen() = 0;
    virtual bool IsOpen() const = 0;
    // Closes it, and ends an open still under way.
    virtual void Close() = 0;
    // For messages: "COM3 (/dev/ttyUSB0)", "USB converter A1 (...)", "TCP host:port".
    virtual std::string Name() const = 0;
    // The device behind it: a path, the converter's description, an address.
    virtual std::string Device() const = 0;
};

// The transport for `config.type`; null for a type that has none (nothing is
// opened and every send is dropped). Every transport hands what arrives to
// `onArrived`.
std::unique_ptr<ITransport> MakeTransport(const RunConfig& config, TransportMakers& makers,
                                          ArrivalHandler onArrived);

} // namespace fw
