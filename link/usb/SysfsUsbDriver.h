// The USB converter driver on Linux: USB-to-serial converters that the kernel
// presents as terminals (ftdi_sio, cp210x, ch341, pl2303, ... as ttyUSB<n>;
// cdc_acm as ttyACM<n>), found through sysfs and driven through their device
// nodes.
//
// Listing: every <sys>/class/tty/<name> whose device is a usb-serial port or a
// cdc_acm interface, sorted by name (ttyACM before ttyUSB, numbers in numeric
// order). Description = the USB device's "product" string, serial number = its
// "serial" string; a converter with several ports (two or four ttys under one
// USB device) gets " A", " B", ... after the description and "A", "B", ...
// after the serial number, in interface order, so that each port has its own
// name. The list is taken again on each number-only FT_ListDevices call; the
// by-index calls and FT_Open use that snapshot, so indices stay stable through
// a count / look-up / open sequence.
//
// FT_ListDevices throws UsbDriverError when <sys>/class/tty does not exist
// (sysfs not mounted: no converter could ever be found). Anything below it that
// cannot be read just leaves that terminal out.
//
// Handles are small non-zero integers. FT_Open takes the terminal exclusively
// (flock and TIOCEXCL) so a second opener fails; a device that vanishes while
// open makes the I/O calls return FT_IO_ERROR until it is closed.
#pragma once

#include "link/usb/UsbDriver.h"
#include "link/usb/UsbHandles.h"

#include <optional>
#include <string>
#include <vector>

namespace fw {

class SysfsUsbDriver : public IUsbDriver {
public:
    struct Device {
        std::string ttyName;     // "ttyUSB0"
        std::string description; // USB product string (+ " A" etc. on multi-port converters)
        std::string serialNumber;
    };

    explicit SysfsUsbDriver(std::string sysRoot = "/sys", std::string devRoot = "/dev");
    ~SysfsUsbDriver() override;
    SysfsUsbDriver(const SysfsUsbDriver&) = delete;
    SysfsUsbDriver& operator=(const SysfsUsbDriver&) = delete;

    // The converters attached now, in index order. Throws UsbDriverError when
    // sysfs is missing.
    std::vector<Device> Scan() const;

    FtStatus FT_ListDevices(std::uint32_t& count, std::uint32_t flags) override;
    FtStatus FT_ListDevices(std::uint32_t index, FtTextBuffer& buffer,
                            std::uint32_t flags) override;
    FtStatus FT_Open(int index, FtHandle& handle) override;
    FtStatus FT_ResetDevice(FtHandle handle) override;
    FtStatus FT_SetBaudRate(FtHandle handle, std::uint32_t baud) override;
    FtStatus FT_SetFlowControl(FtHandle handle, std::uint16_t flow, std::uint8_t xon,
                               std::uint8_t xoff) override;
    FtStatus FT_SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength,
                                       std::uint8_t stopBits, std::uint8_t parity) override;
    FtStatus FT_Purge(FtHandle handle, std::uint32_t mask) override;
    FtStatus FT_Write(FtHandle handle, const std::uint8_t* data, std::uint32_t count,
                      std::uint32_t& written) override;
    FtStatus FT_GetQueueStatus(FtHandle handle, std::uint32_t& waiting) override;
    FtStatus FT_GetStatus(FtHandle handle, std::uint32_t& rxQueue, std::uint32_t& txQueue,
                          std::uint32_t& eventStatus) override;
    FtStatus FT_Read(FtHandle handle, std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& got) override;
    FtStatus FT_Close(FtHandle handle) override;

    // Longest time FT_Write waits for a full output queue to take more bytes.
    static constexpr int kWriteTimeoutMs = 1000;

private:
    const std::vector<Device>& Snapshot();

    std::string sysRoot_;
    std::string devRoot_;
    std::optional<std::vector<Device>> snapshot_;
    UsbHandles<int> fds_;
};

} // namespace fw
