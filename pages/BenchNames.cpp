#include "pages/BenchNames.h"

#include "link/serial/ComPortNames.h"
#include "settings/Text.h"

#include <algorithm>

namespace fw {

std::string JoinBenchNames(const std::vector<std::string>& names) {
    std::string value;
    for (const std::string& name : names) {
        value += (value.empty() ? "" : ";") + name;
    }
    return value;
}

std::vector<std::string> SplitBenchNames(const std::string& value) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at <= value.size()) {
        const std::size_t end = std::min(value.find(';', at), value.size());
        const std::string name(Trim(value.substr(at, end - at), " \t"));
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
        at = end + 1;
    }
    return names;
}

RunConfig BenchRunConfig(const std::string& name, const RunConfig& shared) {
    RunConfig config = shared;
    if (const std::optional<int> port = ComPortNames::ParseComName(name)) {
        config.type = ConnectionType::Serial;
        config.comPort = std::to_string(*port);
    } else if (name.starts_with(kUsbNamePrefix)) {
        config.type = ConnectionType::Usb;
        config.usbSerial = name.substr(std::string_view(kUsbNamePrefix).size());
    } else {
        config.type = ConnectionType::Tcp;
        config.address = name;
    }
    return config;
}

} // namespace fw
