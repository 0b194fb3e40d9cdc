// The analysers of one "flashwright-cli flash": each named by --port, --usb or
// --address, or by a line of an --analysers file.
#pragma once

#include "engine/RunConfig.h"
#include "link/serial/ComPortNames.h"

#include <optional>
#include <string>
#include <vector>

namespace fw::cli {

// "7" or "COM7" (any case) -> 7, within 1..255; nullopt otherwise.
std::optional<int> ParsePort(const std::string& text);
// An absolute device path ("/dev/ttyUSB0", "/dev/serial/by-id/usb-...") for
// --port, tidied ("/dev//ttyUSB0" -> "/dev/ttyUSB0") but with its links kept;
// nullopt for a relative or empty path or one that names a folder ("/dev/").
std::optional<std::string> ParsePortDevice(const std::string& text);

// The first COM number no device rule gives (ttyS, ttyUSB and ttyACM take 1
// to 96): a device given by path is numbered from here.
inline constexpr int kFirstFreePort = 97;

// The COM number a device path given to --port runs on.
struct DevicePort {
    int number = 0;
    bool fresh = false; // true: no port lists the path yet, `number` is free
};
// The port that already lists exactly `device` (a Ports entry or a device
// rule), else the lowest number from kFirstFreePort up that no port takes;
// nullopt when every one is taken.
std::optional<DevicePort> PortForDevice(const ComPortNames& names, const std::string& device);

struct Analyser {
    std::string name; // as the user wrote it: "COM7", "/dev/ttyUSB3", "usb:A1B2", "host:4001"
    ConnectionType type = ConnectionType::Serial;
    std::optional<int> port;               // COM: the port's number ...
    std::optional<std::string> portDevice; // ... or a device by its absolute path
    std::string usbSerial;                 // USB
    std::string address;                   // TCP: "host:port" or "rfc2217://host:port"
};

// One analyser as --port takes it: "7", "COM7", "/dev/ttyUSB3".
std::optional<Analyser> SerialAnalyser(const std::string& text);
// One analyser as --usb takes it: the converter's serial number.
std::optional<Analyser> UsbAnalyser(const std::string& serial);
// One analyser as --address takes it: "host:port", "rfc2217://host:port".
std::optional<Analyser> NetAnalyser(const std::string& text);
// One line of an --analysers file, blanks around it ignored: a serial port
// ("7", "COM7", "/dev/ttyUSB3"), "usb:SERIAL", or a device server
// ("host:port", "rfc2217://host:port").
std::optional<Analyser> ParseAnalyser(const std::string& text);

struct AnalysersFile {
    std::vector<Analyser> analysers;
    std::string error; // empty when read: else "FILE:N: ..." or why it cannot be read
};
// The lines of an --analysers file: one analyser a line, "#" starts a comment
// (at the start of a line, or after a blank), blank lines are skipped.
AnalysersFile ParseAnalysersText(const std::string& text, const std::string& fileName);
AnalysersFile ReadAnalysersFile(const std::string& path);

} // namespace fw::cli
