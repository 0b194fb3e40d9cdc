// Fakes for building the whole wizard in a test: a serial line with scripted
// ports, a converter driver with scripted devices, a message box that records
// and answers at once, and a version facility that can be Windows 95.
#pragma once

#include "app/MessageBox.h"
#include "link/SerialPort.h"
#include "link/UsbDriver.h"
#include "pages/Wizard.h"
#include "platform/VersionFacility.h"
#include "settings/MemoryRegistry.h"

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace fw::test {

struct Message {
    std::string text;
    MsgIcon icon;
    std::string title;
};

class RecordingBox : public IMessageBox {
public:
    void Show(const std::string& text, MsgIcon icon, const std::string& title) override {
        shown.push_back({text, icon, title});
    }
    std::vector<Message> shown;
};

// The machine's serial ports: which exist, which another program holds, which
// the program has open.
struct SerialLine {
    std::set<int> free;
    std::set<int> held;
    std::set<int> open;
    std::string PlatformList() const {
        std::set<int> all = free;
        all.insert(held.begin(), held.end());
        std::string list;
        for (int n : all) {
            list += "COM" + std::to_string(n) + '\0';
        }
        return list;
    }
};

class ScriptedPort : public ISerialPort {
public:
    explicit ScriptedPort(SerialLine& line) : line_(line) {}
    ~ScriptedPort() override { SetPortOpen(false); }
    CommError SetCommPort(std::int16_t port) override {
        if (port < 1) {
            return {kCommErrInvalidPort, "no such port"};
        }
        port_ = port;
        return {};
    }
    std::int16_t CommPort() const override { return port_; }
    bool PortOpen() const override { return open_; }
    CommError SetPortOpen(bool open) override {
        if (!open) {
            if (open_) {
                line_.open.erase(port_);
            }
            open_ = false;
            return {};
        }
        if (line_.held.count(port_) != 0 || line_.open.count(port_) != 0) {
            return {kCommErrPortInUse, "in use"};
        }
        if (line_.free.count(port_) == 0) {
            return {kCommErrInvalidPort, "no such port"};
        }
        line_.open.insert(port_);
        open_ = true;
        return {};
    }
    void Output(const std::vector<std::uint8_t>&) override {}
    std::int16_t CommEvent() const override { return 0; }
    int InBufferCount() const override { return 0; }
    std::string Input() override { return {}; }
    void SetOnComm(std::function<void()>) override {}

private:
    SerialLine& line_;
    std::int16_t port_ = 1;
    bool open_ = false;
};

class FakeUsb : public IUsbDriver {
public:
    struct Device {
        std::string description, serial;
    };
    std::vector<Device> devices;
    std::optional<std::string> failure; // thrown by every listing
    std::function<void()> onList;       // runs at each count
    std::set<FtHandle> open;

    FtStatus FT_ListDevices(std::uint32_t& count, std::uint32_t) override {
        if (failure) {
            throw UsbDriverError(*failure);
        }
        if (onList) {
            onList();
        }
        count = static_cast<std::uint32_t>(devices.size());
        return FT_OK;
    }
    FtStatus FT_ListDevices(std::uint32_t index, FtTextBuffer& buffer,
                            std::uint32_t flags) override {
        const Device& d = devices.at(index);
        const std::string& text =
            flags == FT_LIST_BY_INDEX_SERIAL_NUMBER ? d.serial : d.description;
        std::memcpy(buffer.data(), text.data(), std::min(text.size(), buffer.size()));
        return FT_OK;
    }
    FtStatus FT_Open(int index, FtHandle& handle) override {
        handle = static_cast<FtHandle>(index + 1);
        open.insert(handle);
        return FT_OK;
    }
    FtStatus FT_ResetDevice(FtHandle) override { return FT_OK; }
    FtStatus FT_SetBaudRate(FtHandle, std::uint32_t) override { return FT_OK; }
    FtStatus FT_SetFlowControl(FtHandle, std::uint16_t, std::uint8_t, std::uint8_t) override {
        return FT_OK;
    }
    FtStatus FT_SetDataCharacteristics(FtHandle, std::uint8_t, std::uint8_t,
                                       std::uint8_t) override {
        return FT_OK;
    }
    FtStatus FT_Purge(FtHandle, std::uint32_t) override { return FT_OK; }
    FtStatus FT_Write(FtHandle, const std::uint8_t*, std::uint32_t count,
                      std::uint32_t& written) override {
        written = count;
        return FT_OK;
    }
    FtStatus FT_GetQueueStatus(FtHandle, std::uint32_t& waiting) override {
        waiting = 0;
        return FT_OK;
    }
    FtStatus FT_Read(FtHandle, std::uint8_t*, std::uint32_t, std::uint32_t& got) override {
        got = 0;
        return FT_OK;
    }
    FtStatus FT_Close(FtHandle handle) override {
        open.erase(handle);
        return FT_OK;
    }
};

// Windows 95 (4.0.950) or a present-day NT-family system.
class FakeVersion : public IVersionFacility {
public:
    explicit FakeVersion(bool windows95) : windows95_(windows95) {}
    bool GetVersionExA(OsVersionInfo& info) override {
        info.dwPlatformId = windows95_ ? kPlatformWin32Windows : kPlatformWin32NT;
        info.dwMajorVersion = windows95_ ? 4 : 10;
        info.dwBuildNumber = windows95_ ? (0x04000000u | 950u) : 19045;
        return true;
    }
    bool GetVersionExA(OsVersionInfoEx& info) override {
        info.dwPlatformId = kPlatformWin32NT;
        info.dwMajorVersion = 10;
        info.dwBuildNumber = 19045;
        return true;
    }
    ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD, BYTE) override { return mask; }
    bool VerifyVersionInfoA(const OsVersionInfoEx&, DWORD, ULONGLONG) override { return false; }
    IRegistry& Registry() override { return registry_; }

private:
    bool windows95_;
    MemoryRegistry registry_;
};

// A wizard over the fakes. Settings and devices are set up before Build().
struct WizardRig {
    MemoryRegistry registry;
    Settings settings{registry};
    FakeUsb usb;
    RecordingBox box;
    SerialLine line;
    bool windows95 = false;
    int versionQueries = 0;
    std::vector<std::string> chooserCalls; // title|start|filter
    std::string chosen;                    // what the file dialog answers
    int allClosed = 0;
    std::unique_ptr<Wizard> wizard;

    Wizard& Build() {
        wizard = std::make_unique<Wizard>(WizardServices{
            registry,
            usb,
            box,
            [this] { return std::make_unique<ScriptedPort>(line); },
            [this] { return line.PlatformList(); },
            [this] {
                ++versionQueries;
                return std::make_shared<FakeVersion>(windows95);
            },
            [this](QWidget*, const std::string& title, const std::string& start,
                   const std::string& filter) {
                chooserCalls.push_back(title + "|" + start + "|" + filter);
                return chosen;
            },
        });
        wizard->SetOnAllClosed([this] { ++allClosed; });
        return *wizard;
    }
    std::string Stored(const char* name) {
        return settings.GetSettingValue(kSection, name, "<unset>");
    }
    void Store(const char* name, const std::string& value) {
        settings.SaveSettingValue(kSection, name, value);
    }
};

} // namespace fw::test
