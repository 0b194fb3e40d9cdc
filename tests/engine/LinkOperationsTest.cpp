#include "tests/engine/EngineRig.h"

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
        link.ConnectToAnalyser();
        ExpectBox(kMsgInvalidPort, MsgIcon::Critical, kAppTitle);
        EXPECT_EQ(mod.nUpdateState, kStateIdle);
    }
    view.port.openError = kCommErrPortInUse;
    Set(kComPort, " 2.5 ");
    link.ConnectToAnalyser();
    ExpectBox(kMsgPortBusy, MsgIcon::Critical, kAppTitle);
    ExpectLabel(StatusLabel::Connection, "FAILED", kRed);
    EXPECT_EQ(view.port.commPort, 2);
    EXPECT_EQ(mod.nUpdateState, kStateIdle);
}

TEST_F(LinkTest, UsbOpensFirstDeviceWhoseSerialStartsWithTheStoredOneAndConfiguresIt) {
    Set(kConnectionType, "USB");
    Set(kUsbAnalyser, "AB");
    usb.devices = {{"XY1", "Other"}, {"AB77", "Merlane analyser"}, {"AB12", "Other"}};
    link.ConnectToAnalyser();
    EXPECT_EQ(mod.nUpdateState, kStateStart);
    EXPECT_EQ(mod.nAnalyserKind, 2);
    EXPECT_EQ(mod.nUsbHandle, 0x101u);
    EXPECT_EQ(usb.log, (std::vector<std::string>{
                           "FT_ResetDevice(257)", "FT_SetBaudRate(257,125000)",
                           "FT_SetFlowControl(257,0,0,0)", "FT_SetDataCharacteristics(257,8,0,0)",
                           "FT_Purge(257,3)"}));
    ExpectLabel(StatusLabel::Connection, "Connected...", Rgb{});
}

TEST_F(LinkTest, UsbDeviceMissingUnopenableOrDriverThrowing) {
    Set(kConnectionType, "USB");
    link.ConnectToAnalyser(); // nothing attached
    ExpectBox(kMsgAnalyserNotFound, MsgIcon::None, kAppTitle);
    usb.devices = {{"S1", "Merlane", FT_DEVICE_NOT_OPENED}};
    link.ConnectToAnalyser();
    ExpectBox(kMsgUsbOpenFailed, MsgIcon::None, kAppTitle);
    ExpectLabel(StatusLabel::Connection, "FAILED", kRed);
    EXPECT_EQ(mod.nUsbHandle, 0u);
    EXPECT_EQ(mod.nUpdateState, kStateIdle);
    // A driver library that cannot be called is reported instead of escaping
    // the connect, and the state is left as it was.
    usb.devices = {{"S1", "Plain"}};
    for (const char* call : {"FT_ListDevices", "FT_Open", "FT_Purge"}) {
        usb.throwFrom = call;
        mod.nUpdateState = kStateWaitBanner;
        link.ConnectToAnalyser();
        ExpectBox(std::string(kMsgUsbDriverError) + "driver library not loaded", MsgIcon::Critical,
                  kAppTitle);
        EXPECT_EQ(mod.nUpdateState, kStateWaitBanner);
        link.CloseUsb();
    }
    usb.throwFrom = "*";
    mod.nUsbHandle = 5;
    link.SendText("@");
    engine.CheckUSBRec();
    link.CloseUsb();
    EXPECT_EQ(mod.nUsbHandle, 0u);
}

TEST_F(LinkTest, SendsEveryCharacterAsItsByteValue) {
    link.SendText(std::string("A\xE9", 2)); // a Latin-1 character
    link.SendBytes({0xFF, 0x00});
    EXPECT_EQ(view.port.output, (Bytes{0x41, 0xE9, 0xFF, 0x00}));
}

} // namespace
} // namespace fw::test
