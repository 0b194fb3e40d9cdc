// The serial device server's address and its telnet side (RFC 2217), without
// a network: what the link sends and what it makes of what it receives.
#include "link/NetAddress.h"
#include "link/Rfc2217.h"

#include <gtest/gtest.h>

namespace fw {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(NetAddress, ParsesWhatTheAddressBoxMayHold) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
        bool rfc2217;
    };
    const Case cases[] = {
        {"127.0.0.1:2000", true, "127.0.0.1", 2000, false},
        {"lab-server_3.example:4001", true, "lab-server_3.example", 4001, false},
        {"[::1]:2000", true, "::1", 2000, false},
        {"[fe80::1%eth0]:65535", true, "fe80::1%eth0", 65535, false},
        {"rfc2217://10.0.0.5:7000", true, "10.0.0.5", 7000, true},
        {"RFC2217://[::1]:1", true, "::1", 1, true},
        {"192.168.0.1", false, "", 0, false}, // the page's default: no port
        {"host:", false, "", 0, false},
        {":2000", false, "", 0, false},
        {"host:0", false, "", 0, false},
        {"host:65536", false, "", 0, false},
        {"host:20a0", false, "", 0, false},
        {"host:+200", false, "", 0, false},
        {"::1:2000", false, "", 0, false}, // IPv6 needs its brackets
        {"[::1]2000", false, "", 0, false},
        {"[host]:2000", false, "", 0, false},
        {" host:2000", false, "", 0, false},
        {"telnet://host:23", false, "", 0, false},
        {"rfc2217://", false, "", 0, false},
        {"", false, "", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<NetAddress> a = ParseNetAddress(c.text);
        ASSERT_EQ(a.has_value(), c.ok);
        if (a) {
            EXPECT_EQ(a->host, c.host);
            EXPECT_EQ(a->port, c.port);
            EXPECT_EQ(a->rfc2217, c.rfc2217);
            // Written back as it would be typed (without the scheme).
            EXPECT_EQ(ParseNetAddress((c.rfc2217 ? "rfc2217://" : "") + a->HostPort()), a);
        }
    }
}

TEST(Rfc2217, EscapesEveryIacItSends) {
    const Bytes record{0x02, 0xFF, 0x00, 0xFF, 0xFF, 0x0D};
    EXPECT_EQ(telnet::Escape(record.data(), record.size()),
              (Bytes{0x02, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0D}));
}

TEST(Rfc2217, GreetingAsksForBinaryAndSetsTheLineTo38400_8N1WithoutFlowControl) {
    telnet::Session s(38400);
    const Bytes expected{
        255, 251, 0,  255, 253, 0,                         // WILL, DO BINARY
        255, 251, 3,  255, 253, 3,                         // WILL, DO SUPPRESS-GO-AHEAD
        255, 251, 44,                                      // WILL COM-PORT-OPTION
        255, 250, 44, 1,   0,   0,   0x96, 0x00, 255, 240, // SET-BAUDRATE 38400
        255, 250, 44, 2,   8,   255, 240,                  // SET-DATASIZE 8
        255, 250, 44, 3,   1,   255, 240,                  // SET-PARITY NONE
        255, 250, 44, 4,   1,   255, 240,                  // SET-STOPSIZE 1
        255, 250, 44, 5,   1,   255, 240,                  // SET-CONTROL no flow control
    };
    EXPECT_EQ(s.Greeting(), expected);
}

// What arrives, in pieces cut anywhere, gives the same data and the same
// answers; the answers settle the negotiation (a request already granted or
// refused is not answered again).
TEST(Rfc2217, StripsCommandsAndAnswersRequestsWhereverTheReadsAreCut) {
    struct Case {
        const char* name;
        Bytes in;
        std::string data;
        Bytes replies;
    };
    const Case cases[] = {
        {"plain data", {'O', 'K', 13, 10}, "OK\r\n", {}},
        {"IAC IAC is one 0xFF",
         {'a', 255, 255, 'b'},
         "a\xFF"
         "b",
         {}},
        {"what we asked for, granted: no answer",
         {255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3, 255, 253, 44, 'x'},
         "x",
         {}},
        {"a subnegotiation with IAC IAC and IAC SE inside is dropped",
         {'<', 255, 250, 44, 101, 0, 0, 255, 255, 0, 255, 240, '>'},
         "<>",
         {}},
        {"notifications, NOP and GA are dropped",
         {255, 250, 44, 107, 0x30, 255, 240, 255, 241, 'z', 255, 249},
         "z",
         {}},
        {"ECHO and others refused once each",
         {255, 251, 1, 255, 251, 1, 255, 253, 24, 255, 253, 24, 255, 251, 44},
         "",
         {255, 254, 1, 255, 252, 24, 255, 254, 44}},
        {"withdrawn options are acknowledged once",
         {255, 254, 0, 255, 254, 0, 255, 252, 3, 255, 252, 3, 'q'},
         "q",
         {255, 252, 0, 255, 254, 3}},
        {"an option withdrawn and asked for again is granted again",
         {255, 254, 0, 255, 253, 0},
         "",
         {255, 252, 0, 255, 251, 0}},
    };
    for (const Case& c : cases) {
        for (std::size_t cut = 1; cut <= c.in.size(); ++cut) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(cut));
            telnet::Session s(38400);
            s.Greeting();
            std::string data;
            Bytes replies;
            for (std::size_t at = 0; at < c.in.size(); at += cut)
                s.Receive(c.in.data() + at, std::min(cut, c.in.size() - at), data, replies);
            EXPECT_EQ(data, c.data);
            EXPECT_EQ(replies, c.replies);
        }
    }
}

} // namespace
} // namespace fw
