// QtSerialPort on pseudo-terminals. The executable is also its own helper
// process: "--hold <device>" keeps a device open with QSerialPort (another
// program holding the port), "--open-as-nobody <device>" tries the port as an
// unprivileged user and prints the error number and text.
#include "link/QtSerialPort.h"
#include "link/ComPortNames.h"

#include "settings/MemoryRegistry.h"
#include "tests/link_devices/DeviceFixtures.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QTest>

#include <gtest/gtest.h>

#include <ctime>
#include <grp.h>
#include <iostream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

namespace fw {
namespace {

using test::Pty;
using test::ScratchDir;

constexpr int kNobody = 65534;

void Pump() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// A child running this executable in one of its helper modes, talking through
// pipes: it answers one line, and ends when its input closes.
class Helper {
public:
    Helper(const char* mode, const std::string& device) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execl("/proc/self/exe", "helper", mode, device.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
    }
    ~Helper() {
        ::close(toChild_);
        ::close(fromChild_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    std::string ReadAll() {
        std::string text;
        char buf[256];
        pollfd p{fromChild_, POLLIN, 0};
        while (::poll(&p, 1, 5000) > 0) {
            const ssize_t n = ::read(fromChild_, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<std::size_t>(n));
            if (text.find('\n') != std::string::npos && text.back() == '\n')
                break;
        }
        return text;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};

// COM9 names the pseudo-terminal through a Ports entry; COM5 names a device
// that does not exist; no other port exists.
class QtSerialPortTest : public ::testing::Test {
protected:
    QtSerialPortTest() : names(&registry, dir / "dev", dir / "sys"), port(names), other(names) {
        auto& key = registry.CreateKey(std::string("HKEY_LOCAL_MACHINE\\") + kPortsKeyPath);
        const auto sz = [](const std::string& s) {
            std::vector<std::uint8_t> v(s.begin(), s.end());
            v.push_back(0);
            return v;
        };
        MemoryRegistry::StoreValue(key, "COM9", REG_SZ, sz(pty.slave()));
        MemoryRegistry::StoreValue(key, "COM5", REG_SZ, sz(dir / "dev/ttyUSB7"));
        port.SetOnComm([this] {
            ++events;
            EXPECT_EQ(port.CommEvent(), kComEvReceive);
            while (port.InBufferCount() > 0) {
                const std::string one = port.Input();
                ASSERT_EQ(one.size(), 1u);
                received.push_back(static_cast<unsigned char>(one[0]));
            }
        });
    }
    CommError Open(QtSerialPort& p) {
        if (CommError e = p.SetCommPort(9))
            return e;
        return p.SetPortOpen(true);
    }

    Pty pty;
    ScratchDir dir;
    MemoryRegistry registry;
    ComPortNames names;
    QtSerialPort port;
    QtSerialPort other;
    int events = 0;
    std::vector<unsigned char> received;
};

TEST_F(QtSerialPortTest, OpensAt38400EightNoneOneAndMovesEveryByteValue) {
    ASSERT_FALSE(Open(port)) << Open(port).description;
    EXPECT_TRUE(port.PortOpen());
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.master(), &tio), 0); // the slave's settings
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);

    const auto all = test::AllByteValues();
    port.Output(std::vector<std::uint8_t>(all.begin(), all.end()));
    EXPECT_EQ(pty.Receive(256, 2000, Pump), all);
    EXPECT_EQ(port.OutBufferCount(), 0);

    pty.Send(all);
    EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() >= 256; }, 2000));
    EXPECT_EQ(received, all);
    EXPECT_GE(events, 1);
    EXPECT_EQ(port.Input(), "");

    EXPECT_FALSE(port.SetPortOpen(false));
    EXPECT_FALSE(port.PortOpen());
    EXPECT_FALSE(port.SetPortOpen(false)); // closing a closed port is harmless
}

TEST_F(QtSerialPortTest, ClosingRightAfterOutputStillSendsIt) {
    ASSERT_FALSE(Open(port));
    std::vector<std::uint8_t> bytes(3000, 'R');
    port.Output(bytes);
    EXPECT_EQ(port.OutBufferCount(), 3000); // nothing went out yet: no event loop ran
    EXPECT_FALSE(port.SetPortOpen(false));
    EXPECT_EQ(pty.Receive(3000).size(), 3000u);
}

TEST_F(QtSerialPortTest, RefusesPortNumbersWithoutADevice) {
    for (std::int16_t bad : {0, -1, 2, 10}) {
        const CommError e = port.SetCommPort(bad);
        EXPECT_EQ(e.number, kCommErrInvalidPort) << bad;
    }
    EXPECT_EQ(port.CommPort(), 1);
    // COM5 has an entry but its device is missing: the open says so.
    ASSERT_FALSE(port.SetCommPort(5));
    EXPECT_EQ(port.SetPortOpen(true).number, kCommErrInvalidPort);
    EXPECT_FALSE(port.PortOpen());
    // Not while open.
    ASSERT_FALSE(Open(port));
    EXPECT_EQ(port.SetCommPort(5).number, kCommErrPortOpen);
    EXPECT_EQ(port.CommPort(), 9);
}

TEST_F(QtSerialPortTest, PortHeldElsewhereIsInUse) {
    // By this process's other control (QSerialPort's lock file).
    ASSERT_FALSE(Open(other));
    CommError e = Open(port);
    EXPECT_EQ(e.number, kCommErrPortInUse);
    EXPECT_NE(e.description.find("in use"), std::string::npos) << e.description;
    ASSERT_FALSE(other.SetPortOpen(false));

    // By another program using QSerialPort.
    {
        Helper holder("--hold", pty.slave());
        ASSERT_EQ(holder.ReadAll(), "held\n");
        EXPECT_EQ(Open(port).number, kCommErrPortInUse);
    }
    // By one that locks the device with flock (as the USB converter driver does).
    const int fd = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Open(port).number, kCommErrPortInUse);
    ::close(fd);

    EXPECT_FALSE(Open(port)); // free again
}

TEST_F(QtSerialPortTest, UserWithoutAccessIsToldAboutTheGroup) {
    if (::getuid() != 0) {
        // Without privileges: take the permission away from ourselves.
        ASSERT_EQ(::chmod(pty.slave().c_str(), 0), 0);
        const CommError e = Open(port);
        EXPECT_EQ(e.number, kCommErrAccessDenied);
        EXPECT_NE(e.description.find("group"), std::string::npos) << e.description;
        return;
    }
    Helper child("--open-as-nobody", pty.slave());
    const std::string answer = child.ReadAll();
    EXPECT_EQ(answer.substr(0, 5), std::to_string(kCommErrAccessDenied) + " ") << answer;
    EXPECT_NE(answer.find("Permission denied opening " + pty.slave() +
                          ": add your user to the 'dialout' group and log in again."),
              std::string::npos)
        << answer;
}

TEST_F(QtSerialPortTest, VanishedDeviceClosesThePort) {
    ASSERT_FALSE(Open(port));
    pty.CloseMaster();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !port.PortOpen(); }, 2000));
    // Nothing keeps firing once it is closed: the event loop idles.
    const std::clock_t cpu = std::clock();
    QTest::qWait(100);
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 20);
    port.Output({1, 2, 3});
    EXPECT_EQ(port.InBufferCount(), 0);
    EXPECT_EQ(port.Input(), "");
    EXPECT_FALSE(port.SetPortOpen(false));
    EXPECT_EQ(port.SetPortOpen(true).number, kCommErrInvalidPort); // the pty is gone for good
}

} // namespace
} // namespace fw

namespace {

// Helper mode: hold the device with QSerialPort until stdin closes.
int Hold(const char* device) {
    QSerialPort serial;
    serial.setPortName(QString::fromLocal8Bit(device));
    std::cout << (serial.open(QIODevice::ReadWrite) ? "held\n" : "failed\n") << std::flush;
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
}

// Helper mode: try the port as an unprivileged user.
int OpenAsNobody(int argc, char** argv) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(fw::kNobody) != 0 || ::setuid(fw::kNobody) != 0) {
        std::cout << "setuid failed\n";
        return 1;
    }
    QCoreApplication app(argc, argv);
    const std::string path = argv[2];
    fw::QtSerialPort port([&](int) { return std::optional<std::string>(path); });
    fw::CommError e = port.SetCommPort(1);
    if (!e)
        e = port.SetPortOpen(true);
    std::cout << e.number << " " << e.description << "\n" << std::flush;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--open-as-nobody")
        return OpenAsNobody(argc, argv); // drops privileges before Qt starts
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--hold")
        return Hold(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
