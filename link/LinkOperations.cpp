#include "link/LinkOperations.h"

#include "engine/SerialPort.h"
#include "link/NetPort.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace fw {

namespace {

// The NUL-terminated text the driver wrote (all of it if it wrote no NUL).
std::string_view BufferText(const FtTextBuffer& buffer) {
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    return std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.begin()));
}

} // namespace

Link::Link(ModFlashwright& mod, IProgressView& view, Settings& settings, IUsbDriver& usb,
           IMessageBox& box)
    : mod_(mod), view_(view), settings_(settings), usb_(usb), box_(box) {
}

std::string Link::ConnectionType() const {
    return settings_.GetSettingValue(kSection, kConnectionType, "COM");
}

void Link::Fail(const std::string& text, MsgIcon icon) {
    lastError_ = text;
    view_.SetCaption(StatusLabel::Connection, "FAILED");
    view_.SetForeColor(StatusLabel::Connection, kRed);
    box_.Show(text, icon, kAppTitle);
}

void Link::ConnectToAnalyser() {
    lastError_.clear();
    usbLost_ = false;
    const std::string type = ConnectionType();
    if (type == "COM") {
        ConnectCom();
    } else if (type == "USB") {
        try {
            ConnectUsb();
        } catch (const UsbDriverError& e) {
            // The driver library could not be loaded or called. Reported like the
            // connection page reports it; the sequence does not start.
            Fail(std::string(kMsgUsbDriverError) + e.what(), MsgIcon::Critical);
        }
    } else if (type == "TCP") {
        ConnectTcp();
    } else {
        // An unknown type: nothing to open; the sequence runs without a link.
        mod_.nUpdateState = kStateStart;
    }
}

void Link::ConnectCom() {
    ISerialPort& port = view_.afComm1();
    if (!port.PortOpen()) {
        view_.SetCaption(StatusLabel::Connection, "Connecting...");
        const std::optional<std::int16_t> number =
            ToInt16(settings_.GetSettingValue(kSection, kComPort, "1"));
        if (!number || port.SetCommPort(*number)) {
            Fail(kMsgInvalidPort, MsgIcon::Critical);
            return;
        }
        if (const CommError error = port.SetPortOpen(true)) {
            // Named, with the reason, so that a bench of several analysers
            // shows which port another program holds.
            Fail(std::string(kMsgPortBusy) + "\n\nCOM" + std::to_string(port.CommPort()) + ": " +
                     error.description,
                 MsgIcon::Critical);
            return;
        }
    }
    view_.SetCaption(StatusLabel::Connection, "OK");
    view_.SetForeColor(StatusLabel::Connection, kGreen);
    mod_.nUpdateState = kStateStart;
}

// A serial device server at the stored address, reached through the page's
// serial control. The run starts only once the connection is up.
void Link::ConnectTcp() {
    ISerialPort& port = view_.afComm1();
    if (!port.PortOpen()) {
        view_.SetCaption(StatusLabel::Connection, "Connecting...");
        const std::string text = settings_.GetSettingValue(kSection, kAddress, kDefaultNetAddress);
        const std::optional<NetAddress> address = ParseNetAddress(text);
        if (!address) {
            Fail(std::string(kMsgInvalidAddress) + " \"" + text + "\" - " + kMsgAddressHint,
                 MsgIcon::Critical);
            return;
        }
        auto* net = dynamic_cast<INetPort*>(&port);
        const CommError error = net != nullptr
                                    ? net->OpenAddress(*address, kNetConnectTimeoutMs)
                                    : CommError{kCommErrDeviceFailure, "no network link here"};
        if (error) {
            Fail(std::string(kMsgNoConnection) + " " + text + " - " + kMsgNoConnectionHint +
                     "\n\n(" + error.description + ")",
                 MsgIcon::Critical);
            return;
        }
    }
    view_.SetCaption(StatusLabel::Connection, "OK");
    view_.SetForeColor(StatusLabel::Connection, kGreen);
    mod_.nUpdateState = kStateStart;
}

void Link::ConnectUsb() {
    view_.SetCaption(StatusLabel::Connection, "Connecting...");
    if (!OpenUsb(false)) {
        return;
    }
    view_.SetCaption(StatusLabel::Connection, "Connected...");
    mod_.nUpdateState = kStateStart;
}

// Finds the stored converter by its serial number, opens and sets it up. A
// quiet open (the analyser re-enumerating after its reset) reports nothing.
bool Link::OpenUsb(bool quiet) {
    const std::string wanted = settings_.GetSettingValue(kSection, kUsbAnalyser, "");

    std::uint32_t count = 0;
    usb_.FT_ListDevices(count, FT_LIST_NUMBER_ONLY);
    std::optional<std::uint32_t> chosen;
    FtTextBuffer serial{};
    for (std::uint32_t i = 0; i < count; ++i) {
        serial.fill('\0');
        usb_.FT_ListDevices(i, serial, FT_LIST_BY_INDEX_SERIAL_NUMBER);
        // The stored serial number may be only the beginning of the device's.
        if (BufferText(serial).substr(0, wanted.size()) == wanted) {
            chosen = i;
            break;
        }
    }
    if (!chosen) {
        if (!quiet) {
            Fail(kMsgAnalyserNotFound, MsgIcon::None);
        }
        return false;
    }

    FtTextBuffer description{};
    usb_.FT_ListDevices(*chosen, description, FT_LIST_BY_INDEX_DESCRIPTION);
    const std::string_view descText = BufferText(description);
    const bool merlane = descText.find("Merlane") != std::string_view::npos;
    if (merlane) {
        mod_.nAnalyserKind = 2;
    }

    FtHandle handle = 0;
    if (usb_.FT_Open(static_cast<int>(*chosen), handle) != FT_OK) {
        if (!quiet) {
            Fail(kMsgUsbOpenFailed, MsgIcon::None);
        }
        return false;
    }
    mod_.nUsbHandle = handle;
    usbLost_ = false;
    usbSerial_ = std::string(BufferText(serial));
    usbDescription_ = std::string(descText);

    usb_.FT_ResetDevice(handle);
    usb_.FT_SetBaudRate(handle, merlane ? kBaudMerlane : kBaudStandard);
    usb_.FT_SetFlowControl(handle, FT_FLOW_NONE, 0, 0);
    usb_.FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    usb_.FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    return true;
}

bool Link::Write(const std::uint8_t* data, std::size_t count) {
    if (count == 0) {
        return true;
    }
    const std::string type = ConnectionType();
    if (type == "COM" || type == "TCP") {
        ISerialPort& port = view_.afComm1();
        if (!port.PortOpen()) {
            return false;
        }
        port.Output(std::vector<std::uint8_t>(data, data + count));
        return true;
    }
    if (type != "USB") {
        return false;
    }
    // Written whether or not a converter is open; the driver refuses handle 0.
    // A driver that cannot be called at all loses the bytes like a closed link.
    try {
        std::uint32_t written = 0;
        const FtStatus status =
            usb_.FT_Write(mod_.nUsbHandle, data, static_cast<std::uint32_t>(count), written);
        mod_.nUsbBytesWritten = static_cast<std::int32_t>(written);
        UsbFailed(status);
        return status == FT_OK && written == count && mod_.nUsbHandle != 0;
    } catch (const UsbDriverError&) {
        UsbFailed(FT_OTHER_ERROR);
        return false;
    }
}

// A converter that fails a call while open has gone (unplugged, or its driver
// gave up on it).
void Link::UsbFailed(FtStatus status) {
    if (status != FT_OK && mod_.nUsbHandle != 0) {
        usbLost_ = true;
    }
}

std::string Link::ReadUsb() {
    if (mod_.nUsbHandle == 0 || usbLost_) {
        return {};
    }
    try {
        std::uint32_t waiting = 0;
        FtStatus status = usb_.FT_GetQueueStatus(mod_.nUsbHandle, waiting);
        UsbFailed(status);
        if (status != FT_OK || waiting == 0) {
            return {};
        }
        std::array<std::uint8_t, kFtReadChunk> chunk{};
        const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(waiting, chunk.size()));
        std::uint32_t got = 0;
        status = usb_.FT_Read(mod_.nUsbHandle, chunk.data(), want, got);
        UsbFailed(status);
        return std::string(reinterpret_cast<const char*>(chunk.data()), std::min(got, want));
    } catch (const UsbDriverError&) {
        UsbFailed(FT_OTHER_ERROR);
        return {};
    }
}

bool Link::SendText(const std::string& text) {
    // Each character is one byte: its low 8 bits.
    return Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool Link::SendBytes(const std::vector<std::uint8_t>& bytes) {
    return Write(bytes.data(), bytes.size());
}

void Link::CloseLink() {
    ISerialPort& port = view_.afComm1();
    if (port.PortOpen()) {
        port.SetPortOpen(false);
    } else {
        CloseUsb();
    }
}

void Link::CloseUsb() {
    if (mod_.nUsbHandle == 0) {
        return;
    }
    try {
        usb_.FT_Close(mod_.nUsbHandle);
    } catch (const UsbDriverError&) {
        // The device is gone with the driver; the handle is no longer ours.
    }
    mod_.nUsbHandle = 0;
}

std::size_t Link::PendingOutput() {
    const ISerialPort& port = view_.afComm1();
    if (port.PortOpen()) {
        return static_cast<std::size_t>(std::max(0, port.OutBufferCount()));
    }
    if (mod_.nUsbHandle == 0 || usbLost_) {
        return 0;
    }
    // A converter that cannot tell its transmit queue is taken as keeping up:
    // its writes then wait in the driver instead.
    try {
        std::uint32_t rx = 0, tx = 0, events = 0;
        const FtStatus status = usb_.FT_GetStatus(mod_.nUsbHandle, rx, tx, events);
        if (status == FT_OK) {
            return tx;
        }
        if (status != FT_NOT_SUPPORTED) {
            UsbFailed(status);
        }
    } catch (const UsbDriverError&) {
        UsbFailed(FT_OTHER_ERROR);
    }
    return 0;
}

bool Link::Lost() const {
    return usbLost_ || view_.afComm1().DeviceLost();
}

bool Link::Reopen() {
    const std::string type = ConnectionType();
    if (type == "COM") {
        ISerialPort& port = view_.afComm1();
        return !port.SetPortOpen(true) && port.PortOpen();
    }
    if (type != "USB") {
        return false;
    }
    CloseUsb();
    try {
        return OpenUsb(true);
    } catch (const UsbDriverError&) {
        return false;
    }
}

std::string Link::Device() const {
    const std::string type = ConnectionType();
    if (type == "COM" || type == "TCP") {
        return view_.afComm1().DeviceName();
    }
    return type == "USB" ? usbDescription_ : std::string();
}

std::string Link::Name() const {
    const std::string type = ConnectionType();
    const std::string device = Device();
    std::string name;
    if (type == "COM") {
        name = "COM" + std::to_string(view_.afComm1().CommPort());
    } else if (type == "USB") {
        name = "USB converter " + usbSerial_;
    } else if (type == "TCP") {
        return device.empty() ? type : type + " " + device;
    } else {
        name = type;
    }
    return device.empty() ? name : name + " (" + device + ")";
}

} // namespace fw
