// Arbitrary bytes from a device server, in arbitrary pieces, through the
// telnet session: it never hands out more data bytes than it was fed, never
// owes the server more than kMaxRepliesOwed bytes of answers, takes nothing
// once failed, and passes bytes without IAC through unchanged, whenever the
// time for the server's answers runs out. Whatever the
// client escapes comes out of a fresh session as it went in.
#include "link/net/Rfc2217.h"
#include "tests/fuzz/Require.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    using fw::telnet::Session;
    FuzzedDataProvider in(bytes, size);
    Session session(38400);
    session.Greeting(); // the client's offers, which the server's answers follow
    std::size_t fed = 0;
    std::size_t owed = 0;
    std::string data;
    bool sawIac = false;
    std::string plain; // what was fed while no IAC had come
    while (in.remaining_bytes() > 0) {
        if (in.ConsumeBool()) {
            session.Expire(); // the time for the server's answers may run out anywhere
        }
        const std::vector<std::uint8_t> piece =
            in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 300));
        const bool failedBefore = session.State() == Session::Phase::Failed;
        const std::size_t dataBefore = data.size();
        std::vector<std::uint8_t> replies;
        session.Receive(piece.data(), piece.size(), data, replies);
        fed += piece.size();
        owed += replies.size();
        Require(data.size() <= fed);
        Require(owed <= fw::telnet::kMaxRepliesOwed);
        if (failedBefore) {
            Require(data.size() == dataBefore && replies.empty());
        }
        for (const std::uint8_t b : piece) {
            sawIac = sawIac || b == fw::telnet::kIac;
            if (!sawIac) {
                plain.push_back(static_cast<char>(b));
            }
        }
        if (!sawIac) {
            Require(data == plain);
        }
    }

    // The client's own escaping, read back by a fresh session in one piece.
    const std::vector<std::uint8_t> escaped = fw::telnet::Escape(bytes, size);
    Session fresh(38400);
    std::string back;
    std::vector<std::uint8_t> replies;
    fresh.Receive(escaped.data(), escaped.size(), back, replies);
    Require(back == std::string(reinterpret_cast<const char*>(bytes), size));
    Require(replies.empty() && fresh.State() != Session::Phase::Failed);
    return 0;
}
