// A scriptable converter driver: attached devices with their serial numbers and
// descriptions, open failures, bytes waiting to be read, and a log of every
// call with its arguments. `throwFrom` makes a call (or "*": every call) throw
// UsbDriverError, as a driver library that cannot be loaded does.
#pragma once

#include "link/UsbDriver.h"

#include <algorithm>
#include <cstring>
#include <deque>
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

    FtStatus FT_ListDevices(std::uint32_t& count, std::uint32_t flags) override {
        Call("FT_ListDevices(count," + Hex(flags) + ")");
        count = static_cast<std::uint32_t>(devices.size());
        return FT_OK;
    }
    FtStatus FT_ListDevices(std::uint32_t index, FtTextBuffer& buffer,
                            std::uint32_t flags) override {
        Call("FT_ListDevices(" + std::to_string(index) + "," + Hex(flags) + ")");
        if (index >= devices.size()) {
            return FT_DEVICE_NOT_FOUND;
        }
        const std::string& text = flags == FT_LIST_BY_INDEX_SERIAL_NUMBER
                                      ? devices[index].serial
                                      : devices[index].description;
        buffer.fill('\0');
        std::memcpy(buffer.data(), text.data(), std::min(text.size(), buffer.size() - 1));
        return FT_OK;
    }
    FtStatus FT_Open(int index, FtHandle& handle) override {
        Call("FT_Open(" + std::to_string(index) + ")");
        if (index < 0 || static_cast<std::size_t>(index) >= devices.size()) {
            return FT_DEVICE_NOT_FOUND;
        }
        if (devices[index].openStatus != FT_OK) {
            return devices[index].openStatus;
        }
        handle = kHandleBase + static_cast<FtHandle>(index);
        open.insert(handle);
        return FT_OK;
    }
    FtStatus FT_ResetDevice(FtHandle h) override { return Simple("FT_ResetDevice", h); }
    FtStatus FT_SetBaudRate(FtHandle h, std::uint32_t baud) override {
        return Simple("FT_SetBaudRate", h, {baud});
    }
    FtStatus FT_SetFlowControl(FtHandle h, std::uint16_t flow, std::uint8_t xon,
                               std::uint8_t xoff) override {
        return Simple("FT_SetFlowControl", h, {flow, xon, xoff});
    }
    FtStatus FT_SetDataCharacteristics(FtHandle h, std::uint8_t bits, std::uint8_t stop,
                                       std::uint8_t parity) override {
        return Simple("FT_SetDataCharacteristics", h, {bits, stop, parity});
    }
    FtStatus FT_Purge(FtHandle h, std::uint32_t mask) override {
        return Simple("FT_Purge", h, {mask});
    }
    FtStatus FT_Write(FtHandle h, const std::uint8_t* data, std::uint32_t count,
                      std::uint32_t& got) override {
        const FtStatus status = Simple("FT_Write", h, {count});
        got = 0;
        if (status == FT_OK) {
            written.insert(written.end(), data, data + count);
            got = count;
        }
        return status;
    }
    FtStatus FT_GetQueueStatus(FtHandle h, std::uint32_t& waiting) override {
        const FtStatus status = Simple("FT_GetQueueStatus", h);
        waiting = status == FT_OK ? static_cast<std::uint32_t>(incoming.size()) : 0;
        return status;
    }
    FtStatus FT_Read(FtHandle h, std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& got) override {
        const FtStatus status = Simple("FT_Read", h, {count});
        got = 0;
        while (status == FT_OK && got < count && !incoming.empty()) {
            buffer[got++] = incoming.front();
            incoming.pop_front();
        }
        return status;
    }
    FtStatus FT_Close(FtHandle h) override {
        const FtStatus status = Simple("FT_Close", h);
        open.erase(h);
        return status;
    }

    void Receive(const std::string& text) {
        for (char c : text) {
            incoming.push_back(static_cast<std::uint8_t>(c));
        }
    }
    std::string WrittenText() const { return std::string(written.begin(), written.end()); }
    // The calls whose log entry starts with `prefix`.
    std::vector<std::string> Calls(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& c : log) {
            if (c.rfind(prefix, 0) == 0) {
                out.push_back(c);
            }
        }
        return out;
    }

    std::vector<Device> devices;
    std::deque<std::uint8_t> incoming;
    std::vector<std::uint8_t> written;
    std::set<FtHandle> open;
    std::vector<std::string> log;
    std::string throwFrom; // call name, or "*" for every call

private:
    void Call(const std::string& entry) {
        log.push_back(entry);
        const std::string name = entry.substr(0, entry.find('('));
        if (throwFrom == "*" || throwFrom == name) {
            throw UsbDriverError("driver library not loaded");
        }
    }
    FtStatus Simple(const std::string& name, FtHandle h, std::vector<std::uint32_t> args = {}) {
        std::string entry = name + "(" + std::to_string(h);
        for (auto a : args) {
            entry += "," + std::to_string(a);
        }
        Call(entry + ")");
        return open.count(h) != 0 ? FT_OK : FT_INVALID_HANDLE;
    }
    static std::string Hex(std::uint32_t v) {
        static const char* digits = "0123456789ABCDEF";
        std::string s = "0x";
        for (int shift = 28; shift >= 0; shift -= 4) {
            s += digits[(v >> shift) & 0xF];
        }
        return s;
    }
};

} // namespace fw::test
