// The link routines of the module: open the stored connection to the analyser,
// send text and bytes over it, and close it again. The link is the progress
// page's serial control (a serial port, or for the TCP/IP type a connection to
// a serial device server made through the same control) or a USB-to-serial
// converter.
#pragma once

#include "engine/LinkPort.h"
#include "engine/MessageBox.h"
#include "engine/ModFlashwright.h"
#include "engine/ProgressView.h"
#include "link/UsbDriver.h"
#include "settings/Settings.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
inline constexpr const char* kDefaultNetAddress = "192.168.0.1";

inline constexpr std::uint32_t kBaudMerlane = 125000;
inline constexpr std::uint32_t kBaudStandard = 38400;

class Link : public ILink {
public:
    Link(ModFlashwright& mod, IProgressView& view, Settings& settings, IUsbDriver& usb,
         IMessageBox& box);

    // Opens the stored connection, reports on the connection row and, when the
    // link is ready, starts the update sequence (state 1). A failure is reported
    // and leaves the state as it was.
    void ConnectToAnalyser() override;
    // One byte per character (its low 8 bits). Dropped when the link is closed.
    // True when the bytes were handed to an open serial port or converter.
    bool SendText(const std::string& text) override;
    bool SendBytes(const std::vector<std::uint8_t>& bytes) override;
    // Text waiting in an open converter, at most kFtReadChunk bytes of it.
    std::string ReadUsb() override;
    // The sequencer's closer: the serial port when it is open, otherwise an open
    // converter.
    void CloseLink() override;
    // The Previous button's closer: an open converter (the serial port closes
    // with the page).
    void CloseUsb() override;
    // Bytes handed to the link and not yet on the line: the serial port's
    // output buffer, or the converter's transmit queue where the driver can
    // tell; 0 otherwise.
    std::size_t PendingOutput() override;

    // True when the device of an open link has gone away: the serial port's
    // device vanished, or the converter driver failed a send, a poll or a
    // status call. Cleared when the link is opened again.
    bool Lost() const override;
    // Opens a lost link again, quietly, when its device is back. True when it is.
    bool Reopen() override;
    // The link for messages: "COM3 (/dev/ttyUSB0)", "USB converter A1B2C3D4 (...)",
    // "TCP 192.168.0.10:4001".
    std::string Name() const override;
    // What the last failed ConnectToAnalyser showed; empty after a success.
    const std::string& LastError() const override { return lastError_; }
    // The device behind the link: a device path or the converter's description.
    std::string Device() const override;

private:
    std::string ConnectionType() const;
    void Fail(const std::string& text, MsgIcon icon);
    void ConnectCom();
    void ConnectTcp();
    void ConnectUsb();
    bool OpenUsb(bool quiet);
    bool Write(const std::uint8_t* data, std::size_t count);
    void UsbFailed(FtStatus status);

    ModFlashwright& mod_;
    IProgressView& view_;
    Settings& settings_;
    IUsbDriver& usb_;
    IMessageBox& box_;
    bool usbLost_ = false;
    std::string usbSerial_;      // serial number of the open converter
    std::string usbDescription_; // its description
    std::string lastError_;
};

} // namespace fw
