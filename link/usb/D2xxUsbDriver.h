// The USB converter driver over the converter vendor's D2XX library, loaded at
// run time: on Windows TVD2XX.DLL (the name existing installations ship), then
// in a 64-bit build the vendor's 64-bit ftd2xx64.dll, then ftd2xx.dll (the name
// the vendor's setup gives the library of the system's own kind); elsewhere
// the vendor's libftd2xx shared library. A library of the other kind (32-bit in
// a 64-bit program) is named as such, with the driver to install.
//
// The constructor tries the candidate libraries in order and keeps the first
// that loads and exports every function the program calls (FT_GetStatus is
// optional; without it FT_GetStatus answers FT_NOT_SUPPORTED). It never throws:
// when no candidate is usable, every call throws UsbDriverError with a text
// naming what is missing (the library, or the functions it lacks), which the
// connection page and the link show to the user.
//
// The library's handles are pointers; the program's are 32-bit numbers. A
// table maps them: handles are small non-zero numbers, not reused while the
// driver lives, and a handle the table does not know (0, a closed one) gets
// FT_INVALID_HANDLE without reaching the library. The destructor closes the
// handles still open before it unloads the library.
#pragma once

#include "link/usb/UsbDriver.h"
#include "link/usb/UsbHandles.h"

#include <memory>
#include <string>
#include <vector>

namespace fw {

class D2xxUsbDriver : public IUsbDriver {
public:
    // The libraries this platform tries, in order.
    static std::vector<std::string> DefaultLibraries();

    // `libraries`: names or paths as the system's loader takes them.
    explicit D2xxUsbDriver(const std::vector<std::string>& libraries = DefaultLibraries());
    ~D2xxUsbDriver() override;
    D2xxUsbDriver(const D2xxUsbDriver&) = delete;
    D2xxUsbDriver& operator=(const D2xxUsbDriver&) = delete;

    // A library loaded with every required function.
    bool Loaded() const { return api_ != nullptr; }
    // Some candidate loaded, whether or not it had every function (an
    // installed but unusable library, as opposed to none at all).
    bool LibraryFound() const { return libraryFound_; }
    // The candidate in use; empty when none is.
    const std::string& LibraryName() const { return libraryName_; }
    // Why none is in use; empty when one is.
    const std::string& LoadError() const { return loadError_; }

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
    FtStatus FT_Read(FtHandle handle, std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& got) override;
    FtStatus FT_Close(FtHandle handle) override;
    FtStatus FT_GetStatus(FtHandle handle, std::uint32_t& rxQueue, std::uint32_t& txQueue,
                          std::uint32_t& eventStatus) override;

private:
    struct Api; // the library and its resolved functions

    const Api& Library() const;          // throws UsbDriverError when none is loaded
    void* Device(FtHandle handle) const; // nullptr when unknown
    // Calls the library's `fn` for the device `handle` names, with `args`;
    // FT_INVALID_HANDLE when it names none.
    template <typename Fn, typename... Args>
    FtStatus OnDevice(Fn Api::*fn, FtHandle handle, Args... args) const;

    std::unique_ptr<Api> api_;
    bool libraryFound_ = false;
    std::string libraryName_;
    std::string loadError_;
    UsbHandles<void*> handles_;
};

} // namespace fw
