#include "link/ComPortNames.h"

#include "settings/MemoryRegistry.h"
#include "tests/link_devices/DeviceFixtures.h"

#include <gtest/gtest.h>

namespace fw {
namespace {

using test::ScratchDir;
using namespace std::string_literals;

class ComPortNamesTest : public ::testing::Test {
protected:
    ComPortNamesTest() {
        // Three 8250 nodes, one of them without a UART; converters of both
        // kinds, one beyond the numbered range.
        for (const char* node :
             {"ttyS0", "ttyS1", "ttyS3", "ttyUSB0", "ttyUSB31", "ttyUSB32", "ttyACM1", "tty0"})
            dir.Write("dev/" + std::string(node), "");
        dir.Write("sys/class/tty/ttyS0/type", "4\n");
        dir.Write("sys/class/tty/ttyS1/type", "0\n");
        dir.Write("sys/class/tty/ttyS3/type", "4\n");
    }
    ComPortNames Names(IRegistry* reg) const { return ComPortNames(reg, dir / "dev", dir / "sys"); }
    void AddPort(const std::string& name, const std::string& data, DWORD type = REG_SZ) {
        std::vector<std::uint8_t> bytes(data.begin(), data.end());
        bytes.push_back(0);
        MemoryRegistry::StoreValue(
            registry.CreateKey(std::string("HKEY_LOCAL_MACHINE\\") + kPortsKeyPath), name, type,
            bytes);
    }
    std::string Dev(const std::string& node) const { return dir / ("dev/" + node); }

    ScratchDir dir;
    MemoryRegistry registry;
};

TEST_F(ComPortNamesTest, RulesNumberUartsAndConvertersInTheirRanges) {
    const auto ports = Names(&registry).Ports(); // no Ports key: rules only
    const std::map<int, std::string> expected{{1, Dev("ttyS0")},
                                              {4, Dev("ttyS3")},
                                              {33, Dev("ttyUSB0")},
                                              {64, Dev("ttyUSB31")},
                                              {66, Dev("ttyACM1")}};
    EXPECT_EQ(ports, expected);
    EXPECT_EQ(Names(nullptr).PlatformList(), "COM1\0COM4\0COM33\0COM64\0COM66\0"s);
    EXPECT_EQ(Names(nullptr).DevicePath(33), Dev("ttyUSB0"));
    EXPECT_EQ(Names(nullptr).DevicePath(2), std::nullopt); // ttyS1 has no UART
    EXPECT_EQ(Names(nullptr).DevicePath(0), std::nullopt);
    EXPECT_EQ(Names(nullptr).DevicePath(-3), std::nullopt);
}

TEST_F(ComPortNamesTest, PortsEntriesComeFirstAndHideTheRuleNumbersTheyReplace) {
    AddPort("COM9", "/dev/pts/4");
    AddPort("com1", "ttyUSB0");    // relative to the /dev root; takes ttyS0's number
    AddPort("COM9", "/dev/other"); // same name again: rewrites the first
    AddPort("COM2", "/dev/pts/5");
    AddPort("COM02x", "/dev/pts/6"); // not a port name
    AddPort("COM0", "/dev/pts/7");   // out of range
    AddPort("COM300", "/dev/pts/8"); // out of range
    AddPort("COM12", "");            // no device
    AddPort("COM13", "/dev/x", REG_BINARY);
    const auto ports = Names(&registry).Ports();
    const std::map<int, std::string> expected{{1, Dev("ttyUSB0")},   {2, "/dev/pts/5"},
                                              {4, Dev("ttyS3")},     {9, "/dev/other"},
                                              {64, Dev("ttyUSB31")}, {66, Dev("ttyACM1")}};
    EXPECT_EQ(ports, expected);
    EXPECT_EQ(Names(&registry).PlatformList(), "COM1\0COM2\0COM4\0COM9\0COM64\0COM66\0"s);
}

TEST_F(ComPortNamesTest, ReverseLookupFollowsSymbolicLinks) {
    dir.Link(Dev("ttyUSB0"), "dev/serial/by-id/usb-Maker_Converter-if00");
    AddPort("COM7", "serial/by-id/usb-Maker_Converter-if00");
    ComPortNames names = Names(&registry);
    // The converter is listed once, under its Ports number.
    EXPECT_EQ(names.PortNumber(Dev("ttyUSB0")), 7);
    EXPECT_EQ(names.DevicePath(33), std::nullopt);
    EXPECT_EQ(names.PortNumber(Dev("ttyS3")), 4);
    EXPECT_EQ(names.PortNumber("/dev/nothing"), std::nullopt);
}

} // namespace
} // namespace fw
