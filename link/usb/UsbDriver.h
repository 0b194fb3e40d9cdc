// The USB-to-serial converter driver: the thirteen calls the program makes, in
// the shape of the converter library's published interface.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace fw {

using FtStatus = std::uint32_t;
using FtHandle = std::uint32_t; // 0 is never a valid handle

inline constexpr FtStatus FT_OK = 0;
inline constexpr FtStatus FT_INVALID_HANDLE = 1;
inline constexpr FtStatus FT_DEVICE_NOT_FOUND = 2;
inline constexpr FtStatus FT_DEVICE_NOT_OPENED = 3;
inline constexpr FtStatus FT_IO_ERROR = 4;
inline constexpr FtStatus FT_INSUFFICIENT_RESOURCES = 5;
inline constexpr FtStatus FT_INVALID_PARAMETER = 6;
inline constexpr FtStatus FT_INVALID_BAUD_RATE = 7;
inline constexpr FtStatus FT_NOT_SUPPORTED = 17;
inline constexpr FtStatus FT_OTHER_ERROR = 18;

inline constexpr std::uint32_t FT_LIST_NUMBER_ONLY = 0x80000000u;
inline constexpr std::uint32_t FT_LIST_BY_INDEX_SERIAL_NUMBER = 0x40000001u;
inline constexpr std::uint32_t FT_LIST_BY_INDEX_DESCRIPTION = 0x40000002u;

inline constexpr std::uint16_t FT_FLOW_NONE = 0;
inline constexpr std::uint8_t FT_BITS_8 = 8;
inline constexpr std::uint8_t FT_STOP_BITS_1 = 0;
inline constexpr std::uint8_t FT_PARITY_NONE = 0;
inline constexpr std::uint32_t FT_PURGE_RX = 1;
inline constexpr std::uint32_t FT_PURGE_TX = 2;

inline constexpr std::size_t kFtTextBufferSize = 100; // description / serial number
inline constexpr std::size_t kFtReadChunk = 255;      // most bytes read per poll
using FtTextBuffer = std::array<char, kFtTextBufferSize>;

// The NUL-terminated text a driver wrote into `buffer` (all of it when it
// wrote no NUL).
inline std::string_view FtText(const FtTextBuffer& buffer) {
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    return std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.begin()));
}

// Thrown when the driver itself cannot be loaded or called; the text says why.
class UsbDriverError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IUsbDriver {
public:
    virtual ~IUsbDriver() = default;
    // flags FT_LIST_NUMBER_ONLY: count receives the number of attached devices.
    virtual FtStatus FT_ListDevices(std::uint32_t& count, std::uint32_t flags) = 0;
    // flags FT_LIST_BY_INDEX_SERIAL_NUMBER or FT_LIST_BY_INDEX_DESCRIPTION: the
    // buffer receives the NUL-terminated text of device `index`.
    virtual FtStatus FT_ListDevices(std::uint32_t index, FtTextBuffer& buffer,
                                    std::uint32_t flags) = 0;
    virtual FtStatus FT_Open(int index, FtHandle& handle) = 0;
    virtual FtStatus FT_ResetDevice(FtHandle handle) = 0;
    virtual FtStatus FT_SetBaudRate(FtHandle handle, std::uint32_t baud) = 0;
    virtual FtStatus FT_SetFlowControl(FtHandle handle, std::uint16_t flow, std::uint8_t xon,
                                       std::uint8_t xoff) = 0;
    virtual FtStatus FT_SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength,
                                               std::uint8_t stopBits, std::uint8_t parity) = 0;
    virtual FtStatus FT_Purge(FtHandle handle, std::uint32_t mask) = 0;
    virtual FtStatus FT_Write(FtHandle handle, const std::uint8_t* data, std::uint32_t count,
                              std::uint32_t& written) = 0;
    virtual FtStatus FT_GetQueueStatus(FtHandle handle, std::uint32_t& waiting) = 0;
    // Never asked for more than is waiting, so it returns at once.
    virtual FtStatus FT_Read(FtHandle handle, std::uint8_t* buffer, std::uint32_t count,
                             std::uint32_t& got) = 0;
    virtual FtStatus FT_Close(FtHandle handle) = 0;
    // Bytes waiting to be read and still waiting to go out. Not every driver
    // can tell; those answer FT_NOT_SUPPORTED.
    virtual FtStatus FT_GetStatus(FtHandle /*handle*/, std::uint32_t& rxQueue,
                                  std::uint32_t& txQueue, std::uint32_t& eventStatus) {
        rxQueue = txQueue = eventStatus = 0;
        return FT_NOT_SUPPORTED;
    }
};

} // namespace fw
