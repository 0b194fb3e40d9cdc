// The port search fed by the system's own list: the values of
// HKEY_LOCAL_MACHINE\Hardware\DeviceMap\SerialComm read through advapi32.
// Where the machine (or Wine prefix) lists no ports, two are listed first, as
// a serial driver would.
#include "pages/PortDiscovery.h"
#include "settings/UsefulUtils.h"
#include "settings/WinRegistry.h"
#include "tests/port_discovery/SerialLine.h"
#include "tests/support/RecordingMessageBox.h"
#include "tests/support/WinRegistryTools.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fw::test {
namespace {

std::vector<std::string> SplitAtNul(const std::string& list) {
    std::vector<std::string> names;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = list.find('\0', start);
        names.push_back(list.substr(start, end - start));
        start = end == std::string::npos ? list.size() : end + 1;
    }
    return names;
}

TEST(SystemPortList, FeedsThePortSearch) {
    WinRegistry registry;
    if (RegListValueData(registry, kSerialCommKeyPath).empty()) {
        // The hardware keys are volatile; a key below them must be too.
        ASSERT_TRUE(CreateVolatileMachineKey(kSerialCommKeyPath));
        ASSERT_TRUE(RegWriteString(registry, kSerialCommKeyPath, "\\Device\\Serial0", "COM1",
                                   HKEY_LOCAL_MACHINE));
        ASSERT_TRUE(RegWriteString(registry, kSerialCommKeyPath, "\\Device\\Serial1", "COM3",
                                   HKEY_LOCAL_MACHINE));
    }
    const std::string list = RegistryPortList(registry)();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.back(), '\0') << "every name ends in a NUL";
    const std::vector<std::string> names = SplitAtNul(list);

    // Every listed port opens but the first, which another program holds; no
    // port is wanted (0), so the first free one is selected and its index goes
    // to the alarm key.
    SerialLine line;
    for (const std::string& name : names) {
        ASSERT_GT(EntryPortNumber(name), 0) << name;
        (name == names.front() ? line.held : line.free).insert(int(EntryPortNumber(name)));
    }
    ScriptedPort port(line);
    ListBox box;
    RecordingMessageBox messages;
    PortDiscovery search(RegistryPortList(registry), registry, messages);
    EXPECT_EQ(search.loadComPortAndBaud(port, box, 0, kFalse), kTrue);

    std::vector<std::string> listed = names;
    listed.front() += kInUseMark;
    EXPECT_EQ(box.items, listed);
    // The first free one; with a single port, held as it is, that one.
    const int selected = names.size() > 1 ? 1 : 0;
    EXPECT_EQ(box.index, selected);
    EXPECT_EQ(RegReadString(registry, kAlarmKeyPath, kAlarmComPortValue, "", HKEY_LOCAL_MACHINE),
              " " + std::to_string(selected));
    EXPECT_TRUE(line.open.empty()) << "every test open is closed again";
}

} // namespace
} // namespace fw::test
