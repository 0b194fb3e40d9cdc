// COM numbers from the Ports key and from the ttyS/ttyUSB/ttyACM rule, over a
// fake /dev and /sys.
#include "link/serial/ComPortNames.h"

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
    AddPort("COM01", "/dev/pts/7");  // port 1 again: the first entry wins
    const ComPortNames names = Names(&registry);
    EXPECT_EQ(names.PlatformList(), "COM1\0COM4\0COM9\0COM64\0COM66\0"s);
    EXPECT_EQ(names.DevicePath(1), Dev(byId));
    EXPECT_EQ(names.DevicePath(9), "/dev/pts/4");
    EXPECT_EQ(names.PortNumber(Dev("ttyUSB0")), 1);

    // One port at a time gives what the whole list gives, with the Ports key
    // read at every lookup and with it read once under a hold.
    for (const bool hold : {false, true}) {
        const auto held = hold ? names.HoldRegistryPorts() : nullptr;
        const auto ports = names.Ports();
        for (int n = 0; n <= kMaxComPort + 1; ++n) {
            const auto it = ports.find(n);
            EXPECT_EQ(names.DevicePath(n),
                      it == ports.end() ? std::nullopt : std::optional(it->second))
                << n << (hold ? " held" : "");
        }
    }
    // A change shows once the last hold is let go, not before.
    auto outer = names.HoldRegistryPorts();
    auto inner = names.HoldRegistryPorts();
    EXPECT_EQ(names.DevicePath(9), "/dev/pts/4");
    AddPort("COM9", "/dev/pts/5");
    inner.reset();
    EXPECT_EQ(names.DevicePath(9), "/dev/pts/4");
    outer.reset();
    EXPECT_EQ(names.DevicePath(9), "/dev/pts/5");
}

} // namespace
} // namespace fw
