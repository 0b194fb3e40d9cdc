// A scriptable converter driver: attached devices with their serial numbers and
// descriptions, open failures, bytes waiting to be read, and a log of every
// open and every call made on a handle, with its arguments. `throwFrom` makes a call (or "*":
// every call) throw UsbDriverError, as a driver library that cannot be loaded does.
#pragma once

#include "link/usb/UsbDriver.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

namespace fw::test {

class FakeUsbDriver : public IUsbDriver {
public:
    struct Device {
        std::string serial;
        std::string description;
        FtStatus openStatus = FT_OK;
    };
    static constexpr FtHandle kHandleBase = 0x100;

    FtStatus FT_ListDevices(std::uint32_t& count, std::uint32_t) override {
        Call("FT_ListDevices");
        count = static_cast<std::uint32_t>(devices.size());
        return FT_OK;
    }
    FtStatus FT_ListDevices(std::uint32_t index, FtTextBuffer& buffer,
                            std::uint32_t flags) override {
        Call("FT_ListDevices");
        const Device& d = devices.at(index);
        const std::string& text =
            flags == FT_LIST_BY_INDEX_SERIAL_NUMBER ? d.serial : d.description;
        buffer.fill('\0');
        std::memcpy(buffer.data(), text.data(), std::min(text.size(), buffer.size() - 1));
        return FT_OK;
    }
    FtStatus FT_Open(int index, FtHandle& handle) override {
        log.push_back("FT_Open(" + std::to_string(index) + ")");
        Call("FT_Open");
        if (const FtStatus status = devices.at(static_cast<std::size_t>(index)).openStatus) {
            return status;
        }
        handle = kHandleBase + static_cast<FtHandle>(index);
        open.insert(handle);
        return FT_OK;
    }
    FtStatus FT_ResetDevice(FtHandle h) override { return On("FT_ResetDevice", h); }
    FtStatus FT_SetBaudRate(FtHandle h, std::uint32_t baud) override {
        return On("FT_SetBaudRate", h, {baud});
    }
    FtStatus FT_SetFlowControl(FtHandle h, std::uint16_t flow, std::uint8_t xon,
                               std::uint8_t xoff) override {
        return On("FT_SetFlowControl", h, {flow, xon, xoff});
    }
    FtStatus FT_SetDataCharacteristics(FtHandle h, std::uint8_t bits, std::uint8_t stop,
                                       std::uint8_t parity) override {
        return On("FT_SetDataCharacteristics", h, {bits, stop, parity});
    }
    FtStatus FT_Purge(FtHandle h, std::uint32_t mask) override { return On("FT_Purge", h, {mask}); }
    FtStatus FT_Write(FtHandle h, const std::uint8_t* data, std::uint32_t count,
                      std::uint32_t& got) override {
        const FtStatus status = On("FT_Write", h, {count});
        got = status == FT_OK ? count : 0;
        written.insert(written.end(), data, data + got);
        return status;
    }
    FtStatus FT_GetQueueStatus(FtHandle h, std::uint32_t& waiting) override {
        const FtStatus status = On("FT_GetQueueStatus", h);
        waiting = status == FT_OK ? static_cast<std::uint32_t>(incoming.size()) : 0;
        return status;
    }
    FtStatus FT_Read(FtHandle h, std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& got) override {
        const FtStatus status = On("FT_Read", h, {count});
        for (got = 0; status == FT_OK && got < count && !incoming.empty(); ++got) {
            buffer[got] = incoming.front();
            incoming.pop_front();
        }
        return status;
    }
    FtStatus FT_GetStatus(FtHandle h, std::uint32_t& rx, std::uint32_t& tx,
                          std::uint32_t& events) override {
        FtStatus status = On("FT_GetStatus", h);
        status = status == FT_OK ? getStatusAnswer : status;
        rx = static_cast<std::uint32_t>(incoming.size());
        tx = txQueue;
        events = 0;
        return status;
    }
    FtStatus FT_Close(FtHandle h) override {
        const FtStatus status = On("FT_Close", h);
        open.erase(h);
        return status;
    }

    void Receive(const std::string& text) {
        incoming.insert(incoming.end(), text.begin(), text.end());
    }

    std::vector<Device> devices;
    std::deque<std::uint8_t> incoming;
    std::vector<std::uint8_t> written;
    std::uint32_t txQueue = 0;        // what FT_GetStatus reports as still to go out
    FtStatus getStatusAnswer = FT_OK; // FT_NOT_SUPPORTED: a driver that cannot tell
    std::set<FtHandle> open;
    std::vector<std::string> log; // "FT_SetBaudRate(256,38400)"
    std::string throwFrom;        // call name, or "*" for every call

private:
    void Call(const std::string& name) {
        if (throwFrom == "*" || throwFrom == name) {
            throw UsbDriverError("driver library not loaded");
        }
    }
    FtStatus On(const std::string& name, FtHandle h,
                std::initializer_list<std::uint32_t> args = {}) {
        std::string entry = name + "(" + std::to_string(h);
        for (auto a : args) {
            entry += "," + std::to_string(a);
        }
        log.push_back(entry + ")");
        Call(name);
        return open.count(h) != 0 ? FT_OK : FT_INVALID_HANDLE;
    }
};

} // namespace fw::test
