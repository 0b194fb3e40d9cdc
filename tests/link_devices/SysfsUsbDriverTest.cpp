// The USB converter driver over a fake sysfs tree shaped like the kernel's:
// class/tty/<name> links into devices/..., whose "device" link leads to the
// usb-serial port (ttyUSB) or the USB interface (ttyACM); the USB device above
// carries product and serial. The /dev node links to a pty's slave.
#include "link/usb/SysfsUsbDriver.h"

#include "tests/link_devices/DeviceFixtures.h"

#include <algorithm>
#include <cstring>
#include <thread>

// The kernel's termios2, to read back custom speeds (not <termios.h>).
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace fw {
namespace {

class SysfsUsbDriverTest : public ::testing::Test {
protected:
    void AddConverter(const std::string& tty, const std::string& usbDev, int iface,
                      const std::string& product, const std::string& serial) {
        test::AddSysfsConverter(dir / "sys", tty, usbDev, iface, product, serial);
    }
    std::uint32_t Count() {
        std::uint32_t count = 99;
        EXPECT_EQ(driver.FT_ListDevices(count, FT_LIST_NUMBER_ONLY), FT_OK);
        return count;
    }

    test::TempDir dir;
    test::Pty pty;
    SysfsUsbDriver driver{dir / "sys", dir / "dev"};
};

TEST_F(SysfsUsbDriverTest, ListsConvertersInNameOrderWithProductAndSerial) {
    std::uint32_t count = 0;
    EXPECT_THROW(SysfsUsbDriver(dir / "nothing").FT_ListDevices(count, FT_LIST_NUMBER_ONLY),
                 UsbDriverError);
    test::AddSysfsTty(dir / "sys", "ttyS0", "devices/pnp0/00:00/tty/ttyS0",
                      "devices/pnp0/00:00"); // no converter
    EXPECT_EQ(Count(), 0u);
    AddConverter("ttyUSB10", "1-4", 0, "Converter Ten", "S10");
    AddConverter("ttyUSB2", "1-2", 0, "Merlane Analyser", "MA1234");
    AddConverter("ttyACM0", "1-3", 0, "ACM Thing", "ACM1");
    // A dual-port converter whose interface 1 got the lower tty number.
    AddConverter("ttyUSB3", "1-5", 1, "Dual RS232", "FT99");
    AddConverter("ttyUSB4", "1-5", 0, "Dual RS232", "FT99");
    AddConverter("ttyUSB5", "1-6", 0, std::string(150, 'p'), "S5");
    ASSERT_EQ(Count(), 6u);
    std::string list;
    for (const SysfsUsbDriver::Device& d : driver.Scan())
        list += d.serialNumber + "=" + d.description + ";";
    EXPECT_EQ(list, "ACM1=ACM Thing;MA1234=Merlane Analyser;FT99B=Dual RS232 B;FT99A=Dual RS232 A;"
                    "S5=" +
                        std::string(150, 'p') + ";S10=Converter Ten;");
    // The by-index texts: cut to fit, and always ended.
    FtTextBuffer buffer;
    buffer.fill('x');
    EXPECT_EQ(driver.FT_ListDevices(4, buffer, FT_LIST_BY_INDEX_DESCRIPTION), FT_OK);
    EXPECT_EQ(std::string(buffer.data(), ::strnlen(buffer.data(), buffer.size())),
              std::string(99, 'p'));
    EXPECT_EQ(driver.FT_ListDevices(6, buffer, FT_LIST_BY_INDEX_DESCRIPTION), FT_DEVICE_NOT_FOUND);
    FtHandle handle = 5;
    EXPECT_EQ(driver.FT_Open(0, handle), FT_DEVICE_NOT_FOUND); // no /dev node
    EXPECT_EQ(handle, 0u);
}

TEST_F(SysfsUsbDriverTest, OpensExclusivelyAt125000MovesEveryByteValueAndFailsWithoutHanging) {
    AddConverter("ttyUSB0", "1-1", 0, "Merlane Analyser", "MA0001");
    test::Link(pty.slave, dir / "dev/ttyUSB0");
    FtHandle h = 0;
    ASSERT_EQ(Count(), 1u);
    ASSERT_EQ(driver.FT_Open(0, h), FT_OK);
    EXPECT_EQ(driver.FT_SetBaudRate(h, 125000), FT_OK);
    struct termios2 tio {};
    ASSERT_EQ(::ioctl(pty.master, TCGETS2, &tio), 0); // the slave's settings
    EXPECT_EQ(tio.c_ospeed, 125000u);
    EXPECT_EQ(tio.c_cflag & (CBAUD | CSIZE | PARENB | CSTOPB | CRTSCTS), unsigned(BOTHER | CS8));

    test::Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    std::uint32_t n = 0;
    EXPECT_EQ(driver.FT_Write(h, all.data(), 256, n), FT_OK);
    EXPECT_EQ(n, 256u);
    EXPECT_EQ(pty.Receive(256), all);
    // 300 bytes come in pieces of at most 255, as the pty hands them on.
    test::Bytes in = all, got;
    in.insert(in.end(), all.begin(), all.begin() + 44);
    ASSERT_EQ(::write(pty.master, in.data(), in.size()), 300);
    std::uint8_t buffer[kFtReadChunk] = {};
    for (int i = 0; i < 200 && got.size() < in.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(driver.FT_Read(h, buffer, kFtReadChunk, n), FT_OK);
        ASSERT_LE(n, kFtReadChunk);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, in);

    FtHandle second = 0;
    EXPECT_EQ(driver.FT_Open(0, second), FT_DEVICE_NOT_OPENED); // taken
    EXPECT_EQ(driver.FT_Close(h), FT_OK);
    EXPECT_EQ(driver.FT_Write(h, all.data(), 1, n), FT_INVALID_HANDLE);
    // Our own slave descriptor keeps the terminal open: the close must have
    // given up the exclusive mode, or nobody but root could open it again.
    int exclusive = -1;
    ASSERT_EQ(::ioctl(pty.keep, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(driver.FT_Open(0, second), FT_OK);
    EXPECT_NE(second, h); // a stale handle never reaches the new device

    // Nobody reads the line: a long write gives up with an error and the count.
    std::vector<std::uint8_t> lots(1 << 20, 'x');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.FT_Write(second, lots.data(), std::uint32_t(lots.size()), n), FT_IO_ERROR);
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, lots.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

    // Unplugged: I/O errors until closed, and gone from the list.
    pty.CloseMaster();
    std::filesystem::remove(dir / "sys/class/tty/ttyUSB0");
    EXPECT_EQ(driver.FT_Write(second, buffer, 10, n), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_GetQueueStatus(second, n), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_Read(second, buffer, 1, n), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_SetBaudRate(second, 38400), FT_IO_ERROR);
    EXPECT_EQ(driver.FT_Close(second), FT_OK);
    EXPECT_EQ(Count(), 0u);
}

} // namespace
} // namespace fw
