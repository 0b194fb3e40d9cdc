// The address of a serial device server, as stored in "Address":
// "host:port" for a raw byte stream, "rfc2217://host:port" for a server that
// speaks the telnet COM-PORT-OPTION protocol (and is told the line settings).
// The host is a name, an IPv4 address or an IPv6 address in brackets
// ("[::1]:2000"), which may name its zone ("[fe80::1%eth0]:2000").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fw {

struct NetAddress {
    std::string host; // without the brackets of an IPv6 address
    std::uint16_t port = 0;
    bool rfc2217 = false;

    // "host:port" ("[v6]:port"), without the scheme.
    std::string HostPort() const;
    friend bool operator==(const NetAddress&, const NetAddress&) = default;
};

// nullopt for anything else: no port, a port outside 1..65535, an empty host,
// an IPv6 address without brackets, a zone that is empty, longer than 64
// characters or holds any but letters, digits, '-', '.', '_' and '~', blanks,
// another scheme.
std::optional<NetAddress> ParseNetAddress(std::string_view text);

} // namespace fw
