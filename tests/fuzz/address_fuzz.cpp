// Arbitrary text as a device server's address: what the parser accepts is
// written back (HostPort, with the scheme) to text that parses to the same
// address, and its host is something a resolver can be handed: printable,
// without blanks, brackets, slashes or '@', and at most one '%' (an IPv6
// zone, which is 1 to 64 characters a URI leaves unescaped).
#include "link/net/NetAddress.h"
#include "tests/fuzz/Require.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool Unreserved(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    const std::optional<fw::NetAddress> address = fw::ParseNetAddress(text);
    if (!address) {
        return 0;
    }
    Require(address->port >= 1 && !address->host.empty());
    const std::string written = (address->rfc2217 ? "rfc2217://" : "") + address->HostPort();
    Require(fw::ParseNetAddress(written) == address);
    const std::string& host = address->host;
    for (const char c : host) {
        Require(c > ' ' && c < 0x7F && c != '[' && c != ']' && c != '/' && c != '@');
    }
    const std::size_t percent = host.find('%');
    if (percent != std::string::npos) {
        const std::string_view zone = std::string_view(host).substr(percent + 1);
        Require(host.find(':') < percent && !zone.empty() && zone.size() <= 64);
        for (const char c : zone) {
            Require(Unreserved(c));
        }
    }
    return 0;
}
