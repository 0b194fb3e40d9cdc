#include "link/SysfsUsbDriver.h"

#include "tests/link_devices/DeviceFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

// The kernel's termios2, to read back custom speeds (not <termios.h>).
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace fw {
namespace {

using test::Pty;
using test::ScratchDir;

// A sysfs tree shaped like the kernel's: class/tty/<name> links into
// devices/..., whose "device" link leads to the usb-serial port (ttyUSB) or
// the USB interface (ttyACM); the USB device above carries product and serial.
class FakeSysfs {
public:
    explicit FakeSysfs(const ScratchDir& dir) : dir_(dir) {
        dir_.Write("sys/bus/usb-serial/.keep", "");
        dir_.Write("sys/bus/usb/drivers/cdc_acm/.keep", "");
        dir_.Write("sys/bus/usb/drivers/ftdi_sio/.keep", "");
        // Terminals that are no converters.
        AddTty("ttyS0", "devices/pnp0/00:00/tty/ttyS0", "devices/pnp0/00:00");
        dir_.Write("sys/devices/virtual/tty/tty0/dev", "4:0");
        dir_.Link(dir_ / "sys/devices/virtual/tty/tty0", "sys/class/tty/tty0");
    }
    // A converter port: `usbDev` is the USB device folder name (e.g. "1-1"),
    // `iface` its interface number.
    void AddConverter(const std::string& tty, const std::string& usbDev, int iface,
                      const std::string& product, const std::string& serial) {
        const std::string device = "devices/pci0000:00/usb1/" + usbDev;
        const std::string interface = device + "/" + usbDev + ":1." + std::to_string(iface);
        dir_.Write("sys/" + device + "/product", product + "\n");
        dir_.Write("sys/" + device + "/serial", serial + "\n");
        dir_.Write("sys/" + interface + "/bInterfaceNumber", "0" + std::to_string(iface) + "\n");
        const bool acm = tty.rfind("ttyACM", 0) == 0;
        if (acm) {
            dir_.Link(dir_ / "sys/bus/usb/drivers/cdc_acm", "sys/" + interface + "/driver");
            AddTty(tty, interface + "/tty/" + tty, interface);
        } else {
            dir_.Link(dir_ / "sys/bus/usb/drivers/ftdi_sio", "sys/" + interface + "/driver");
            dir_.Link(dir_ / "sys/bus/usb-serial", "sys/" + interface + "/" + tty + "/subsystem");
            AddTty(tty, interface + "/" + tty + "/tty/" + tty, interface + "/" + tty);
        }
    }
    // The device node: a link to a pseudo-terminal slave.
    void Node(const std::string& tty, const std::string& target) {
        dir_.Link(target, "dev/" + tty);
    }

private:
    void AddTty(const std::string& tty, const std::string& classDir, const std::string& device) {
        dir_.Write("sys/" + classDir + "/dev", "188:0");
        dir_.Link(dir_ / ("sys/" + device), "sys/" + classDir + "/device");
        dir_.Link(dir_ / ("sys/" + classDir), "sys/class/tty/" + tty);
    }
    const ScratchDir& dir_;
};

class SysfsUsbDriverTest : public ::testing::Test {
protected:
    SysfsUsbDriverTest() : sysfs(dir), driver(dir / "sys", dir / "dev") {}

    std::string Text(std::uint32_t index, std::uint32_t flags) {
        FtTextBuffer buffer;
        buffer.fill('x');
        EXPECT_EQ(driver.FT_ListDevices(index, buffer, flags), FT_OK);
        EXPECT_NE(std::find(buffer.begin(), buffer.end(), '\0'), buffer.end());
        return buffer.data();
    }
    std::uint32_t Count() {
        std::uint32_t count = 99;
        EXPECT_EQ(driver.FT_ListDevices(count, FT_LIST_NUMBER_ONLY), FT_OK);
        return count;
    }
    // One converter on a pseudo-terminal, opened.
    FtHandle OpenOne() {
        sysfs.AddConverter("ttyUSB0", "1-1", 0, "Merlane Analyser", "MA0001");
        sysfs.Node("ttyUSB0", pty.slave());
        EXPECT_EQ(Count(), 1u);
        FtHandle handle = 0;
        EXPECT_EQ(driver.FT_Open(0, handle), FT_OK);
        EXPECT_NE(handle, 0u);
        return handle;
    }
    // Waits until the terminal has `n` bytes queued (the pty hands them on
    // asynchronously).
    std::uint32_t QueueAfterSettling(FtHandle h, std::uint32_t n) {
        std::uint32_t waiting = 0;
        for (int i = 0; i < 200 && waiting < n; ++i) {
            EXPECT_EQ(driver.FT_GetQueueStatus(h, waiting), FT_OK);
            if (waiting < n)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return waiting;
    }

    ScratchDir dir;
    FakeSysfs sysfs;
    SysfsUsbDriver driver;
    Pty pty;
};

TEST_F(SysfsUsbDriverTest, ListsConvertersInNameOrderWithProductAndSerial) {
    sysfs.AddConverter("ttyUSB10", "1-4", 0, "Converter Ten", "S10");
    sysfs.AddConverter("ttyUSB2", "1-2", 0, "Merlane Analyser", "MA1234");
    sysfs.AddConverter("ttyACM0", "1-3", 0, "ACM Thing", "ACM1");
    // One dual-port converter: interface 1 got the lower tty number.
    sysfs.AddConverter("ttyUSB3", "1-5", 1, "Dual RS232", "FT99");
    sysfs.AddConverter("ttyUSB4", "1-5", 0, "Dual RS232", "FT99");
    sysfs.AddConverter("ttyUSB5", "1-6", 0, std::string(150, 'p'), "S5");

    ASSERT_EQ(Count(), 6u);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"ACM1", "ACM Thing"},     {"MA1234", "Merlane Analyser"}, {"FT99B", "Dual RS232 B"},
        {"FT99A", "Dual RS232 A"}, {"S5", std::string(99, 'p')},   {"S10", "Converter Ten"}};
    for (std::uint32_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Text(i, FT_LIST_BY_INDEX_SERIAL_NUMBER), expected[i].first) << i;
        EXPECT_EQ(Text(i, FT_LIST_BY_INDEX_DESCRIPTION), expected[i].second) << i;
    }
    FtTextBuffer buffer;
    EXPECT_EQ(driver.FT_ListDevices(6, buffer, FT_LIST_BY_INDEX_DESCRIPTION), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(driver.FT_ListDevices(0, buffer, 0x40000004u), FT_INVALID_PARAMETER);
    FtHandle handle = 5;
    EXPECT_EQ(driver.FT_Open(6, handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(driver.FT_Open(0, handle), FT_DEVICE_NOT_FOUND); // no /dev node
}

TEST_F(SysfsUsbDriverTest, MissingSysfsThrowsAnEmptyOneListsNothing) {
    SysfsUsbDriver noSysfs(dir / "nothing", dir / "dev");
    std::uint32_t count = 0;
    EXPECT_THROW(noSysfs.FT_ListDevices(count, FT_LIST_NUMBER_ONLY), UsbDriverError);
    FtHandle handle = 0;
    EXPECT_EQ(noSysfs.FT_Open(0, handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Count(), 0u); // only terminals that are no converters
}

TEST_F(SysfsUsbDriverTest, SetsLineAndTakesTheDeviceExclusively) {
    const FtHandle h = OpenOne();
    auto speed = [&] {
        struct termios2 tio {};
        EXPECT_EQ(::ioctl(pty.master(), TCGETS2, &tio), 0); // the slave's settings
        return std::make_pair(tio.c_ospeed, tio.c_cflag & CBAUD);
    };
    EXPECT_EQ(driver.FT_ResetDevice(h), FT_OK);
    EXPECT_EQ(driver.FT_SetBaudRate(h, 125000), FT_OK);
    EXPECT_EQ(speed(), std::make_pair(125000u, static_cast<unsigned>(BOTHER)));
    EXPECT_EQ(driver.FT_SetBaudRate(h, 38400), FT_OK);
    EXPECT_EQ(speed(), std::make_pair(38400u, static_cast<unsigned>(B38400)));
    EXPECT_EQ(driver.FT_SetFlowControl(h, FT_FLOW_NONE, 0, 0), FT_OK);
    EXPECT_EQ(driver.FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
              FT_OK);
    EXPECT_EQ(driver.FT_SetDataCharacteristics(h, 5, 0, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver.FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    struct termios2 tio {};
    ASSERT_EQ(::ioctl(pty.master(), TCGETS2, &tio), 0);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<unsigned>(CS8));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    // A second opener fails until the first closes.
    FtHandle second = 0;
    EXPECT_EQ(driver.FT_Open(0, second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(driver.FT_Close(h), FT_OK);
    EXPECT_EQ(driver.FT_Open(0, second), FT_OK);
    EXPECT_NE(second, h); // handles are not reused
}

TEST_F(SysfsUsbDriverTest, MovesEveryByteValueBothWays) {
    const FtHandle h = OpenOne();
    const auto all = test::AllByteValues();
    std::uint32_t written = 0;
    EXPECT_EQ(driver.FT_Write(h, all.data(), 256, written), FT_OK);
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(pty.Receive(256), all);

    std::vector<unsigned char> in = all;
    in.insert(in.end(), all.begin(), all.begin() + 44); // 300 bytes
    pty.Send(in);
    EXPECT_EQ(QueueAfterSettling(h, 300), 300u);
    std::uint8_t buffer[kFtReadChunk + 1] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(driver.FT_Read(h, buffer, kFtReadChunk, got), FT_OK);
    ASSERT_EQ(got, 255u);
    EXPECT_TRUE(std::equal(buffer, buffer + 255, in.begin()));
    EXPECT_EQ(driver.FT_Read(h, buffer, kFtReadChunk, got), FT_OK);
    ASSERT_EQ(got, 45u);
    EXPECT_TRUE(std::equal(buffer, buffer + 45, in.begin() + 255));
    EXPECT_EQ(driver.FT_Read(h, buffer, kFtReadChunk, got), FT_OK); // nothing waits
    EXPECT_EQ(got, 0u);

    pty.Send({1, 2, 3});
    EXPECT_EQ(QueueAfterSettling(h, 3), 3u);
    EXPECT_EQ(driver.FT_Purge(h, FT_PURGE_RX), FT_OK);
    std::uint32_t waiting = 9;
    EXPECT_EQ(driver.FT_GetQueueStatus(h, waiting), FT_OK);
    EXPECT_EQ(waiting, 0u);
}

TEST_F(SysfsUsbDriverTest, BadHandlesAreRefused) {
    std::uint8_t byte = 0;
    std::uint32_t n = 7;
    for (FtHandle bad : {0u, 4711u}) {
        EXPECT_EQ(driver.FT_Write(bad, &byte, 1, n), FT_INVALID_HANDLE);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(driver.FT_Read(bad, &byte, 1, n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.FT_Close(bad), FT_INVALID_HANDLE);
    }
    const FtHandle h = OpenOne();
    EXPECT_EQ(driver.FT_Close(h), FT_OK);
    EXPECT_EQ(driver.FT_Close(h), FT_INVALID_HANDLE);
    EXPECT_EQ(driver.FT_Write(h, &byte, 1, n), FT_INVALID_HANDLE);
}

TEST_F(SysfsUsbDriverTest, VanishedDeviceGivesIoErrorsAndDropsFromTheList) {
    const FtHandle h = OpenOne();
    pty.CloseMaster();
    std::error_code ec;
    std::filesystem::remove(dir / "sys/class/tty/ttyUSB0", ec);
    std::uint8_t buffer[kFtReadChunk];
    std::uint32_t n = 0;
    EXPECT_EQ(driver.FT_Write(h, buffer, 10, n), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_GetQueueStatus(h, n), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_Read(h, buffer, 1, n), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_SetBaudRate(h, 38400), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_Close(h), FT_OK);
    EXPECT_EQ(Count(), 0u);
}

TEST_F(SysfsUsbDriverTest, WriteToAStalledLineGivesUpWithAnErrorAndTheCount) {
    const FtHandle h = OpenOne(); // nobody reads the master
    std::vector<std::uint8_t> lots(1 << 20, 'x');
    std::uint32_t written = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.FT_Write(h, lots.data(), static_cast<std::uint32_t>(lots.size()), written),
              FT_IO_ERROR);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, lots.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

} // namespace
} // namespace fw
