// COM port numbers for the serial devices of a Linux machine.
//
// The program and its saved settings name serial ports by number (COM1, COM9,
// ...). Here a number maps to a device path:
//   - values of HKEY_LOCAL_MACHINE\SOFTWARE\Tarnvel\Flashwright\Ports come first:
//     value name "COM<n>", string data the device path (absolute, or relative to
//     the /dev root, e.g. "ttyUSB0"); such an entry takes number n and hides
//     whatever the rules below would have put there, and its device does not
//     appear a second time under a rule number;
//   - ttyS0..ttyS31 are COM1..COM32, listed only when a UART stands behind the
//     node (sysfs class/tty/ttySn/type is not 0: the kernel creates ttyS nodes
//     for ports that do not exist);
//   - ttyUSB0..ttyUSB31 are COM33..COM64;
//   - ttyACM0..ttyACM31 are COM65..COM96.
// Nothing is cached: every call looks at the device tree and the registry
// again, so plugged and unplugged converters show at once. The one exception is
// a hold (HoldRegistryPorts), which a port search takes while it runs.
#pragma once

#include "settings/Registry.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace fw {

inline constexpr const char* kPortsKeyPath = "SOFTWARE\\Tarnvel\\Flashwright\\Ports";
inline constexpr int kMaxComPort = 255; // the highest number a "COM<n>" entry may use

class ComPortNames {
public:
    // `registry` may be null (no Ports entries). The roots are parameters so a
    // test can lay out a fake device tree.
    explicit ComPortNames(IRegistry* registry, std::string devRoot = "/dev",
                          std::string sysRoot = "/sys");

    // Every numbered port, ascending: number -> device path.
    std::map<int, std::string> Ports() const;
    // The device behind port `port`, if any.
    std::optional<std::string> DevicePath(int port) const;
    // The names of all ports, ascending by number, each followed by a NUL:
    // "COM1\0COM9\0" (the same shape as the joined data of the platform's port
    // list).
    std::string PlatformList() const;
    // The number under which `devicePath` is listed (symbolic links are
    // followed on both sides).
    std::optional<int> PortNumber(const std::string& devicePath) const;

    // While the returned object lives, the Ports key is read once, at the first
    // look, and every answer comes from that reading (the device tree is still
    // looked at every time): a port search looks up each of its ports twice,
    // and with hundreds of entries reading the key for every lookup is most of
    // the search. Holds may nest; this object must outlive them.
    std::shared_ptr<void> HoldRegistryPorts() const;

    // "COM12" -> 12 (case-insensitive prefix, 1..kMaxComPort); nullopt otherwise.
    static std::optional<int> ParseComName(const std::string& name);

private:
    // The device the rules give port `port`, when it is there.
    std::optional<std::string> RulePath(int port) const;
    std::map<int, std::string> RulePorts() const;
    std::map<int, std::string> RegistryPorts() const;
    // Calls `visit` for each usable entry of the Ports key in order, until it
    // returns false.
    void VisitRegistryPorts(const std::function<bool(int port, std::string path)>& visit) const;

    struct Held {
        std::map<int, std::string> ports;
        std::set<std::string> canonical; // the entries' devices, links followed
    };
    const Held& HeldPorts() const;

    IRegistry* registry_;
    mutable int holds_ = 0;
    mutable std::optional<Held> held_;
    std::string devRoot_;
    std::string sysRoot_;
};

} // namespace fw
