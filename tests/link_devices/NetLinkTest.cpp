// The serial device server's address and its telnet side (RFC 2217), without
// a network: what the link sends and what it makes of what it receives.
#include "link/net/NetAddress.h"
#include "link/net/Rfc2217.h"

#include <gtest/gtest.h>

namespace fw {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(NetAddress, ParsesWhatTheAddressBoxMayHold) {
    struct Case {
        const char* text;
        const char* host;
        int port;
        bool rfc2217;
    };
    const Case cases[] = {
        {"127.0.0.1:2000", "127.0.0.1", 2000, false},
        {"lab-server_3.example:4001", "lab-server_3.example", 4001, false},
        {"[::1]:2000", "::1", 2000, false},
        {"[fe80::1%eth0]:65535", "fe80::1%eth0", 65535, false},
        // A zone is 1 to 64 of the characters a URI leaves unescaped.
        {"[fe80::1%Az-0._~]:80", "fe80::1%Az-0._~", 80, false},
        {"[fe80::1%2]:80", "fe80::1%2", 80, false},
        {"rfc2217://10.0.0.5:7000", "10.0.0.5", 7000, true},
        {"RFC2217://[::1]:1", "::1", 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<NetAddress> a = ParseNetAddress(c.text);
        ASSERT_TRUE(a.has_value());
        EXPECT_EQ(a->host, c.host);
        EXPECT_EQ(a->port, c.port);
        EXPECT_EQ(a->rfc2217, c.rfc2217);
        // Written back as it would be typed (without the scheme).
        EXPECT_EQ(ParseNetAddress((c.rfc2217 ? "rfc2217://" : "") + a->HostPort()), a);
    }
    // The page's default (no port), ports out of range or not plain digits,
    // IPv6 without its brackets or without ':' after them, other schemes; a
    // zone that is empty, too long or holds other characters.
    const std::string zone64(64, 'z');
    EXPECT_TRUE(ParseNetAddress("[fe80::1%" + zone64 + "]:80"));
    EXPECT_EQ(ParseNetAddress("[fe80::1%" + zone64 + "z]:80"), std::nullopt);
    // clang-format off
    for (const char* bad :
         {"192.168.0.1", "host:", ":2000", "host:0", "host:65536", "host:20a0", "host:+200",
          "::1:2000", "[::1]2000", "[::1]x2000", "rfc2217://[::1]x2000", "[host]:2000",
          " host:2000", "telnet://host:23", "rfc2217://", "", "[::1% x]:80", "[::1%]:80",
          "[::1%eth0%1]:80", "[::1%eth/0]:80", "[::1%a:b]:80", "[::1%eth0\n]:80", "[%eth0]:80"}) {
        EXPECT_EQ(ParseNetAddress(bad), std::nullopt) << bad;
    }
    // clang-format on
}

TEST(Rfc2217, GreetingOffersBinarySgaAndComPortButSetsNothingYet) {
    telnet::Session s(38400);
    const Bytes expected{
        255, 251, 0,  255, 253, 0, // WILL, DO BINARY
        255, 251, 3,  255, 253, 3, // WILL, DO SUPPRESS-GO-AHEAD
        255, 251, 44,              // WILL COM-PORT-OPTION
    };
    EXPECT_EQ(s.Greeting(), expected);
    EXPECT_EQ(s.State(), telnet::Session::Phase::Negotiating);
}

// The line settings, sent once the server agrees to COM-PORT-OPTION.
const Bytes kLineSettings{
    255, 250, 44, 1, 0, 0,   0x96, 0x00, 255, 240, // SET-BAUDRATE 38400
    255, 250, 44, 2, 8, 255, 240,                  // SET-DATASIZE 8
    255, 250, 44, 3, 1, 255, 240,                  // SET-PARITY NONE
    255, 250, 44, 4, 1, 255, 240,                  // SET-STOPSIZE 1
    255, 250, 44, 5, 1, 255, 240,                  // SET-CONTROL no flow control
};
// A server that grants everything asked for and confirms the line settings.
const Bytes kAgree{255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3, 255, 253, 44};
const Bytes kConfirm{255, 250, 44,  101, 0,   0,   0x96, 0,   255, 240, 255, 250, 44,
                     102, 8,   255, 240, 255, 250, 44,   103, 1,   255, 240, 255, 250,
                     44,  104, 1,   255, 240, 255, 250,  44,  105, 1,   255, 240};

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// What arrives, in pieces cut anywhere, gives the same data, answers and
// verdict: the line settings only after COM-PORT-OPTION is agreed, the
// server's answers checked, refusals and protocol errors fatal.
TEST(Rfc2217, FollowsTheNegotiationWhereverTheReadsAreCut) {
    using Phase = telnet::Session::Phase;
    struct Case {
        const char* name;
        Bytes in;
        std::string data;
        Bytes replies;
        Phase phase;
        const char* failure; // the start of Failure()
    };
    const Bytes subTooLong = Join({{255, 250, 44, 107}, Bytes(300, 'x')});
    Bytes insisting;
    for (int i = 0; i < 10; ++i)
        insisting.insert(insisting.end(), {255, 253, 24});
    Bytes toggling = kAgree;
    for (int i = 0; i < 3000; ++i)
        toggling.insert(toggling.end(), {255, 252, 3, 255, 251, 3});
    // clang-format off
    const Case cases[] = {
        {"plain data", {'O', 'K', 13, 10}, "OK\r\n", {}, Phase::Negotiating, ""},
        {"IAC IAC is one 0xFF", {'a', 255, 255, 'b'}, "a\xFF" "b", {}, Phase::Negotiating, ""},
        {"granted and confirmed: ready", Join({kAgree, kConfirm}), "", kLineSettings, Phase::Ready,
         ""},
        {"a server that offers COM-PORT-OPTION itself agrees to it", {255, 251, 44}, "",
         Join({{255, 253, 44}, kLineSettings}), Phase::Negotiating, ""},
        {"a confirmation with IAC IAC inside, between data",
         Join({{'<'}, kAgree, {255, 250, 44, 101, 0, 0, 255, 255, 255, 255, 255, 240, '>'}}),
         "<", // nothing is taken after a failure
         kLineSettings, Phase::Failed, "confirmed 65535 baud instead of 38400"},
        {"9600 confirmed instead of 38400",
         Join({kAgree, {255, 250, 44, 101, 0, 0, 0x25, 0x80, 255, 240}}), "", kLineSettings,
         Phase::Failed, "confirmed 9600 baud instead of 38400"},
        {"7 data bits", Join({kAgree, {255, 250, 44, 102, 7, 255, 240}}), "", kLineSettings,
         Phase::Failed, "confirmed 7 data bits instead of 8"},
        {"COM-PORT-OPTION refused", {255, 254, 44}, "", {}, Phase::Failed,
         "refused COM-PORT-OPTION"},
        {"BINARY refused", {255, 253, 44, 255, 254, 0}, "", kLineSettings, Phase::Failed,
         "refused binary transmission (DONT BINARY)"},
        {"BINARY withdrawn after it was granted", Join({kAgree, kConfirm, {255, 252, 0}}), "",
         kLineSettings, Phase::Failed, "refused binary transmission (WONT BINARY)"},
        {"notifications, NOP and GA are dropped",
         {255, 250, 44, 107, 0x30, 255, 240, 255, 241, 'z', 255, 249}, "z", {}, Phase::Negotiating,
         ""},
        {"ECHO and TERMINAL-TYPE refused once each",
         {255, 251, 1, 255, 251, 1, 255, 253, 24, 255, 253, 24}, "", {255, 254, 1, 255, 252, 24},
         Phase::Negotiating, ""},
        {"a refused option asked for again and again", insisting, "", {255, 252, 24}, Phase::Failed,
         "keeps asking for option 24"},
        {"SGA toggled for ever: what is owed stays bounded", toggling, "", {}, Phase::Failed,
         "keeps renegotiating"},
        {"SB without SE", subTooLong, "", {}, Phase::Failed,
         "sent a subnegotiation longer than 256 bytes"},
        {"a command that does not exist", {'a', 255, 17, 'b'}, "a", {}, Phase::Failed,
         "sent a telnet command that does not exist (IAC 17)"},
    };
    // clang-format on
    for (const Case& c : cases) {
        for (const std::size_t cut :
             {std::size_t{1}, std::size_t{2}, std::size_t{7}, c.in.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(cut));
            telnet::Session s(38400);
            s.Greeting();
            std::string data;
            Bytes replies;
            for (std::size_t at = 0; at < c.in.size(); at += cut)
                s.Receive(c.in.data() + at, std::min(cut, c.in.size() - at), data, replies);
            EXPECT_EQ(data, c.data);
            // A failing piece's own answers are not given; earlier ones were.
            const std::size_t n = c.phase == Phase::Failed
                                      ? std::min(replies.size(), c.replies.size())
                                      : replies.size();
            EXPECT_EQ(Bytes(replies.begin(), replies.begin() + static_cast<long>(n)),
                      Bytes(c.replies.begin(),
                            c.replies.begin() + static_cast<long>(std::min(n, c.replies.size()))));
            EXPECT_EQ(replies.size() >= c.replies.size() || c.phase == Phase::Failed, true);
            EXPECT_LE(replies.size(), telnet::kMaxRepliesOwed);
            EXPECT_EQ(s.State(), c.phase);
            EXPECT_EQ(s.Failure().rfind(c.failure, 0), 0u) << s.Failure();
        }
    }
}

} // namespace
} // namespace fw
