// The transport over a USB-to-serial converter driven through its driver
// library: opened by the stored serial number, polled at the tick (at most
// 255 bytes a poll), lost when the driver fails a call on the open device.
#pragma once

#include "link/Transport.h"

namespace fw {

// Any other converter's line speed.
inline constexpr std::uint32_t kBaudStandard = 38400;

class UsbTransport : public ITransport {
public:
    UsbTransport(IUsbDriver& usb, std::string wantedSerial, ArrivalHandler onArrived);
    ~UsbTransport() override;

    Opened Open(const std::function<void()>& opening) override;
    // As the converter's open leaves the row: "Connected...", not coloured.
    OpenedRow RowWhenOpen() const override { return {"Connected...", false}; }
    bool Send(const std::uint8_t* data, std::size_t count) override;
    // Hands what waits in the open converter (at most kFtReadChunk bytes) over.
    void Poll() override;
    std::size_t PendingOutput() override;
    bool Lost() const override { return lost_; }
    bool Reopen() override;
    bool IsOpen() const override { return nUsbHandle_ != 0; }
    void Close() override;
    std::string Name() const override;
    std::string Device() const override { return description_; }

private:
    // Finds the converter, opens and sets it up. `kind` becomes the
    // protocol's binaryKind as soon as its description holds the protocol's
    // converter mark (an analyser that takes its records in binary form). A
    // quiet open (the analyser re-enumerating after its reset) reports
    // nothing.
    std::optional<OpenFailure> OpenDevice(std::int32_t& kind);
    void Failed(FtStatus status);
    std::string Read();

    IUsbDriver& usb_;
    FtHandle nUsbHandle_ = 0; // 0 while no converter is open
    std::string wanted_;      // the stored serial number, or its beginning
    ArrivalHandler onArrived_;
    bool lost_ = false;
    std::string serial_;      // serial number of the open converter
    std::string description_; // its description
};

} // namespace fw
