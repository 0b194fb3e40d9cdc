#include "pages/PortDiscovery.h"
#include "pages/BenchNames.h"
#include "pages/PortWatch.h"
#include "settings/MemoryRegistry.h"
#include "settings/UsefulUtils.h"
#include "tests/port_discovery/SerialLine.h"
#include "tests/support/RecordingMessageBox.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace fw::test {
namespace {

using namespace std::string_literals;

// One search: the platform's list, the ports, a list box that may already be
// filled, and what the search lists, selects, says and writes to the alarm key.
struct Case {
    const char* name;
    std::string platformList;
    std::set<int> free, held;
    std::uint8_t comPort;
    std::vector<std::string> entries;
    int selected;
    std::vector<std::string> messages;
    const char* alarm;
    VbBool sysParamSetting = kFalse;
    std::vector<std::string> filled = {};
};

TEST(PortDiscovery, ListsSelectsTellsAndWrites) {
    const std::string missing = "Comm port search: The COM port specified no longer exists.\r\n"
                                "Setting will be changed to a valid COM port.";
    const std::string none = "Comm Port Search: No communication ports found!!!";
    const char* unset = "<unset>";
    // clang-format off
    const Case cases[] = {
        {"wanted port in use still matches", "COM1\0COM3\0"s, {3}, {1}, 1,
         {"COM1 (In Use)", "COM3"}, 0, {}, unset},
        {"missing port: first free", "COM3\0COM4\0"s, {4}, {3}, 1, {"COM3 (In Use)", "COM4"}, 1,
         {missing}, " 1"},
        {"missing port: the first of several free", "COM3\0COM4\0COM5\0COM6\0"s, {4, 5, 6}, {3},
         9, {"COM3 (In Use)", "COM4", "COM5", "COM6"}, 1, {missing}, " 1"},
        {"all in use: the first", "COM2\0COM3\0"s, {}, {2, 3}, 1,
         {"COM2 (In Use)", "COM3 (In Use)"}, 0, {missing}, " 0"},
        {"no list, nothing opens", "", {}, {}, 1, {}, -1, {missing, none}, unset},
        // Without a list ports 1 to 16 are tried in order.
        {"no list, probe", "", {4, 16, 17}, {9}, 16, {"COM4", "COM9 (In Use)", "COM16"}, 2, {},
         unset},
        // Not a number after COM (port 0), numbers no port can have (also when
        // they would wrap round to a valid one), a failing port, an empty name.
        {"unusable names", "COMX\0COM70000\0COM4294967297\0COM5\0\0COM12 \0"s, {1, 12}, {}, 12,
         {"COM12 "}, 0, {}, unset},
        {"last name without NUL", "COM1\0COM2"s, {1, 2}, {}, 2, {"COM1", "COM2"}, 1, {}, unset},
        {"no wanted port: first free, silently", "COM1\0COM2\0"s, {2}, {1}, 0,
         {"COM1 (In Use)", "COM2"}, 1, {}, " 1"},
        {"system setting: no write", "COM2\0"s, {2}, {}, 1, {"COM2"}, 0, {missing}, unset, kTrue},
        {"filled list not searched again", "COM1\0"s, {1}, {}, 1, {"COM7 (In Use)", "COM8"}, 1,
         {missing}, " 1", kFalse, {"COM7 (In Use)", "COM8"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryRegistry registry;
        RecordingMessageBox messages;
        PortDiscovery discovery([&] { return c.platformList; }, registry, messages);
        SerialLine line{c.free, c.held, {}};
        ScriptedPort port(line);
        ListBox box;
        box.items = c.filled;
        EXPECT_EQ(discovery.loadComPortAndBaud(port, box, c.comPort, c.sysParamSetting),
                  ToVb(!c.entries.empty())); // False only when no port at all was found
        EXPECT_EQ(box.items, c.entries);
        EXPECT_EQ(box.index, c.selected);
        std::vector<std::string> shown;
        for (const auto& m : messages.shown) {
            shown.push_back(m.title + ": " + m.text);
        }
        EXPECT_EQ(shown, c.messages);
        EXPECT_EQ(
            RegReadString(registry, kAlarmKeyPath, kAlarmComPortValue, unset, HKEY_LOCAL_MACHINE),
            c.alarm);
        EXPECT_TRUE(line.open.empty()) << "a test open was left open";
    }
}

// A station's look that finds two new ports (one of them named twice by the
// platform) reports them in list order, each once. (One after another, none
// twice while it stays, again once unplugged and back, none of those there
// at the start: WizardBench.StationFlashesEachUnitPluggedInOnce and
// CliE2e.WatchFlashesEachUnitPluggedIn.)
TEST(PortWatch, TwoInOneLookAppearInListOrderOnce) {
    PortWatch watch;
    EXPECT_TRUE(watch.Look(SplitPortList("")).appeared.empty());
    const PortWatch::Change change = watch.Look(SplitPortList("COM9\0COM2\0COM9\0"s));
    EXPECT_EQ(change.appeared, (std::vector<std::string>{"COM9", "COM2"}));
    EXPECT_TRUE(change.gone.empty());
    EXPECT_EQ(watch.Look(SplitPortList("COM2\0"s)).gone, std::vector<std::string>{"COM9"});
}

// The "Bench" setting and the run each name stands for.
TEST(BenchNames, StoredValueAndRuns) {
    EXPECT_EQ(SplitBenchNames(" COM7;usb:FT01 ;;COM7; rfc2217://lab:4002"),
              (std::vector<std::string>{"COM7", "usb:FT01", "rfc2217://lab:4002"}));
    EXPECT_EQ(JoinBenchNames({"COM7", "lab:4001"}), "COM7;lab:4001");
    RunConfig shared;
    shared.filename = "/fw.sx";
    const RunConfig com = BenchRunConfig("COM12", shared);
    EXPECT_EQ(com.type, ConnectionType::Serial);
    EXPECT_EQ(com.comPort, "12");
    EXPECT_EQ(com.filename, "/fw.sx");
    const RunConfig usb = BenchRunConfig("usb:FT01", shared);
    EXPECT_EQ(usb.type, ConnectionType::Usb);
    EXPECT_EQ(usb.usbSerial, "FT01");
    const RunConfig net = BenchRunConfig("[fd00::7]:4001", shared);
    EXPECT_EQ(net.type, ConnectionType::Tcp);
    EXPECT_EQ(net.address, "[fd00::7]:4001");
}

} // namespace
} // namespace fw::test
