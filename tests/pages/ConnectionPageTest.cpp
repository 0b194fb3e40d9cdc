// The connection page: what loading restores and searches, the type change and
// what Next stores.
#include "tests/pages/PagesTest.h"

#include "platform/OperatingSystem.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

namespace fw::test {
namespace {

constexpr const char* kNoLongerExists =
    "The COM port specified no longer exists.\r\nSetting will be changed to a valid COM port.";

class ConnectionPageTest : public PagesTest {
protected:
    ConnectionPage& Load() {
        rig.Build().Start();
        return rig.wizard->connection;
    }
    QComboBox* Combo(const char* name) { return Find<QComboBox>(rig.wizard->connection, name); }
    // The type frame in front: the three lie on each other, the last raised on top.
    std::string FrontFrame() {
        const QWidget* hit =
            Find<QGroupBox>(rig.wizard->connection, "fraConnection")->childAt(QPoint(150, 95));
        while (hit != nullptr && !hit->objectName().startsWith("fraConnection_")) {
            hit = hit->parentWidget();
        }
        return hit != nullptr ? hit->objectName().toStdString() : "";
    }
    void Next() { Click(rig.wizard->connection, "btnNext"); }
};

TEST_F(ConnectionPageTest, FirstRunShowsSerialPortOneAndTheDefaultAddress) {
    rig.line.free = {1, 3};
    ConnectionPage& page = Load();
    EXPECT_EQ(Find<QLabel>(page, "lblVersion")->text(), "Version 4.1.0");
    EXPECT_EQ(Combo("cboConnection_Type")->currentText(), "Serial Port");
    EXPECT_EQ(Combo("cboConnection_Serial")->count(), 2);
    EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), "COM1");
    EXPECT_EQ(Find<QLineEdit>(page, "txtConnection_IP")->text(), "192.168.0.1");
    EXPECT_EQ(FrontFrame(), "fraConnection_Serial");
    for (const char* frame : {"fraConnection_Serial", "fraConnection_USB", "fraConnection_TCPIP"}) {
        EXPECT_TRUE(Find<QGroupBox>(page, frame)->isVisible()) << frame;
    }
    EXPECT_TRUE(rig.box.shown.empty());
    EXPECT_TRUE(rig.line.open.empty()); // every test open closed again
    EXPECT_EQ(Combo("cboConnection_USB")->currentText(), "Combo3");
}

TEST_F(ConnectionPageTest, SearchMessagesComeTwiceForSerialAndOnceForOtherTypes) {
    rig.line.held = {3};
    rig.line.free = {4};
    Load();
    ASSERT_EQ(rig.box.shown.size(), 2u);
    for (const auto& m : rig.box.shown) {
        EXPECT_EQ(m.text, kNoLongerExists);
        EXPECT_EQ(m.icon, MsgIcon::None);
    }
    // The stored port 1 matches no entry: the walk ends on the first one.
    EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), "COM3 (In Use)");
    Next();
    EXPECT_EQ(rig.Stored(kConnectionType), "COM");
    EXPECT_EQ(rig.Stored(kComPort), "3");

    rig.wizard.reset();
    rig.box.shown.clear();
    rig.Store(kConnectionType, "TCP");
    Load();
    EXPECT_EQ(rig.box.shown.size(), 1u);
    EXPECT_EQ(Combo("cboConnection_Serial")->count(), 2); // searched all the same
    EXPECT_EQ(FrontFrame(), "fraConnection_TCPIP");
}

TEST_F(ConnectionPageTest, StoredPortIsFoundFromTheEndAndNextStoresItsNumber) {
    rig.line.free = {1, 3, 10};
    rig.Store(kComPort, "10");
    Load();
    EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), "COM10");
    Next();
    EXPECT_EQ(rig.Stored(kComPort), "10");
}

TEST_F(ConnectionPageTest, NetworkAddressIsStoredTrimmed) {
    rig.line.free = {1};
    rig.Store(kConnectionType, "TCP");
    rig.Store(kAddress, "10.0.0.9");
    ConnectionPage& page = Load();
    auto* ip = Find<QLineEdit>(page, "txtConnection_IP");
    EXPECT_EQ(ip->text(), "10.0.0.9");
    ip->setText("  10.1.2.3 ");
    Next();
    EXPECT_EQ(rig.Stored(kConnectionType), "TCP");
    EXPECT_EQ(rig.Stored(kAddress), "10.1.2.3");
    EXPECT_EQ(rig.Stored(kComPort), "<unset>");
}

TEST_F(ConnectionPageTest, UsbDevicesAreListedUnderTheHourglassAndNextStoresTheSerial) {
    rig.line.free = {1};
    rig.Store(kConnectionType, "USB");
    rig.usb.devices = {{"MA12XY34", "Merlane USB Analyser"}, {"FT000042", "Cable"}};
    Load();
    EXPECT_EQ(rig.usb.cursors, std::vector<int>{Qt::WaitCursor});
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    QComboBox* usb = Combo("cboConnection_USB");
    ASSERT_EQ(usb->count(), 2);
    EXPECT_EQ(usb->itemText(0), "Merlane USB Analyser : MA12XY34");
    EXPECT_EQ(usb->itemText(1), "Cable : FT000042");
    EXPECT_EQ(usb->currentIndex(), 0);
    EXPECT_EQ(FrontFrame(), "fraConnection_USB");
    usb->setCurrentIndex(1);
    Next();
    EXPECT_EQ(rig.Stored(kConnectionType), "USB");
    EXPECT_EQ(rig.Stored(kUsbAnalyser), "FT000042");
}

TEST_F(ConnectionPageTest, DriverFailureIsReportedAndWindows95SkipsTheListing) {
    rig.line.free = {1};
    rig.Store(kConnectionType, "USB");
    rig.usb.throwFrom = "*";
    Load();
    ASSERT_EQ(rig.box.shown.size(), 1u);
    EXPECT_EQ(rig.box.shown[0].text,
              "There was an error initiating the usb driver : driver library not loaded");
    EXPECT_EQ(rig.box.shown[0].icon, MsgIcon::Critical);
    EXPECT_EQ(rig.box.shown[0].title, "Flashwright");

    rig.wizard.reset();
    rig.box.shown.clear();
    rig.windows95 = true;
    Load();
    EXPECT_TRUE(rig.box.shown.empty()); // the driver was never asked
    ASSERT_NE(rig.wizard->mod.oOperatingSystem, nullptr);
    EXPECT_EQ(rig.wizard->mod.oOperatingSystem->Name(), "Windows 95");
    EXPECT_EQ(Combo("cboConnection_USB")->currentText(), "Combo3");
    Next();
    EXPECT_EQ(rig.Stored(kUsbAnalyser), "Combo3");
}

TEST_F(ConnectionPageTest, TypeChangesByKeyRunTheHandlingForOldAndNewTypeAndKeepThePort) {
    rig.line.free = {1, 3};
    rig.Store(kComPort, "3");
    Load();
    EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), "COM3");
    const int before = rig.versionQueries;
    QTest::keyClick(Combo("cboConnection_Type"), Qt::Key_U);
    EXPECT_EQ(rig.versionQueries, before + 2); // the key press, then the new selection
    EXPECT_EQ(FrontFrame(), "fraConnection_USB");
    // Back to the serial type: the list is searched again, the port kept.
    QTest::keyClick(Combo("cboConnection_Type"), Qt::Key_Home);
    EXPECT_EQ(FrontFrame(), "fraConnection_Serial");
    EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), "COM3");
    EXPECT_TRUE(rig.box.shown.empty());
}

} // namespace
} // namespace fw::test
