// The machine's serial ports for tests: which exist, which another program
// holds (opening them fails with 8005) and which are open; and a serial
// control over them. Any other port fails to open as a missing one. And a
// list box for the search to fill.
#pragma once

#include "link/serial/SerialPort.h"
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

// Opens the ports of a SerialLine; otherwise a control that never receives.
class ScriptedPort : public ClosedSerialPort {
public:
    explicit ScriptedPort(SerialLine& line) : ClosedSerialPort("refused"), line_(line) {}
    ~ScriptedPort() override { SetPortOpen(false); }
    bool PortOpen() const override { return open_; }
    CommError SetPortOpen(bool open) override {
        const int port = CommPort();
        const bool taken = line_.held.count(port) != 0 || line_.open.count(port) != 0;
        if (open && (taken || line_.free.count(port) == 0)) {
            return {taken ? kCommErrPortInUse : kCommErrInvalidPort, "refused"};
        }
        if (open) {
            line_.open.insert(port);
        } else if (open_) {
            line_.open.erase(port);
        }
        open_ = open;
        return {};
    }

private:
    SerialLine& line_;
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
