// The link routines of the module: open the stored connection to the analyser,
// send text and bytes over it, and close it again. The link is either the
// progress page's serial control or a USB-to-serial converter; the TCP/IP type
// has no link behind it and every send on it is dropped.
#pragma once

#include "app/MessageBox.h"
#include "app/ModFlashwright.h"
#include "app/ProgressView.h"
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

inline constexpr std::uint32_t kBaudMerlane = 125000;
inline constexpr std::uint32_t kBaudStandard = 38400;

// Converts a stored number the way the settings have always been read: blanks
// around it are ignored, it is decimal with an optional sign and fraction, and a
// fraction rounds to the nearest whole number with halves to the even one.
// nullopt for anything else, or when the result does not fit 16 bits.
std::optional<std::int16_t> ToInt16(const std::string& text);

class Link {
public:
    Link(ModFlashwright& mod, IProgressView& view, Settings& settings, IUsbDriver& usb,
         IMessageBox& box);

    // Opens the stored connection, reports on the connection row and, when the
    // link is ready, starts the update sequence (state 1). A failure is reported
    // and leaves the state as it was.
    void ConnectToAnalyser();
    // One byte per character (its low 8 bits). Dropped when the link is closed.
    void SendText(const std::string& text);
    void SendBytes(const std::vector<std::uint8_t>& bytes);
    // The sequencer's closer: the serial port when it is open, otherwise an open
    // converter.
    void CloseLink();
    // The Previous button's closer: an open converter (the serial port closes
    // with the page).
    void CloseUsb();
    // Bytes handed to the link and not yet on the line: the serial port's
    // output buffer, or the converter's transmit queue where the driver can
    // tell; 0 otherwise.
    std::size_t PendingOutput() const;

private:
    std::string ConnectionType();
    void Fail(const std::string& text, MsgIcon icon);
    void ConnectCom();
    void ConnectUsb();
    void Write(const std::uint8_t* data, std::size_t count);

    ModFlashwright& mod_;
    IProgressView& view_;
    Settings& settings_;
    IUsbDriver& usb_;
    IMessageBox& box_;
};

} // namespace fw
