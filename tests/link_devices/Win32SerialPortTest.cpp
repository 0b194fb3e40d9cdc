// Win32SerialPort on a real COM port whose far end echoes every byte back.
// Under Wine, win32_serial.sh makes the port: a pseudo-terminal with an echo
// behind it, linked as FW_TEST_COM, and a second one that another program holds
// exclusively, FW_TEST_HELD_COM; the test asks for the line to be hung up by
// creating the file FW_TEST_HANGUP. Without these the cases that need them are
// skipped.
#include "link/Win32SerialPort.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <numeric>

namespace fw {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

int TestCom() {
    const char* com = std::getenv("FW_TEST_COM");
    return com != nullptr ? std::atoi(com) : 0;
}

class Win32SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TestCom() == 0)
            GTEST_SKIP() << "FW_TEST_COM names no port";
        ASSERT_FALSE(port.SetCommPort(static_cast<std::int16_t>(TestCom())));
    }
    // The receive notification takes `take` bytes at most each time.
    void Collect(std::size_t take = SIZE_MAX) {
        port.SetOnComm([this, take] {
            EXPECT_EQ(port.CommEvent(), kComEvReceive);
            std::string one;
            for (std::size_t n = 0; n < take && !(one = port.Input()).empty(); ++n)
                received.push_back(static_cast<std::uint8_t>(one.at(0)));
        });
    }

    Win32SerialPort port;
    Bytes received;
};

TEST_F(Win32SerialPortTest, OpensAt38400AndEchoesEveryByteValueInOrder) {
    Collect();
    ASSERT_FALSE(port.SetPortOpen(true));
    EXPECT_EQ(port.BaudRate(), 38400UL);
    EXPECT_EQ(port.DeviceName(), "COM" + std::to_string(TestCom()));
    Bytes sent(3 * 4096 + 100); // several writes of the driver's chunk size
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    port.Output(Bytes(sent.begin(), sent.begin() + 256));
    port.Output(Bytes(sent.begin() + 256, sent.end()));
    // Nothing has been collected yet: the bytes count as not sent.
    EXPECT_EQ(port.OutBufferCount(), static_cast<int>(sent.size()));
    EXPECT_TRUE(WaitFor([&] { return received.size() >= sent.size(); }, 10000))
        << received.size() << " of " << sent.size();
    EXPECT_EQ(received, sent);
    EXPECT_EQ(port.OutBufferCount(), 0);
    EXPECT_FALSE(port.SetPortOpen(false));
    EXPECT_FALSE(port.PortOpen());
}

TEST_F(Win32SerialPortTest, HoldsAtMost16KiBWhileNobodyReadsThenDeliversTheRest) {
    Bytes sent(40 * 1024);
    std::iota(sent.begin(), sent.end(), 0);
    port.SetOnComm([] {}); // reads nothing
    ASSERT_FALSE(port.SetPortOpen(true));
    port.Output(sent);
    EXPECT_TRUE(WaitFor([&] { return port.InBufferCount() >= 16 * 1024; }, 10000));
    WaitFor([] { return false; }, 300); // more arrives at the driver meanwhile
    EXPECT_EQ(port.InBufferCount(), 16 * 1024);
    Collect();
    EXPECT_TRUE(WaitFor(
        [&] {
            for (std::string one; !(one = port.Input()).empty();)
                received.push_back(static_cast<std::uint8_t>(one.at(0)));
            return received.size() >= sent.size();
        },
        10000))
        << received.size();
    EXPECT_EQ(received, sent);
}

// FW_TEST_HELD_COM: a port another program holds exclusively.
constexpr int kHeldPort = -1000;

struct RefusedOpen {
    const char* what;
    int port;
    bool setPortFails; // refused by SetCommPort already
    int number;
};

class Win32SerialPortRefusal : public ::testing::TestWithParam<RefusedOpen> {};

TEST_P(Win32SerialPortRefusal, RefusesWithTheNumberCallersTestFor) {
    const RefusedOpen& c = GetParam();
    int number = c.port;
    if (number == kHeldPort) {
        const char* held = std::getenv("FW_TEST_HELD_COM");
        if (held == nullptr)
            GTEST_SKIP() << "FW_TEST_HELD_COM names no port";
        number = std::atoi(held);
    }
    Win32SerialPort port;
    CommError error = port.SetCommPort(static_cast<std::int16_t>(number));
    EXPECT_EQ(static_cast<bool>(error), c.setPortFails) << error.description;
    if (!error)
        error = port.SetPortOpen(true);
    EXPECT_EQ(error.number, c.number) << error.description;
    EXPECT_FALSE(port.PortOpen());
    EXPECT_FALSE(port.DeviceLost());
}

INSTANTIATE_TEST_SUITE_P(Cases, Win32SerialPortRefusal,
                         ::testing::Values(RefusedOpen{"held", kHeldPort, false, kCommErrPortInUse},
                                           RefusedOpen{"absent", 231, false, kCommErrInvalidPort},
                                           RefusedOpen{"zero", 0, true, kCommErrInvalidPort},
                                           RefusedOpen{"too_high", 256, true, kCommErrInvalidPort},
                                           RefusedOpen{"negative", -3, true, kCommErrInvalidPort}),
                         [](const auto& info) { return std::string(info.param.what); });

// Last: the line is gone afterwards.
TEST_F(Win32SerialPortTest, ZLostLineClosesThePortAndIsReported) {
    const char* hangup = std::getenv("FW_TEST_HANGUP");
    if (hangup == nullptr)
        GTEST_SKIP() << "FW_TEST_HANGUP names no file";
    Collect();
    ASSERT_FALSE(port.SetPortOpen(true));
    port.Output({0x55});
    ASSERT_TRUE(WaitFor([&] { return received.size() == 1; }, 5000));
    const std::string marker = std::string("Z:") + hangup; // the Unix root under Wine
    std::FILE* file = std::fopen(marker.c_str(), "w");
    ASSERT_NE(file, nullptr) << marker;
    std::fclose(file);
    EXPECT_TRUE(WaitFor([&] { return port.DeviceLost(); }, 10000));
    WaitFor([] { return false; }, 100); // the queued close
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(port.OutBufferCount(), 0);
    port.Output({1, 2, 3}); // ignored, never fails
    EXPECT_TRUE(port.DeviceLost()) << "stays lost until the next open";
}

} // namespace
} // namespace fw

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
