// QtSerialPort on a pseudo-terminal, which is COM9 (chosen by every test
// port); no other port exists.
#include "link/serial/QtSerialPort.h"

#include "tests/link_devices/DeviceFixtures.h"

#include <QTest>

#include <ctime>
#include <grp.h>
#include <sys/stat.h>
#include <termios.h>

namespace fw {
namespace {

class QtSerialPortTest : public ::testing::Test {
protected:
    QtSerialPortTest() {
        EXPECT_FALSE(port.SetCommPort(9));
        port.SetOnComm([this] { // the receive notification fills `received`
            EXPECT_EQ(port.CommEvent(), kComEvReceive);
            for (std::string one; !(one = port.Input()).empty();)
                received.push_back(static_cast<unsigned char>(one.at(0)));
        });
    }
    QtSerialPort::DeviceLookup Lookup() {
        return [this](int n) { return n == 9 ? std::optional(pty.slave) : std::nullopt; };
    }

    test::Pty pty;
    QtSerialPort port{Lookup()};
    test::Bytes received;
};

TEST_F(QtSerialPortTest, OpensAt38400EightNoneOneMovesEveryByteValueAndDrainsOnClose) {
    ASSERT_FALSE(port.SetPortOpen(true));
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.master, &tio), 0); // the slave's settings
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));

    test::Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    ASSERT_EQ(::write(pty.master, all.data(), all.size()), 256);
    EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() >= 256; }, 2000));
    EXPECT_EQ(received, all);
    // Closing right after Output, before any event loop ran, still sends it.
    port.Output(std::vector<std::uint8_t>(all.begin(), all.end()));
    EXPECT_EQ(port.OutBufferCount(), 256);
    EXPECT_FALSE(port.SetPortOpen(false));
    EXPECT_EQ(pty.Receive(256), all);
}

TEST_F(QtSerialPortTest, PortHeldElsewhereIsInUse) {
    QtSerialPort other(Lookup()); // QSerialPort's lock file
    ASSERT_FALSE(other.SetCommPort(9));
    ASSERT_FALSE(other.SetPortOpen(true));
    const CommError e = port.SetPortOpen(true);
    EXPECT_EQ(e.number, kCommErrPortInUse);
    EXPECT_NE(e.description.find("in use"), std::string::npos) << e.description;
    ASSERT_FALSE(other.SetPortOpen(false));
    EXPECT_FALSE(port.SetPortOpen(true)); // free again
}

TEST_F(QtSerialPortTest, UserWithoutAccessIsToldAboutTheGroup) {
    const std::string expected = "Permission denied opening " + pty.slave +
                                 ": add your user to the 'dialout' group and log in again.";
    // A child gives up root (or, without root, its permission on the pty).
    const pid_t child = test::Spawn([&] {
        const bool root = ::getuid() == 0;
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 1;
        if (!root && ::chmod(pty.slave.c_str(), 0) != 0)
            return 1;
        const CommError e = port.SetPortOpen(true);
        return e.number != kCommErrAccessDenied ? 2 : e.description != expected ? 3 : 0;
    });
    EXPECT_EQ(test::Reap(child), 0) << "1: could not lose access, 2: other error, 3: other text";
}

TEST_F(QtSerialPortTest, RefusesMissingDevicesAndClosesOnOneThatVanishes) {
    for (std::int16_t bad : {0, 2})
        EXPECT_EQ(port.SetCommPort(bad).number, kCommErrInvalidPort) << bad;
    ASSERT_FALSE(port.SetPortOpen(true));
    EXPECT_EQ(port.SetCommPort(9).number, kCommErrPortOpen); // not while open
    pty.CloseMaster();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !port.PortOpen(); }, 2000));
    // Nothing keeps firing: the event loop idles. A loop that spins on the
    // gone device takes a whole core, a third of one even on a loaded machine;
    // an idle one a few milliseconds.
    const std::clock_t cpu = std::clock();
    QTest::qWait(500);
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 10);
    EXPECT_FALSE(port.SetPortOpen(false));
    EXPECT_EQ(port.SetPortOpen(true).number, kCommErrInvalidPort); // the device is gone
}

} // namespace
} // namespace fw
