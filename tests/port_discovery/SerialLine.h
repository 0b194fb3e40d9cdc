// The machine's serial ports for tests: which exist, which another program
// holds (opening them fails with 8005) and which are open; and a serial
// control over them. Any other port fails to open as a missing one. And a
// list box for the search to fill.
#pragma once

#include "engine/SerialPort.h"
#include "pages/PortDiscovery.h"

#include <set>
#include <string>
#include <vector>

namespace fw::test {

struct SerialLine {
    std::set<int> free, held, open;
    // "COM1\0COM3\0": every port that exists, in order.
    std::string PlatformList() const {
        std::string list;
        for (int n = 1; n < 256; ++n) {
            list += free.count(n) + held.count(n) != 0 ? "COM" + std::to_string(n) + '\0' : "";
        }
        return list;
    }
};

class ScriptedPort : public ISerialPort {
public:
    explicit ScriptedPort(SerialLine& line) : line_(line) {}
    ~ScriptedPort() override { SetPortOpen(false); }
    CommError SetCommPort(std::int16_t port) override {
        port_ = port;
        return {};
    }
    std::int16_t CommPort() const override { return port_; }
    bool PortOpen() const override { return open_; }
    CommError SetPortOpen(bool open) override {
        const bool taken = line_.held.count(port_) != 0 || line_.open.count(port_) != 0;
        if (open && (taken || line_.free.count(port_) == 0)) {
            return {taken ? kCommErrPortInUse : kCommErrInvalidPort, "refused"};
        }
        if (open) {
            line_.open.insert(port_);
        } else if (open_) {
            line_.open.erase(port_);
        }
        open_ = open;
        return {};
    }
    void Output(const std::vector<std::uint8_t>&) override {}
    std::int16_t CommEvent() const override { return 0; }
    int InBufferCount() const override { return 0; }
    std::string Input() override { return {}; }
    void SetOnComm(std::function<void()>) override {}

private:
    SerialLine& line_;
    std::int16_t port_ = 1;
    bool open_ = false;
};

// A drop-down list as the port search fills it.
struct ListBox : IListBox {
    int ListCount() const override { return static_cast<int>(items.size()); }
    void AddItem(const std::string& text) override { items.push_back(text); }
    std::string List(int i) const override { return items.at(static_cast<std::size_t>(i)); }
    void SetListIndex(int i) override { index = i; }
    int ListIndex() const override { return index; }
    std::vector<std::string> items;
    int index = -1;
};

} // namespace fw::test
