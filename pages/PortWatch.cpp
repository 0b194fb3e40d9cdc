#include "pages/PortWatch.h"

#include <algorithm>

namespace fw {

PortWatch::Change PortWatch::Look(const std::vector<std::string>& present) {
    Change change;
    // A name listed twice in one look counts once.
    std::vector<std::string> now;
    for (const std::string& name : present) {
        if (std::find(now.begin(), now.end(), name) == now.end()) {
            now.push_back(name);
        }
    }
    if (looked_) {
        for (const std::string& name : now) {
            if (!Present(name)) {
                change.appeared.push_back(name);
            }
        }
        for (const std::string& name : known_) {
            if (std::find(now.begin(), now.end(), name) == now.end()) {
                change.gone.push_back(name);
            }
        }
    }
    known_ = std::move(now);
    looked_ = true;
    return change;
}

bool PortWatch::Present(const std::string& name) const {
    return std::find(known_.begin(), known_.end(), name) != known_.end();
}

std::vector<std::string> SplitPortList(const std::string& list) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t end = std::min(list.find('\0', at), list.size());
        if (end > at) {
            names.push_back(list.substr(at, end - at));
        }
        at = end + 1;
    }
    return names;
}

} // namespace fw
