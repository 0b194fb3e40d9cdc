// The port search over real pseudo-terminals: COM3 and COM4 are ptys named in
// the Ports key, COM3 held by another process, COM5 a device that is gone, COM6
// a link to a device that is gone, COM7 a file that is there but is no port.
#include "link/serial/ComPortNames.h"
#include "link/serial/QtSerialPort.h"
#include "pages/PortDiscovery.h"
#include "settings/MemoryRegistry.h"
#include "settings/UsefulUtils.h"
#include "tests/link_devices/DeviceFixtures.h"
#include "tests/port_discovery/SerialLine.h"
#include "tests/support/RecordingMessageBox.h"

#include <csignal>
#include <sys/file.h>

namespace fw::test {
namespace {

TEST(PortDiscoveryOnPtys, HeldPortIsInUseGonePortUnlistedAndNothingStaysOpen) {
    const std::string ports = "SOFTWARE\\Tarnvel\\Flashwright\\Ports";
    Pty com3, com4;
    TempDir empty; // no /dev or /sys devices besides the Ports entries
    MemoryRegistry registry;
    ASSERT_TRUE(RegWriteString(registry, ports, "COM3", com3.slave, HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(RegWriteString(registry, ports, "COM4", com4.slave, HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(RegWriteString(registry, ports, "COM5", empty / "gone", HKEY_LOCAL_MACHINE));
    Link(empty / "gone", empty / "dangling");
    ASSERT_TRUE(RegWriteString(registry, ports, "COM6", empty / "dangling", HKEY_LOCAL_MACHINE));
    WriteAll(empty / "plain", "");
    ASSERT_TRUE(RegWriteString(registry, ports, "COM7", empty / "plain", HKEY_LOCAL_MACHINE));
    ComPortNames names(&registry, empty / "dev", empty / "sys");

    // Another process holds COM3 (flock): it inherits our locked descriptor,
    // then we let go of ours.
    const int fd = ::open(com3.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const pid_t holder = Spawn([] { return ::pause(); });
    ::close(fd);

    RecordingMessageBox box;
    // As the wizard searches: the Ports key read once for the whole search.
    PortDiscovery discovery([&] { return names.PlatformList(); }, registry, box,
                            [&] { return names.HoldRegistryPorts(); });
    QtSerialPort msTestComm(names);
    ListBox list;
    EXPECT_EQ(discovery.loadComPortAndBaud(msTestComm, list, 1, kFalse), kTrue);
    ::kill(holder, SIGKILL);
    Reap(holder);

    // COM1 is not there: the first free port. (What the search then says and
    // writes: PortDiscovery.ListsSelectsTellsAndWrites.)
    EXPECT_EQ(list.items, (std::vector<std::string>{"COM3 (In Use)", "COM4"}));
    EXPECT_EQ(list.index, 1);
    // Every test open was closed again: both ports open now.
    EXPECT_FALSE(msTestComm.PortOpen());
    for (std::int16_t n : {3, 4}) {
        QtSerialPort port(names);
        ASSERT_FALSE(port.SetCommPort(n));
        EXPECT_FALSE(port.SetPortOpen(true)) << n;
    }
}

} // namespace
} // namespace fw::test
