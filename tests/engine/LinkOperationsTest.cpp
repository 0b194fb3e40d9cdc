#include "tests/engine/EngineRig.h"

#include <algorithm>

namespace fw::test {
namespace {

using LinkTest = EngineRig;

// The stored number is read as the settings always were: blanks allowed,
// halves rounded to even, nothing that does not fit 16 bits.
TEST_F(LinkTest, ComPortThatIsNoNumberRefusedOrHeldFailsTheConnect) {
    const char* invalid[] = {"x",     "3x", "1e2", "&H10", "70000", "99999999999999999999",
                             "1.2.3", "300"}; // 300: the control refuses it
    view.port.open = false;
    for (const char* port : invalid) {
        Set(kComPort, port);
        ConnectLink();
        ExpectBox(kMsgInvalidPort, MsgIcon::Critical, kAppTitle);
        EXPECT_EQ(state.nUpdateState, Idle);
    }
    view.port.openError = kCommErrPortInUse;
    Set(kComPort, " 2.5 ");
    ConnectLink();
    ExpectBox(std::string(kMsgPortBusy) + "\n\nCOM2: Port already open", MsgIcon::Critical,
              kAppTitle);
    ExpectLabel(StatusLabel::Connection, "FAILED", kRed);
    EXPECT_EQ(view.port.commPort, 2);
    EXPECT_EQ(state.nUpdateState, Idle);
}

TEST_F(LinkTest, UsbOpensFirstDeviceWhoseSerialStartsWithTheStoredOneAndConfiguresIt) {
    Set(kConnectionType, "USB");
    Set(kUsbAnalyser, "AB");
    usb.devices = {{"XY1", "Other"}, {"AB77", "Merlane analyser"}, {"AB12", "Other"}};
    EXPECT_EQ(ConnectLink().analyserKind, 2);
    EXPECT_EQ(state.nUpdateState, Start);
    EXPECT_EQ(usb.open, std::set<FtHandle>{0x101});
    EXPECT_EQ(usb.log, (std::vector<std::string>{
                           "FT_Open(1)", "FT_ResetDevice(257)", "FT_SetBaudRate(257,125000)",
                           "FT_SetFlowControl(257,0,0,0)", "FT_SetDataCharacteristics(257,8,0,0)",
                           "FT_Purge(257,3)"}));
    ExpectLabel(StatusLabel::Connection, "Connected...", Rgb{});
}

TEST_F(LinkTest, UsbDeviceMissingUnopenableOrDriverThrowing) {
    Set(kConnectionType, "USB");
    ConnectLink(); // nothing attached
    ExpectBox(kMsgAnalyserNotFound, MsgIcon::None, kAppTitle);
    usb.devices = {{"S1", "Merlane", FT_DEVICE_NOT_OPENED}};
    ConnectLink();
    ExpectBox(kMsgUsbOpenFailed, MsgIcon::None, kAppTitle);
    ExpectLabel(StatusLabel::Connection, "FAILED", kRed);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(state.nUpdateState, Idle);
    // A driver library that cannot be called is reported instead of escaping
    // the connect, and the state is left as it was.
    usb.devices = {{"S1", "Plain"}};
    for (const char* call : {"FT_ListDevices", "FT_Open", "FT_Purge"}) {
        usb.throwFrom = call;
        state.nUpdateState = WaitBanner;
        ConnectLink();
        ExpectBox(std::string(kMsgUsbDriverError) + "driver library not loaded", MsgIcon::Critical,
                  kAppTitle);
        EXPECT_EQ(state.nUpdateState, WaitBanner);
        usb.throwFrom = "*"; // and on the converter FT_Purge's throw left open
        link.SendText("@");
        link.Poll();
        link.CloseLink();
        EXPECT_FALSE(link.IsOpen());
    }
}

// A whole run over a converter that goes away while the analyser restarts (and
// stays away for `awayTicks`), or whose driver cannot tell its transmit queue.
TEST_F(LinkTest, ConverterRunEndsWithTheFileConfirmedAndNoMessage) {
    const struct {
        bool unplugAtRestart; // and re-enumerated, away for `awayTicks`
        int awayTicks;
        FtStatus getStatus; // the driver's answer when asked for its transmit queue
    } cases[] = {{true, 0, FT_OK}, {true, 75, FT_OK}, {false, 0, FT_NOT_SUPPORTED}};
    SetOperationDefaults(config.operations);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.awayTicks);
        NewRun();
        usb = FakeUsbDriver{};
        Firmware("S0030000FC\r\nS1051000AA55EB\r\nS1030000FC\r\nS9030000FC\r\n");
        UseConverter();
        usb.getStatusAnswer = c.getStatus;
        Connect();
        ASSERT_EQ(usb.open, std::set<FtHandle>{0x100});
        std::ptrdiff_t unplugged = 0; // calls logged before
        if (c.unplugAtRestart) {
            ASSERT_TRUE(Play([this] { return state.nUpdateState == WaitReboot; }));
            // Re-enumerating: the handle is dead, and for a while no device is there.
            usb.open.clear();
            unplugged = static_cast<std::ptrdiff_t>(usb.log.size());
            const auto attached = usb.devices;
            if (c.awayTicks > 0) {
                usb.devices.clear();
            }
            Tick(c.awayTicks);
            EXPECT_EQ(state.nUpdateState, WaitReboot);
            usb.devices = attached;
        }
        ASSERT_TRUE(Play(
            [this] { return state.nUpdateState == Finished || state.nUpdateState == Failed; }));
        EXPECT_EQ(state.nUpdateState, Finished);
        EXPECT_EQ(fields.nRecordsPassed, 2);
        EXPECT_TRUE(box.shown.empty()) << box.shown.front().text;
        ASSERT_EQ(runLog.runs.size(), 1u);
        EXPECT_EQ(runLog.runs[0].result, RunResult::Success);
        if (c.unplugAtRestart) {
            // The dead handle is let go before the device is opened anew.
            const auto since = usb.log.begin() + unplugged;
            const auto open = std::find(since, usb.log.end(), "FT_Open(0)");
            ASSERT_NE(open, usb.log.end());
            EXPECT_NE(std::find(since, open, "FT_Close(256)"), open);
        }
    }
}

} // namespace
} // namespace fw::test
