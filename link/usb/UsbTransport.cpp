#include "link/usb/UsbTransport.h"

#include "link/usb/ConverterList.h"

#include "engine/ProtocolWords.h"

#include <algorithm>
#include <array>

namespace fw {

UsbTransport::UsbTransport(IUsbDriver& usb, std::string wantedSerial, ArrivalHandler onArrived)
    : usb_(usb), wanted_(std::move(wantedSerial)), onArrived_(std::move(onArrived)) {
}

UsbTransport::~UsbTransport() {
    Close();
}

Opened UsbTransport::Open(const std::function<void()>& opening) {
    opening();
    Opened opened;
    try {
        opened.failure = OpenDevice(opened.analyserKind);
    } catch (const UsbDriverError& e) {
        // The driver library could not be loaded or called. Reported like the
        // connection page reports it; the sequence does not start.
        opened.failure = OpenFailure{std::string(kMsgUsbDriverError) + e.what(), MsgIcon::Critical};
    }
    return opened;
}

std::optional<OpenFailure> UsbTransport::OpenDevice(std::int32_t& kind) {
    const ConverterList list = ListConverters(usb_);
    if (!list.error.empty()) {
        throw UsbDriverError(list.error);
    }
    // The stored serial number may be only the beginning of the device's.
    const auto chosen =
        std::find_if(list.converters.begin(), list.converters.end(),
                     [this](const Converter& c) { return c.serial.starts_with(wanted_); });
    if (chosen == list.converters.end()) {
        return OpenFailure{kMsgAnalyserNotFound, MsgIcon::None};
    }
    const ProtocolWords& words = kAnalyserProtocol;
    const bool marked = chosen->description.find(words.converterMark) != std::string::npos;
    if (marked) {
        kind = words.binaryKind;
    }

    FtHandle handle = 0;
    if (usb_.FT_Open(static_cast<int>(chosen - list.converters.begin()), handle) != FT_OK) {
        return OpenFailure{kMsgUsbOpenFailed, MsgIcon::None};
    }
    nUsbHandle_ = handle;
    lost_ = false;
    serial_ = chosen->serial;
    description_ = chosen->description;

    usb_.FT_ResetDevice(handle);
    usb_.FT_SetBaudRate(handle, marked ? words.converterBaud : kBaudStandard);
    usb_.FT_SetFlowControl(handle, FT_FLOW_NONE, 0, 0);
    usb_.FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    usb_.FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    return std::nullopt;
}

// A converter that fails a call while open has gone (unplugged, or its driver
// gave up on it).
void UsbTransport::Failed(FtStatus status) {
    if (status != FT_OK && nUsbHandle_ != 0) {
        lost_ = true;
    }
}

bool UsbTransport::Send(const std::uint8_t* data, std::size_t count) {
    // Written whether or not a converter is open; the driver refuses handle 0.
    // A driver that cannot be called at all loses the bytes like a closed link.
    try {
        std::uint32_t written = 0;
        const FtStatus status =
            usb_.FT_Write(nUsbHandle_, data, static_cast<std::uint32_t>(count), written);
        Failed(status);
        return status == FT_OK && written == count && nUsbHandle_ != 0;
    } catch (const UsbDriverError&) {
        Failed(FT_OTHER_ERROR);
        return false;
    }
}

void UsbTransport::Poll() {
    const std::string text = Read();
    if (!text.empty() && onArrived_) {
        onArrived_(text);
    }
}

std::string UsbTransport::Read() {
    if (nUsbHandle_ == 0 || lost_) {
        return {};
    }
    try {
        std::uint32_t waiting = 0;
        FtStatus status = usb_.FT_GetQueueStatus(nUsbHandle_, waiting);
        Failed(status);
        if (status != FT_OK || waiting == 0) {
            return {};
        }
        std::array<std::uint8_t, kFtReadChunk> chunk{};
        const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(waiting, chunk.size()));
        std::uint32_t got = 0;
        status = usb_.FT_Read(nUsbHandle_, chunk.data(), want, got);
        Failed(status);
        return std::string(reinterpret_cast<const char*>(chunk.data()), std::min(got, want));
    } catch (const UsbDriverError&) {
        Failed(FT_OTHER_ERROR);
        return {};
    }
}

std::size_t UsbTransport::PendingOutput() {
    if (nUsbHandle_ == 0 || lost_) {
        return 0;
    }
    // A converter that cannot tell its transmit queue is taken as keeping up:
    // its writes then wait in the driver instead.
    try {
        std::uint32_t rx = 0, tx = 0, events = 0;
        const FtStatus status = usb_.FT_GetStatus(nUsbHandle_, rx, tx, events);
        if (status == FT_OK) {
            return tx;
        }
        if (status != FT_NOT_SUPPORTED) {
            Failed(status);
        }
    } catch (const UsbDriverError&) {
        Failed(FT_OTHER_ERROR);
    }
    return 0;
}

bool UsbTransport::Reopen() {
    Close();
    try {
        std::int32_t kind = 0; // said when the run connected; the banner decides next
        return !OpenDevice(kind);
    } catch (const UsbDriverError&) {
        return false;
    }
}

void UsbTransport::Close() {
    if (nUsbHandle_ == 0) {
        return;
    }
    try {
        usb_.FT_Close(nUsbHandle_);
    } catch (const UsbDriverError&) {
        // The device is gone with the driver; the handle is no longer ours.
    }
    nUsbHandle_ = 0;
}

std::string UsbTransport::Name() const {
    const std::string name = "USB converter " + serial_;
    return description_.empty() ? name : name + " (" + description_ + ")";
}

} // namespace fw
