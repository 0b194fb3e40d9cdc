// What a station watches: the ports that appear and go between two looks at
// the machine's port list (serial ports by name, converters by serial
// number). The first look only notes what is there; from then on an entry
// appears once per plugging, in the order the looks found them, and not
// again while it stays. No Qt: the wizard's bench page and the command line's
// "flash --watch" poll it from their event loops.
#pragma once

#include <string>
#include <vector>

namespace fw {

class PortWatch {
public:
    struct Change {
        std::vector<std::string> appeared; // in the order of the list given
        std::vector<std::string> gone;
    };
    // Compares `present` with the last look. The first look reports nothing.
    Change Look(const std::vector<std::string>& present);
    // Forgets every look: the next one is a first look again.
    void Reset() {
        known_.clear();
        looked_ = false;
    }
    bool Present(const std::string& name) const;

private:
    std::vector<std::string> known_; // what the last look found, in its order
    bool looked_ = false;
};

// The names of a NUL-separated port list ("COM1\0COM3\0"), empty ones left out.
std::vector<std::string> SplitPortList(const std::string& list);

} // namespace fw
