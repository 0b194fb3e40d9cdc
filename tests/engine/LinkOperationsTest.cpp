#include "tests/engine/EngineRig.h"

namespace fw::test {
namespace {

TEST(ToInt16, ReadsDecimalWithBlanksAndRoundsHalvesToEven) {
    EXPECT_EQ(ToInt16("3"), 3);
    EXPECT_EQ(ToInt16("  12 "), 12);
    EXPECT_EQ(ToInt16("2.5"), 2);
    EXPECT_EQ(ToInt16("3.5"), 4);
    EXPECT_EQ(ToInt16("2.51"), 3);
    EXPECT_EQ(ToInt16("-7"), -7);
    EXPECT_EQ(ToInt16("32767"), 32767);
    EXPECT_EQ(ToInt16("-32768"), -32768);
    for (const char* bad : {"", "  ", "x", "3x", "1e2", "&H10", "32768", "-32769",
                            "99999999999999999999", ".", "-", "1.2.3"}) {
        EXPECT_FALSE(ToInt16(bad).has_value()) << bad;
    }
}

struct LinkTest : ::testing::Test, EngineRig {};

TEST_F(LinkTest, ComWithoutStoredPortOpensPortOneAndStartsTheRun) {
    link.ConnectToAnalyser();
    EXPECT_EQ(view.port.commPort, 1);
    EXPECT_TRUE(view.port.open);
    EXPECT_TRUE(view.Showed(StatusLabel::Connection, "Connecting..."));
    EXPECT_EQ(Caption(StatusLabel::Connection), "OK");
    EXPECT_EQ(Colour(StatusLabel::Connection), kGreen);
    EXPECT_EQ(mod.nUpdateState, kStateStart);
    EXPECT_TRUE(box.shown.empty());
}

TEST_F(LinkTest, ComPortThatIsNoNumberOrRefusedFailsWithInvalidPort) {
    for (const char* port : {"x", "70000", "300"}) { // 300: the control refuses it
        box.shown.clear();
        mod.nUpdateState = kStateFailed;
        Set(kComPort, port);
        link.ConnectToAnalyser();
        EXPECT_EQ(Caption(StatusLabel::Connection), "FAILED") << port;
        EXPECT_EQ(Colour(StatusLabel::Connection), kRed);
        ASSERT_EQ(box.shown.size(), 1u);
        EXPECT_EQ(box.shown[0].text, kMsgInvalidPort);
        EXPECT_EQ(box.shown[0].icon, MsgIcon::Critical);
        EXPECT_EQ(box.shown[0].title, kAppTitle);
        EXPECT_EQ(mod.nUpdateState, kStateFailed);
        EXPECT_FALSE(view.port.open);
    }
}

TEST_F(LinkTest, ComPortHeldElsewhereAndPortAlreadyOpen) {
    view.port.openError = kCommErrPortInUse;
    Set(kComPort, " 4 ");
    link.ConnectToAnalyser();
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].text, kMsgPortBusy);
    EXPECT_EQ(mod.nUpdateState, kStateIdle);

    view.port.open = true;
    view.captionLog.clear();
    link.ConnectToAnalyser();
    EXPECT_FALSE(view.Showed(StatusLabel::Connection, "Connecting..."));
    EXPECT_EQ(Caption(StatusLabel::Connection), "OK");
    EXPECT_EQ(mod.nUpdateState, kStateStart);
}

TEST_F(LinkTest, UsbPicksFirstDeviceWhoseSerialStartsWithTheStoredOneAndConfiguresIt) {
    Set(kConnectionType, "USB");
    Set(kUsbAnalyser, "AB");
    usb.devices = {{"XY1", "Other"}, {"AB77", "Merlane analyser"}, {"AB12", "Other"}};
    link.ConnectToAnalyser();
    EXPECT_EQ(mod.nUpdateState, kStateStart);
    EXPECT_EQ(mod.nAnalyserKind, 2);
    const FtHandle h = FakeUsbDriver::kHandleBase + 1;
    EXPECT_EQ(mod.nUsbHandle, h);
    const std::string hs = std::to_string(h);
    EXPECT_EQ(usb.log,
              (std::vector<std::string>{
                  "FT_ListDevices(count,0x80000000)", "FT_ListDevices(0,0x40000001)",
                  "FT_ListDevices(1,0x40000001)", "FT_ListDevices(1,0x40000002)", "FT_Open(1)",
                  "FT_ResetDevice(" + hs + ")", "FT_SetBaudRate(" + hs + ",125000)",
                  "FT_SetFlowControl(" + hs + ",0,0,0)",
                  "FT_SetDataCharacteristics(" + hs + ",8,0,0)", "FT_Purge(" + hs + ",3)"}));
    EXPECT_EQ(Caption(StatusLabel::Connection), "Connected...");
    EXPECT_FALSE(view.At(StatusLabel::Connection).colourSet);
}

TEST_F(LinkTest, UsbEmptySerialTakesDeviceZeroAtStandardSpeedKeepingTheKind) {
    Set(kConnectionType, "USB");
    usb.devices = {{"Z9", "Plain"}, {"Z8", "Plain"}};
    mod.nAnalyserKind = 1;
    link.ConnectToAnalyser();
    EXPECT_EQ(mod.nUsbHandle, FakeUsbDriver::kHandleBase);
    EXPECT_EQ(usb.Calls("FT_SetBaudRate"),
              std::vector<std::string>{"FT_SetBaudRate(" +
                                       std::to_string(FakeUsbDriver::kHandleBase) + ",38400)"});
    EXPECT_EQ(mod.nAnalyserKind, 1);
}

TEST_F(LinkTest, UsbFailures) {
    Set(kConnectionType, "USB");
    link.ConnectToAnalyser(); // nothing attached
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].text, kMsgAnalyserNotFound);
    EXPECT_EQ(box.shown[0].icon, MsgIcon::None);
    EXPECT_EQ(Caption(StatusLabel::Connection), "FAILED");

    usb.devices = {{"S1", "Merlane", FT_DEVICE_NOT_OPENED}};
    link.ConnectToAnalyser();
    ASSERT_EQ(box.shown.size(), 2u);
    EXPECT_EQ(box.shown[1].text, kMsgUsbOpenFailed);
    EXPECT_EQ(box.shown[1].icon, MsgIcon::None);
    EXPECT_EQ(mod.nAnalyserKind, 2); // set before the open failed, and kept
    EXPECT_EQ(mod.nUsbHandle, 0u);
    EXPECT_EQ(mod.nUpdateState, kStateIdle);
}

TEST_F(LinkTest, ThrowingDriverIsReportedAndLeavesTheStateAlone) {
    Set(kConnectionType, "USB");
    usb.devices = {{"S1", "Plain"}};
    for (const char* call : {"FT_ListDevices", "FT_Open", "FT_Purge"}) {
        box.shown.clear();
        usb.throwFrom = call;
        mod.nUpdateState = kStateWaitBanner;
        link.ConnectToAnalyser();
        ASSERT_EQ(box.shown.size(), 1u) << call;
        EXPECT_EQ(box.shown[0].text,
                  "There was an error initiating the usb driver : driver library not loaded");
        EXPECT_EQ(box.shown[0].icon, MsgIcon::Critical);
        EXPECT_EQ(Caption(StatusLabel::Connection), "FAILED");
        EXPECT_EQ(Colour(StatusLabel::Connection), kRed);
        EXPECT_EQ(mod.nUpdateState, kStateWaitBanner);
        link.CloseUsb();
    }
    usb.throwFrom = "*";
    mod.nUsbHandle = 5;
    link.SendText("@");
    link.SendBytes({1, 2});
    engine.CheckUSBRec();
    link.CloseUsb();
    EXPECT_EQ(mod.nUsbHandle, 0u);
}

TEST_F(LinkTest, SendsOneBytePerCharacterOnTheStoredLinkOnly) {
    Set(kConnectionType, "USB");
    usb.devices = {{"S1", "Plain"}};
    link.ConnectToAnalyser();
    link.SendText("ABC");
    link.SendBytes({0xFF, 0x00});
    EXPECT_EQ(usb.written, (Bytes{0x41, 0x42, 0x43, 0xFF, 0x00}));
    EXPECT_EQ(mod.nUsbBytesWritten, 2);

    Set(kConnectionType, "COM"); // a changed type counts from the next send
    link.SendText("dropped: port closed");
    EXPECT_TRUE(view.port.output.empty());
    view.port.open = true;
    link.SendText(std::string("\xE9", 1)); // Latin-1 character: its byte value
    EXPECT_EQ(TakeSent(), (Bytes{0xE9}));

    Set(kConnectionType, "TCP");
    link.SendText("nothing");
    EXPECT_TRUE(view.port.output.empty());
    EXPECT_EQ(usb.written.size(), 5u);
}

TEST_F(LinkTest, TcpStartsAtOnceWithoutTouchingTheLabel) {
    Set(kConnectionType, "TCP");
    link.ConnectToAnalyser();
    EXPECT_EQ(mod.nUpdateState, kStateStart);
    EXPECT_TRUE(view.captionLog.empty());
}

TEST_F(LinkTest, ClosersAndPendingOutput) {
    view.port.open = true;
    view.port.outBufferCount = 600;
    EXPECT_EQ(link.PendingOutput(), 600u);
    mod.nUsbHandle = FakeUsbDriver::kHandleBase;
    usb.open.insert(mod.nUsbHandle);
    link.CloseLink(); // the serial port first
    EXPECT_FALSE(view.port.open);
    EXPECT_EQ(link.PendingOutput(), 0u);
    EXPECT_EQ(mod.nUsbHandle, FakeUsbDriver::kHandleBase);
    link.CloseLink(); // then the converter
    EXPECT_EQ(mod.nUsbHandle, 0u);
    EXPECT_TRUE(usb.open.empty());
    link.CloseUsb(); // nothing open: no driver call
    EXPECT_EQ(usb.Calls("FT_Close").size(), 1u);
}

} // namespace
} // namespace fw::test
