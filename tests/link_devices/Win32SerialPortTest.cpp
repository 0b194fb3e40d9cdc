// Win32SerialPort on a real COM port whose far end echoes every byte back.
// Under Wine, win32_serial.sh makes the port: a pseudo-terminal with an echo
// behind it, linked as FW_TEST_COM, and a second one that another program holds
// exclusively, FW_TEST_HELD_COM; the test asks for the line to be hung up by
// creating the file FW_TEST_HANGUP, and the script brings a new line up on the
// same port soon after. Without these the cases that need them are skipped.
#include "link/serial/Win32SerialPort.h"

#include "settings/WinApi.h"

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
    // What the driver took, read back: 38400 8N1 without flow control.
    EXPECT_EQ(port.Line().baud, 38400UL);
    EXPECT_EQ(port.Line().framing, "8N1");
    EXPECT_FALSE(port.Line().flowControl);
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
    // Counted until the driver reports the last write done, which may come
    // after its echo.
    EXPECT_TRUE(WaitFor([&] { return port.OutBufferCount() == 0; }, 5000)) << port.OutBufferCount();
    EXPECT_FALSE(port.SetPortOpen(false));
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(port.Line().framing, "");
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

// Each Win32 error a failed open can meet, as the callers see it. Only Wine's
// lock violation and "not found" can be provoked here; real Windows answers a
// held port with access denied.
TEST(Win32OpenError, MapsEachSystemAnswerToTheNumberCallersTestFor) {
    const auto expect = [](unsigned long code, int number, const std::string& text) {
        SCOPED_TRACE(code);
        const CommError error = Win32OpenError(code, 4);
        EXPECT_EQ(error.number, number);
        EXPECT_EQ(error.description.rfind(text, 0), 0u) << error.description;
        EXPECT_EQ(error.description.find('%'), std::string::npos) << error.description;
    };
    // Access denied is Windows' answer for a held port, a lock violation Wine's.
    for (const unsigned long held :
         {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_BUSY, ERROR_LOCK_VIOLATION})
        expect(held, kCommErrPortInUse, "Port COM4 is in use by another program");
    for (const unsigned long gone :
         {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_DEVICE_REMOVED, ERROR_DEV_NOT_EXIST})
        expect(gone, kCommErrInvalidPort, "Device COM4 not found");
    expect(ERROR_GEN_FAILURE, kCommErrDeviceFailure, "Cannot open COM4: ");
    expect(0x2ABCDEF, kCommErrDeviceFailure, "Cannot open COM4: error 44813807");
    // The system's own words, not a number, for a code it knows.
    EXPECT_GT(Win32OpenError(ERROR_GEN_FAILURE, 4).description.size(),
              std::string("Cannot open COM4: error 31").size());
}

// Last: the line is gone afterwards (until the script brings up a new one).
TEST_F(Win32SerialPortTest, ZLostLineClosesThePortAndIsReported) {
    const char* hangup = std::getenv("FW_TEST_HANGUP");
    if (hangup == nullptr)
        GTEST_SKIP() << "FW_TEST_HANGUP names no file";
    Collect();
    DWORD handlesBefore = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &handlesBefore));
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
    // The device's handle and the port's events are closed.
    DWORD handlesAfter = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &handlesAfter));
    EXPECT_EQ(handlesAfter, handlesBefore);

    // The device comes back (the script links a new line as the same port):
    // the port opens again and carries bytes.
    CommError reopened{kCommErrInvalidPort, "not tried"};
    EXPECT_TRUE(WaitFor([&] { return !(reopened = port.SetPortOpen(true)); }, 10000))
        << reopened.description;
    EXPECT_FALSE(port.DeviceLost());
    received.clear();
    port.Output({0x5A, 0xA5});
    EXPECT_TRUE(WaitFor([&] { return received.size() == 2; }, 5000));
    EXPECT_EQ(received, (Bytes{0x5A, 0xA5}));
}

} // namespace
} // namespace fw
