#include "cli/Analysers.h"

#include "link/net/NetAddress.h"
#include "platform/WholeFile.h"
#include "settings/Text.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fw::cli {
namespace {

constexpr const char* kUsbPrefix = "usb:";
// No analyser's name is longer; a line that is, is no analyser.
constexpr std::size_t kMaxAnalyserLine = 4096;
// How much of a line that names no analyser is shown back.
constexpr std::size_t kEchoBytes = 80;
// Ten thousand analysers take well under a megabyte.
constexpr std::size_t kMaxAnalysersFile = 16 * 1024 * 1024;

// A line of the file, without blanks around it (and a CR of Windows's line end).
std::string Trimmed(const std::string& line) {
    return std::string(Trim(line, " \t\r"));
}

} // namespace

std::optional<int> ParsePort(const std::string& text) {
    if (!text.empty() && !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return ComPortNames::ParseComName(text);
    }
    int port = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, port);
    if (text.empty() || ec != std::errc() || ptr != end || port < 1 || port > kMaxComPort) {
        return std::nullopt;
    }
    return port;
}

std::optional<std::string> ParsePortDevice(const std::string& text) {
    if (text.empty() || text.front() != '/') {
        return std::nullopt;
    }
    std::string path = std::filesystem::path(text).lexically_normal().string();
    if (path.back() == '/' || text.back() == '/') {
        return std::nullopt;
    }
    return path;
}

std::optional<DevicePort> PortForDevice(const ComPortNames& names, const std::string& device) {
    const std::map<int, std::string> ports = names.Ports();
    for (const auto& [number, path] : ports) {
        if (path == device) {
            return DevicePort{number, false};
        }
    }
    for (int number = kFirstFreePort; number <= kMaxComPort; ++number) {
        if (ports.count(number) == 0) {
            return DevicePort{number, true};
        }
    }
    return std::nullopt;
}

std::optional<Analyser> SerialAnalyser(const std::string& text) {
    Analyser a{text, ConnectionType::Serial, std::nullopt, std::nullopt, {}, {}};
    if (text.find('/') != std::string::npos) {
        a.portDevice = ParsePortDevice(text);
        if (!a.portDevice) {
            return std::nullopt;
        }
        a.name = *a.portDevice;
        return a;
    }
    a.port = ParsePort(text);
    if (!a.port) {
        return std::nullopt;
    }
    a.name = ComName(*a.port);
    return a;
}

std::optional<Analyser> UsbAnalyser(const std::string& serial) {
    if (serial.empty()) {
        return std::nullopt;
    }
    return Analyser{
        kUsbPrefix + serial, ConnectionType::Usb, std::nullopt, std::nullopt, serial, {}};
}

std::optional<Analyser> NetAnalyser(const std::string& text) {
    if (!ParseNetAddress(text)) {
        return std::nullopt;
    }
    return Analyser{text, ConnectionType::Tcp, std::nullopt, std::nullopt, {}, text};
}

std::optional<Analyser> ParseAnalyser(const std::string& line) {
    const std::string text = Trimmed(line);
    if (text.rfind(kUsbPrefix, 0) == 0) {
        const std::string serial = text.substr(std::string(kUsbPrefix).size());
        return serial.find_first_of(" \t") == std::string::npos ? UsbAnalyser(serial)
                                                                : std::nullopt;
    }
    if (text.find("://") != std::string::npos ||
        (text.find(':') != std::string::npos && text.front() != '/')) {
        return NetAnalyser(text);
    }
    return SerialAnalyser(text);
}

AnalysersFile ParseAnalysersText(const std::string& text, const std::string& fileName) {
    AnalysersFile file;
    const std::string shownName = Printable(fileName);
    // A UTF-8 byte-order mark that an editor put at the start is no part of
    // the first line.
    std::istringstream in(text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.size() > kMaxAnalyserLine) {
            file.analysers.clear();
            file.error = shownName + ":" + std::to_string(number) + ": a line of " +
                         std::to_string(line.size()) + " characters (\"" +
                         Printable(line, kEchoBytes) + "\") is no analyser";
            return file;
        }
        for (std::size_t hash = line.find('#'); hash != std::string::npos;
             hash = line.find('#', hash + 1)) {
            if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
                line.erase(hash);
                break;
            }
        }
        if (Trimmed(line).empty()) {
            continue;
        }
        const std::optional<Analyser> analyser = ParseAnalyser(line);
        if (!analyser) {
            file.analysers.clear();
            file.error = shownName + ":" + std::to_string(number) + ": \"" +
                         Printable(Trimmed(line), kEchoBytes) +
                         "\" is no analyser: COMn, N, a device path, usb:SERIAL, HOST:PORT or "
                         "rfc2217://HOST:PORT";
            return file;
        }
        file.analysers.push_back(*analyser);
    }
    if (file.analysers.empty()) {
        file.error = shownName + " names no analyser";
    }
    return file;
}

AnalysersFile ReadAnalysersFile(const std::string& path) {
    // Only a regular file, read at once: a FIFO nobody writes would wait for
    // ever, a device without end.
    const WholeFile read = ReadWholeFile(path, kMaxAnalysersFile);
    if (!read.bytes) {
        return AnalysersFile{{}, Printable(path) + " " + read.why};
    }
    return ParseAnalysersText(*read.bytes, path);
}

} // namespace fw::cli
