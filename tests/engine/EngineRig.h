// The update engine and the link wired to fakes, with helpers to store
// settings, write firmware files and play the analyser's side.
#pragma once

#include "engine/UpdateEngine.h"
#include "link/LinkOperations.h"
#include "settings/MemoryRegistry.h"
#include "settings/Settings.h"
#include "tests/support/FakeProgressView.h"
#include "tests/support/FakeUsbDriver.h"
#include "tests/support/RecordingMessageBox.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fw::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

struct EngineRig {
    EngineRig() {
        dir = std::filesystem::temp_directory_path() /
              ("fw_engine_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        fields.nProgressWidth = 2295;
    }
    ~EngineRig() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    void Set(const char* name, const std::string& value) {
        settings.SaveSettingValue(kSection, name, value);
    }
    // Writes a firmware file and stores it as the chosen one.
    std::string Firmware(const std::string& content, const std::string& name = "fw.sx") {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << content;
        Set(kFilename, path);
        return path;
    }
    void Flags(bool boot, bool flash, bool eeprom, bool ram, bool upload, bool run) {
        mod.bOpBootloader = ToVb(boot);
        mod.bOpEraseFlash = ToVb(flash);
        mod.bOpEraseEEPROM = ToVb(eeprom);
        mod.bOpEraseRAM = ToVb(ram);
        mod.bOpUpload = ToVb(upload);
        mod.bOpRun = ToVb(run);
    }
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            engine.AFTimer1_Timer();
        }
    }
    // Bytes arriving on the serial port, with the control's receive event.
    void Arrive(const std::string& text) {
        view.port.Receive(text);
        engine.afComm1_OnComm();
    }
    // What went out on the serial port since the last call.
    Bytes TakeSent() {
        Bytes out;
        out.swap(view.port.output);
        return out;
    }
    std::string SentText() {
        const Bytes b = TakeSent();
        return std::string(b.begin(), b.end());
    }
    std::string Caption(StatusLabel l) const { return view.At(l).caption; }
    Rgb Colour(StatusLabel l) const { return view.At(l).colour; }

    std::filesystem::path dir;
    ModFlashwright mod;
    ProgressFields fields;
    FakeProgressView view;
    MemoryRegistry registry;
    Settings settings{registry};
    FakeUsbDriver usb;
    RecordingMessageBox box;
    Link link{mod, view, settings, usb, box};
    UpdateEngine engine{mod, fields, view, link, settings, usb, box};
};

} // namespace fw::test
