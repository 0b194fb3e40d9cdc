// The update engine and the link wired to fakes, with helpers to set the
// run's choices, write firmware files and play the analyser's side.
#pragma once

#include "engine/UpdateEngine.h"
#include "run/AnalyserRun.h"
#include "settings/Settings.h"
#include "tests/support/FakeProgressView.h"
#include "tests/support/FakeUsbDriver.h"
#include "tests/support/RecordingMessageBox.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace fw::test {

using Bytes = std::vector<std::uint8_t>;
using enum UpdateState; // the steps by their names

struct RecordingRunLog : IRunLog {
    void Append(const RunRecord& record) override { runs.push_back(record); }
    std::vector<RunRecord> runs;
};

struct EngineRig : ::testing::Test {
    EngineRig() {
        view.port.open = true;
        engine.SetClock([this] { return clock; });
    }
    ~EngineRig() override { std::remove(path.c_str()); }

    // One of the run's choices, named as the settings name it.
    void Set(const char* name, const std::string& value) {
        const std::string n = name;
        if (n == kConnectionType) {
            config.type = ParseConnectionType(value).value();
            return;
        }
        std::string& field = n == kComPort       ? config.comPort
                             : n == kUsbAnalyser ? config.usbSerial
                             : n == kAddress     ? config.address
                                                 : config.filename;
        field = value;
    }
    // Writes a firmware file and makes it the chosen one.
    void Firmware(const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
        Set(kFilename, path);
    }
    // The link alone connects, with the run's choices, and the sequence
    // starts when it is ready, as the engine starts it.
    LinkOpened ConnectLink() {
        LinkOpened opened = link.ConnectToAnalyser(config);
        if (!opened.failure) {
            state.nUpdateState = Start;
        }
        return opened;
    }
    // A run connects with the run's choices.
    void Connect() { engine.ConnectToAnalyser(config); }
    // A run connects and is put straight into `state`.
    void StartAt(UpdateState step) {
        Connect();
        state.nUpdateState = step;
    }
    // The chosen connection is the converter "A1" (handle kHandleBase once open).
    void UseConverter() {
        view.port.open = false;
        usb.devices.push_back({"A1", "Analyser A"});
        Set(kConnectionType, "USB");
        Set(kUsbAnalyser, "A1");
    }
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            engine.AFTimer1_Timer();
        }
    }
    // Bytes arriving on the serial port, with the control's receive event; on
    // an open converter, polled as the tick polls it.
    void Arrive(const std::string& text) {
        if (config.type == ConnectionType::Usb && link.IsOpen()) {
            usb.Receive(text);
            link.Poll();
            return;
        }
        view.port.Receive(text);
        view.port.RaiseComm();
    }
    // Plays a good bootloader until `stop` holds after a tick (false if it
    // never does): `verdict` once for each record sent but the last
    // `withhold`, `afterEcho` right after the flash erase's echo.
    template <typename Stop> bool Play(Stop stop) {
        for (int i = 0; i < 500; ++i) {
            Tick();
            if (stop()) {
                return true;
            }
            switch (state.nUpdateState) {
            case WaitReboot:
                Arrive(kBootloaderEntryPrompt);
                break;
            case WaitBanner:
                Arrive("Analyser V1.2 Bootloader\r\n");
                break;
            case ErasingFlash:
                Arrive("ERASEALL");
                if (!afterEcho.empty()) {
                    Arrive(afterEcho);
                }
                break;
            case Uploading:
            case WaitAcks:
                for (; answered < fields.nRecordsSent - withhold; ++answered) {
                    Arrive(verdict);
                }
                break;
            default:
                break;
            }
        }
        return false;
    }
    // Forgets what the last run left behind, for the next case of a table.
    void NewRun() {
        view.labels = {}; // the page loads afresh
        runLog.runs.clear();
        box.shown.clear();
        view.port.output.clear();
        view.port.open = true;
        view.port.lost = false;
        answered = 0;
        fields = ProgressFields{};
    }
    // What went out on the serial port.
    std::string Sent() const { return {view.port.output.begin(), view.port.output.end()}; }
    void ExpectLabel(StatusLabel l, const std::string& caption, Rgb colour) {
        EXPECT_EQ(view.At(l).caption, caption) << static_cast<int>(l);
        EXPECT_EQ(view.At(l).colour, colour) << static_cast<int>(l);
    }
    // Exactly one message box was shown, with these contents; forgets it.
    void ExpectBox(const std::string& text, MsgIcon icon, const std::string& title) {
        ASSERT_EQ(box.shown.size(), 1u) << text;
        EXPECT_EQ(box.shown[0].text, text);
        EXPECT_EQ(box.shown[0].icon, icon);
        EXPECT_EQ(box.shown[0].title, title);
        box.shown.clear();
    }

    const std::string path = ::testing::TempDir() + "fw_engine_" + std::to_string(::getpid()) +
                             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ProgressFields fields;
    FakeProgressView view;
    RunConfig config; // what the run is handed when it connects
    FakeUsbDriver usb;
    RecordingMessageBox box;
    RecordingRunLog runLog;
    AnalyserRun run{RunServices{
        view, fields, box,
        TransportMakers{[this] { return BorrowedSerialPort::Of(view.port); }, nullptr, usb},
        &runLog}};
    Link& link = run.link;
    UpdateEngine& engine = run.engine;
    RunState& state = engine.State(); // the run's own step, reply buffer and kind
    EngineClock::time_point clock{};  // the engine's clock: moves only when a test moves it
    std::string verdict = "Sx Pass "; // how Play() answers
    std::int32_t withhold = 0;
    std::string afterEcho;
    std::int32_t answered = 0;
};

} // namespace fw::test
