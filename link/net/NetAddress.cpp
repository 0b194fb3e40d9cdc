#include "link/net/NetAddress.h"

#include <algorithm>

namespace fw {

namespace {

constexpr std::string_view kRfc2217Scheme = "rfc2217://";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), IsDigit)) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : text) {
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// A host name or IPv4 address: letters, digits, '.', '-' and '_'.
// A name of the domain name system is at most 253 characters long.
constexpr std::size_t kMaxHostName = 253;

bool IsHostName(std::string_view host) {
    return !host.empty() && host.size() <= kMaxHostName &&
           std::all_of(host.begin(), host.end(), [](char c) {
               return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                      c == '-' || c == '_';
           });
}

// The longest zone (the interface an IPv6 link-local address is reached
// through, "eth0" in "fe80::1%eth0") taken; interface names are far shorter.
constexpr std::size_t kMaxZone = 64;

// A zone: 1 to kMaxZone characters that a URI leaves unescaped (letters,
// digits, '-', '.', '_' and '~'). The plain '%' before it is the form the
// address box takes; "%25" is not decoded, and reads as a zone starting "25".
bool IsZone(std::string_view zone) {
    return !zone.empty() && zone.size() <= kMaxZone &&
           std::all_of(zone.begin(), zone.end(), [](char c) {
               return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                      c == '.' || c == '_' || c == '~';
           });
}

// An IPv6 address (with an optional zone after '%'): hex digits, ':' and '.'.
bool IsIpv6(std::string_view host) {
    const std::size_t percent = host.find('%');
    if (percent != std::string_view::npos && !IsZone(host.substr(percent + 1))) {
        return false;
    }
    const std::string_view address = host.substr(0, percent);
    return address.find(':') != std::string_view::npos &&
           std::all_of(address.begin(), address.end(), [](char c) {
               return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
                      c == '.';
           });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
           });
}

} // namespace

std::string NetAddress::HostPort() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<NetAddress> ParseNetAddress(std::string_view text) {
    NetAddress address;
    if (StartsWithNoCase(text, kRfc2217Scheme)) {
        address.rfc2217 = true;
        text.remove_prefix(kRfc2217Scheme.size());
    }
    std::string_view host;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (!IsIpv6(host)) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = text.find(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (!IsHostName(host)) {
            return std::nullopt; // also an IPv6 address without brackets
        }
    }
    const std::optional<std::uint16_t> number = ParsePort(port);
    if (!number) {
        return std::nullopt;
    }
    address.host = std::string(host);
    address.port = *number;
    return address;
}

} // namespace fw
