#include "link/serial/ComPortNames.h"

#include "settings/Text.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

namespace fw {
namespace {

namespace fs = std::filesystem;

struct Family {
    const char* prefix;
    int firstPort;
};
// 32 numbers per family; ttyS first so that COM1 is the first on-board UART,
// as on a PC.
constexpr Family kFamilies[] = {{"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}};
constexpr int kPerFamily = 32;
constexpr std::size_t kMaxValueBytes = 65536;

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// The kernel makes ttyS nodes for every possible 8250 port; only those whose
// UART type is known (not 0, "unknown") have hardware behind them.
bool UartPresent(const std::string& sysRoot, const std::string& name) {
    std::ifstream in(sysRoot + "/class/tty/" + name + "/type");
    int type = 0;
    return static_cast<bool>(in >> type) && type != 0;
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    fs::path result = fs::weakly_canonical(path, ec);
    return ec ? fs::path(path).lexically_normal().string() : result.string();
}

} // namespace

ComPortNames::ComPortNames(IRegistry* registry, std::string devRoot, std::string sysRoot)
    : registry_(registry), devRoot_(std::move(devRoot)), sysRoot_(std::move(sysRoot)) {
}

std::optional<int> ComPortNames::ParseComName(const std::string& name) {
    if (name.size() < 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return std::nullopt;
    int n = 0;
    const char* first = name.data() + 3;
    const char* last = name.data() + name.size();
    auto [end, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || end != last || n < 1 || n > kMaxComPort)
        return std::nullopt;
    return n;
}

std::optional<std::string> ComPortNames::RulePath(int port) const {
    for (const Family& family : kFamilies) {
        if (port < family.firstPort || port >= family.firstPort + kPerFamily)
            continue;
        const std::string name = family.prefix + std::to_string(port - family.firstPort);
        const std::string path = devRoot_ + "/" + name;
        if (!Exists(path) || (family.firstPort == 1 && !UartPresent(sysRoot_, name)))
            return std::nullopt;
        return path;
    }
    return std::nullopt;
}

std::map<int, std::string> ComPortNames::RulePorts() const {
    std::map<int, std::string> ports;
    for (const Family& family : kFamilies) {
        for (int port = family.firstPort; port < family.firstPort + kPerFamily; ++port) {
            if (auto path = RulePath(port))
                ports.emplace(port, std::move(*path));
        }
    }
    return ports;
}

std::shared_ptr<void> ComPortNames::HoldRegistryPorts() const {
    ++holds_;
    return std::shared_ptr<void>(nullptr, [this](void*) {
        if (--holds_ == 0)
            held_.reset();
    });
}

const ComPortNames::Held& ComPortNames::HeldPorts() const {
    if (!held_) {
        Held held;
        VisitRegistryPorts([&held](int port, std::string path) {
            // The first entry for a number wins.
            if (held.ports.emplace(port, path).second)
                held.canonical.insert(Canonical(path));
            return true;
        });
        held_ = std::move(held);
    }
    return *held_;
}

std::map<int, std::string> ComPortNames::RegistryPorts() const {
    if (holds_ > 0)
        return HeldPorts().ports;
    std::map<int, std::string> ports;
    VisitRegistryPorts([&ports](int port, std::string path) {
        ports.emplace(port, std::move(path)); // the first entry for a number wins
        return true;
    });
    return ports;
}

void ComPortNames::VisitRegistryPorts(
    const std::function<bool(int port, std::string path)>& visit) const {
    if (registry_ == nullptr)
        return;
    HKEY key = 0;
    if (registry_->RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortsKeyPath, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    std::vector<char> name(256);
    std::vector<std::uint8_t> data(1024);
    for (DWORD index = 0;;) {
        DWORD cchName = static_cast<DWORD>(name.size());
        DWORD cbData = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        const LONG rc = registry_->RegEnumValueA(key, index, name.data(), &cchName, nullptr, &type,
                                                 data.data(), &cbData);
        if (rc == ERROR_MORE_DATA) {
            // A short buffer: the data size comes back, a short name buffer
            // leaves the count as it was. Grow and read the same value again;
            // skip a value that will not fit in sensible buffers.
            const bool dataShort = cbData > data.size();
            const bool nameShort = !dataShort && cchName >= name.size();
            if (dataShort && cbData <= kMaxValueBytes)
                data.resize(cbData);
            else if (nameShort && name.size() < kMaxValueBytes)
                name.resize(name.size() * 2);
            else
                ++index;
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        ++index;
        if (type != REG_SZ)
            continue;
        const auto port = ParseComName(std::string(name.data(), cchName));
        std::string path(reinterpret_cast<const char*>(data.data()),
                         std::min<std::size_t>(cbData, data.size()));
        path = path.substr(0, path.find('\0'));
        if (!port || path.empty())
            continue;
        if (path.front() != '/')
            path = devRoot_ + "/" + path;
        if (!visit(*port, std::move(path)))
            break;
    }
    registry_->RegCloseKey(key);
}

std::map<int, std::string> ComPortNames::Ports() const {
    std::map<int, std::string> ports = RegistryPorts();
    std::set<std::string> claimed;
    for (const auto& [port, path] : ports)
        claimed.insert(Canonical(path));
    for (const auto& [port, path] : RulePorts()) {
        if (ports.count(port) == 0 && claimed.count(Canonical(path)) == 0)
            ports.emplace(port, path);
    }
    return ports;
}

std::optional<std::string> ComPortNames::DevicePath(int port) const {
    if (port < 1 || port > kMaxComPort)
        return std::nullopt;
    // The same answer as Ports() gives, without looking at every device: the
    // serial control asks for one port at a time, twice for each port the
    // search tries, and the Ports key may hold a great many entries.
    if (holds_ > 0) {
        const Held& held = HeldPorts();
        if (const auto it = held.ports.find(port); it != held.ports.end())
            return it->second;
        std::optional<std::string> rule = RulePath(port);
        if (!rule || held.canonical.count(Canonical(*rule)) != 0)
            return std::nullopt; // a claimed device is listed under the entry's number only
        return rule;
    }
    // The walk over the Ports key stops at the port's own entry; only a port
    // the rules give a device needs every entry, to see whether one of them
    // claims that device.
    std::optional<std::string> entry;
    VisitRegistryPorts([&](int number, std::string path) {
        if (number == port)
            entry = std::move(path);
        return !entry;
    });
    if (entry)
        return entry;
    std::optional<std::string> rule = RulePath(port);
    if (!rule)
        return std::nullopt;
    const std::string device = Canonical(*rule);
    for (const auto& [number, path] : RegistryPorts()) {
        if (Canonical(path) == device)
            return std::nullopt; // listed under the entry's number only
    }
    return rule;
}

std::string ComPortNames::PlatformList() const {
    std::string list;
    for (const auto& [port, path] : Ports()) {
        list += ComName(port);
        list += '\0';
    }
    return list;
}

std::optional<int> ComPortNames::PortNumber(const std::string& devicePath) const {
    const std::string wanted = Canonical(devicePath);
    for (const auto& [port, path] : Ports()) {
        if (Canonical(path) == wanted)
            return port;
    }
    return std::nullopt;
}

} // namespace fw
