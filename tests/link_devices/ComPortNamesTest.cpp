// COM numbers from the Ports key and from the ttyS/ttyUSB/ttyACM rule, over a
// fake /dev and /sys.
#include "link/ComPortNames.h"

#include "settings/MemoryRegistry.h"
#include "settings/UsefulUtils.h"
#include "tests/link_devices/DeviceFixtures.h"

namespace fw {
namespace {

using namespace std::string_literals;

class ComPortNamesTest : public ::testing::Test {
protected:
    ComPortNamesTest() {
        // Three 8250 nodes, one without a UART behind it; converters of both
        // kinds, one beyond the numbered range.
        for (const char* node :
             {"ttyS0", "ttyS1", "ttyS3", "ttyUSB0", "ttyUSB31", "ttyUSB32", "ttyACM1", "tty0"})
            test::WriteAll(Dev(node), "");
        for (auto [tty, type] : {std::pair{"ttyS0", "4\n"}, {"ttyS1", "0\n"}, {"ttyS3", "4\n"}})
            test::WriteAll(dir / "sys/class/tty/" + tty + "/type", type);
    }
    ComPortNames Names(IRegistry* reg) const { return ComPortNames(reg, dir / "dev", dir / "sys"); }
    std::string Dev(const std::string& node) const { return dir / ("dev/" + node); }
    void AddPort(const std::string& name, const std::string& device) {
        ASSERT_TRUE(RegWriteString(registry, kPortsKeyPath, name, device, HKEY_LOCAL_MACHINE));
    }

    test::TempDir dir;
    MemoryRegistry registry;
};

TEST_F(ComPortNamesTest, RulesNumberUartsAndConvertersAndPortsEntriesComeFirst) {
    // ttyS1 has no UART.
    EXPECT_EQ(Names(nullptr).PlatformList(), "COM1\0COM4\0COM33\0COM64\0COM66\0"s);
    EXPECT_EQ(Names(nullptr).DevicePath(66), Dev("ttyACM1"));

    // An entry hides the rule number it takes, and its device is not listed twice.
    const std::string byId = "serial/by-id/usb-Maker_Converter-if00";
    test::Link(Dev("ttyUSB0"), Dev(byId));
    AddPort("com1", byId); // relative to /dev
    AddPort("COM9", "/dev/pts/4");
    AddPort("COM300", "/dev/pts/6"); // out of range
    AddPort("COM12", "");            // no device
    const ComPortNames names = Names(&registry);
    EXPECT_EQ(names.PlatformList(), "COM1\0COM4\0COM9\0COM64\0COM66\0"s);
    EXPECT_EQ(names.DevicePath(1), Dev(byId));
    EXPECT_EQ(names.DevicePath(9), "/dev/pts/4");
    EXPECT_EQ(names.PortNumber(Dev("ttyUSB0")), 1);
}

} // namespace
} // namespace fw
