// Fakes for building the whole wizard in a test: a serial line with scripted
// ports, a converter driver with scripted devices, a message box that records
// and answers at once (shared with the engine tests), and a version facility that can be
// Windows 95.
#pragma once

#include "link/SerialPort.h"
#include "pages/Wizard.h"
#include "platform/VersionFacility.h"
#include "settings/MemoryRegistry.h"
#include "tests/support/FakeUsbDriver.h"
#include "tests/support/RecordingMessageBox.h"

#include <QApplication>
#include <QCursor>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fw::test {

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

// Notes the mouse pointer at each device count.
class CursorWatchingUsb : public FakeUsbDriver {
public:
    FtStatus FT_ListDevices(std::uint32_t& count, std::uint32_t flags) override {
        const QCursor* cursor = QApplication::overrideCursor();
        cursors.push_back(cursor != nullptr ? cursor->shape() : -1);
        return FakeUsbDriver::FT_ListDevices(count, flags);
    }
    using FakeUsbDriver::FT_ListDevices;
    std::vector<int> cursors;
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
    CursorWatchingUsb usb;
    RecordingMessageBox box;
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
