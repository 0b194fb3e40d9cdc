#include "pages/PortDiscovery.h"
#include "settings/MemoryRegistry.h"
#include "settings/UsefulUtils.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace fw {
namespace {

// A serial control whose ports open, are held elsewhere (8005) or fail,
// by number. Port numbers below 1 are rejected, as the real control does.
struct ScriptedPort : ISerialPort {
    CommError SetCommPort(std::int16_t port) override {
        portsSet.push_back(port);
        if (open) {
            return {kCommErrPortInUse, "port already open"};
        }
        if (port < 1) {
            return {kCommErrInvalidPort, "invalid port number"};
        }
        current = port;
        return {};
    }
    std::int16_t CommPort() const override { return current; }
    bool PortOpen() const override { return open; }
    CommError SetPortOpen(bool wanted) override {
        if (!wanted) {
            open = false;
            return {};
        }
        auto it = outcome.find(current);
        const int error = it == outcome.end() ? kCommErrInvalidPort : it->second;
        if (error == 0) {
            open = true;
            ++opens;
        }
        return {error, error ? "failed" : ""};
    }
    void Output(const std::vector<std::uint8_t>&) override {}
    std::int16_t CommEvent() const override { return 0; }
    int InBufferCount() const override { return 0; }
    std::string Input() override { return {}; }
    void SetOnComm(std::function<void()>) override {}

    std::map<int, int> outcome; // port -> 0 (opens) or error number
    std::vector<int> portsSet;
    std::int16_t current = 1;
    bool open = false;
    int opens = 0;
};

struct ListBox : IListBox {
    int ListCount() const override { return static_cast<int>(items.size()); }
    void AddItem(const std::string& text) override { items.push_back(text); }
    std::string List(int i) const override { return items.at(static_cast<std::size_t>(i)); }
    void SetListIndex(int i) override { index = i; }
    int ListIndex() const override { return index; }
    std::vector<std::string> items;
    int index = -1;
};

struct Messages : IMessageBox {
    void Show(const std::string& text, MsgIcon icon, const std::string& title) override {
        EXPECT_EQ(icon, MsgIcon::None);
        shown.push_back(title + ": " + text);
    }
    std::vector<std::string> shown;
};

const std::string kMissing = "Comm port search: The COM port specified no longer exists.\r\n"
                             "Setting will be changed to a valid COM port.";
const std::string kNone = "Comm Port Search: No communication ports found!!!";
constexpr int kInUse = kCommErrPortInUse;
constexpr int kOther = kCommErrAccessDenied;

struct Case {
    const char* name;
    std::string platformList;
    std::map<int, int> outcome;
    std::uint8_t comPort;
    VbBool sysParamSetting;
    std::vector<std::string> entries;
    int selected;
    std::vector<std::string> messages;
    std::optional<std::string> alarmWritten;
    VbBool result;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

struct Search {
    explicit Search(std::string list)
        : discovery(
              [this, list] {
                  ++listReads;
                  return list;
              },
              registry, messages) {}
    VbBool Run(std::uint8_t comPort, VbBool sysParamSetting) {
        return discovery.loadComPortAndBaud(port, box, comPort, sysParamSetting);
    }
    std::optional<std::string> Alarm() {
        const std::string absent = "<absent>";
        const std::string value =
            RegReadString(registry, kAlarmKeyPath, kAlarmComPortValue, absent, HKEY_LOCAL_MACHINE);
        return value == absent ? std::nullopt : std::optional<std::string>(value);
    }
    MemoryRegistry registry;
    Messages messages;
    ScriptedPort port;
    ListBox box;
    int listReads = 0;
    PortDiscovery discovery;
};

class Discovery : public ::testing::TestWithParam<Case> {};

TEST_P(Discovery, ListsSelectsTellsAndWrites) {
    const Case& c = GetParam();
    Search s(c.platformList);
    s.port.outcome = c.outcome;
    EXPECT_EQ(s.Run(c.comPort, c.sysParamSetting), c.result);
    EXPECT_EQ(s.box.items, c.entries);
    EXPECT_EQ(s.box.index, c.selected);
    EXPECT_EQ(s.messages.shown, c.messages);
    EXPECT_EQ(s.Alarm(), c.alarmWritten);
    EXPECT_FALSE(s.port.open) << "a test open was left open";
}

using namespace std::string_literals;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Discovery, ::testing::Values(
    Case{"BothFree", "COM1\0COM3\0"s, {{1, 0}, {3, 0}}, 1, kFalse,
         {"COM1", "COM3"}, 0, {}, std::nullopt, kTrue},
    Case{"WantedPortInUseStillMatches", "COM1\0COM3\0"s, {{1, kInUse}, {3, 0}}, 1, kFalse,
         {"COM1 (In Use)", "COM3"}, 0, {}, std::nullopt, kTrue},
    Case{"MissingPortFallsBackToFirstFree", "COM3\0COM4\0"s, {{3, kInUse}, {4, 0}}, 1, kFalse,
         {"COM3 (In Use)", "COM4"}, 1, {kMissing}, " 1", kTrue},
    Case{"AllInUseFallsBackToFirst", "COM2\0COM3\0"s, {{2, kInUse}, {3, kInUse}}, 1, kFalse,
         {"COM2 (In Use)", "COM3 (In Use)"}, 0, {kMissing}, " 0", kTrue},
    Case{"NoListNothingOpens", "", {{5, kOther}}, 1, kFalse,
         {}, -1, {kMissing, kNone}, std::nullopt, kFalse},
    Case{"NoListProbeFindsCom2", "", {{2, 0}, {17, 0}}, 1, kFalse,
         {"COM2"}, 0, {kMissing}, " 0", kTrue},
    // Not a number after COM (the control rejects port 0), a number no port can
    // have, a failing port, an empty name: none listed.
    Case{"UnusableNamesNotListed", "COMX\0COM70000\0COM5\0\0COM12 \0"s, {{5, kOther}, {12, 0}}, 12, kFalse,
         {"COM12 "}, 0, {}, std::nullopt, kTrue},
    Case{"LastNameWithoutNulStillTried", "COM1\0COM2"s, {{1, 0}, {2, 0}}, 2, kFalse,
         {"COM1", "COM2"}, 1, {}, std::nullopt, kTrue},
    Case{"NoWantedPortSelectsFirstFreeSilently", "COM1\0COM2\0"s, {{1, kInUse}, {2, 0}}, 0, kFalse,
         {"COM1 (In Use)", "COM2"}, 1, {}, " 1", kTrue},
    Case{"SysParamSettingSuppressesTheWrite", "COM2\0"s, {{2, 0}}, 1, kTrue,
         {"COM2"}, 0, {kMissing}, std::nullopt, kTrue}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
// clang-format on

TEST(PortDiscovery, ProbeTriesPorts1To16InOrderAndClosesEachOpen) {
    Search s("");
    s.port.outcome = {{4, 0}, {9, kCommErrPortInUse}, {16, 0}};
    EXPECT_EQ(s.Run(16, kFalse), kTrue);
    std::vector<int> expected;
    for (int n = 1; n <= 16; ++n) {
        expected.push_back(n);
    }
    EXPECT_EQ(s.port.portsSet, expected); // a left-open port would fail every later set
    EXPECT_EQ(s.box.items, (std::vector<std::string>{"COM4", "COM9 (In Use)", "COM16"}));
    EXPECT_EQ(s.box.index, 2);
    EXPECT_EQ(s.port.opens, 2);
}

TEST(PortDiscovery, FilledListIsNotSearchedAgain) {
    Search s("COM1\0"s);
    s.box.items = {"COM7 (In Use)", "COM8"};
    EXPECT_EQ(s.Run(1, kFalse), kTrue);
    EXPECT_EQ(s.listReads, 0);
    EXPECT_TRUE(s.port.portsSet.empty());
    EXPECT_EQ(s.box.items.size(), 2u);
    EXPECT_EQ(s.box.index, 1);
    EXPECT_EQ(s.messages.shown, std::vector<std::string>{kMissing});
    EXPECT_EQ(s.Alarm(), " 1");
}

TEST(PortDiscovery, EntryPortNumberReadsLikeVal) {
    EXPECT_EQ(EntryPortNumber("COM3 (In Use)"), 3);
    EXPECT_EQ(EntryPortNumber("COM  12x"), 12);
    EXPECT_EQ(EntryPortNumber("COM-2"), -2);
    EXPECT_EQ(EntryPortNumber("COMX1"), 0);
    EXPECT_EQ(EntryPortNumber("COM"), 0);
    EXPECT_EQ(EntryPortNumber("COM99999999999999999999"), 2147483647);
}

TEST(PortDiscovery, RegistryPortListJoinsTheSerialCommValues) {
    MemoryRegistry registry;
    auto& key = registry.CreateKey("HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SerialComm");
    MemoryRegistry::StoreValue(key, "\\Device\\Serial0", REG_SZ, {'C', 'O', 'M', '1', 0});
    MemoryRegistry::StoreValue(key, "\\Device\\Serial2", REG_SZ, {'C', 'O', 'M', '3', 0});
    EXPECT_EQ(RegistryPortList(registry)(), "COM1\0COM3\0"s);
}

} // namespace
} // namespace fw
