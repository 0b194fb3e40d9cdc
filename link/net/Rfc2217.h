// The telnet side of a serial device server that speaks the COM-PORT-OPTION
// protocol (RFC 2217 over RFC 854/855/856): what goes out is escaped, what
// comes in is freed of telnet commands, and the negotiation is followed until
// the server's line is known to be right.
//
// The client offers binary transmission and suppressed go-ahead both ways and
// COM-PORT-OPTION. Only once the server has agreed to COM-PORT-OPTION does it
// send the line settings (38400 baud, 8 data bits, no parity, 1 stop bit, no
// flow control), and it checks each of the server's answers. A server that
// refuses binary transmission or COM-PORT-OPTION, or confirms other line
// settings, fails the session: the data could reach the analyser changed.
// Every other option is refused, once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fw::telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kOptBinary = 0;
inline constexpr std::uint8_t kOptSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands, client to server; the server's answers and
// notifications are these plus kServerOffset.
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kFlowSuspend = 8;
inline constexpr std::uint8_t kFlowResume = 9;
inline constexpr std::uint8_t kServerOffset = 100;
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kStopBits1 = 1;
inline constexpr std::uint8_t kControlNoFlow = 1;

// The longest subnegotiation taken from a server; a longer one is a protocol
// error rather than something to buffer.
inline constexpr std::size_t kMaxSubnegotiation = 256;
// All the answers a sound negotiation needs fit many times into this; a
// server that draws more keeps renegotiating.
inline constexpr std::size_t kMaxRepliesOwed = 4096;

// Doubles every IAC byte, so the server passes it on as data.
std::vector<std::uint8_t> Escape(const std::uint8_t* data, std::size_t count);

class Session {
public:
    enum class Phase { Negotiating, Ready, Failed };

    explicit Session(std::uint32_t baud);

    // What the client sends once connected: its option offers.
    std::vector<std::uint8_t> Greeting();

    // Takes bytes as they arrive (a command may be split across calls): the
    // data among them is appended to `data`, what the client owes the server
    // (answers, and the line settings once COM-PORT-OPTION is agreed) to
    // `replies`. Once failed, nothing more is taken.
    void Receive(const std::uint8_t* bytes, std::size_t count, std::string& data,
                 std::vector<std::uint8_t>& replies);

    // The time for the server's answers is over: a session still negotiating
    // goes on without them, and Warning() says what was not confirmed.
    void Expire();

    Phase State() const { return phase_; }
    // What the server did wrong (Failed) or left unconfirmed (Ready), for
    // messages: "refused binary transmission (DONT BINARY)".
    const std::string& Failure() const { return failure_; }
    const std::string& Warning() const { return warning_; }
    // The server asked the client to stop sending (FLOWCONTROL-SUSPEND) and
    // has not resumed yet.
    bool Suspended() const { return suspended_; }

private:
    enum class Parse { Data, Iac, Option, Sub, SubIac };
    // One direction of the options: this side performing them (the server asks
    // with DO and DONT, the client answers WILL or WONT) or the server (WILL and
    // WONT, answered DO or DONT).
    struct Direction {
        std::uint8_t agree;              // the client's yes: WILL, DO
        std::uint8_t refuse;             // the client's no: WONT, DONT
        std::array<bool, 256> on{};      // agreed
        std::array<bool, 256> asked{};   // a request of ours still unanswered
        std::array<bool, 256> refused{}; // refused once (WONT / DONT sent)
    };

    void Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& replies);
    // The server asks for `option` in `side` (DO, WILL): true when that turns
    // it on. `asking` names the request for the failure of a server that asks
    // again and again after a refusal.
    bool Requested(Direction& side, std::uint8_t option, const char* asking,
                   std::vector<std::uint8_t>& replies);
    // The server refuses or withdraws `option` in `side` (DONT, WONT).
    void Withdrawn(Direction& side, std::uint8_t option, std::vector<std::uint8_t>& replies);
    void ComPortAgreed(std::vector<std::uint8_t>& replies);
    void Subnegotiation();
    void Fail(std::string why);
    void Settle();

    std::uint32_t baud_;
    Phase phase_ = Phase::Negotiating;
    Parse parse_ = Parse::Data;
    std::uint8_t verb_ = 0;
    std::vector<std::uint8_t> sub_;
    Direction us_{kWill, kWont};
    Direction him_{kDo, kDont};
    // How often the server asked again for an option refused.
    std::array<std::uint8_t, 256> insisted_{};
    bool comPort_ = false;
    unsigned confirmed_ = 0; // bit n: the answer to command n came and matched
    bool suspended_ = false;
    std::size_t owed_ = 0; // answers given so far, in bytes
    std::string failure_;
    std::string warning_;
};

} // namespace fw::telnet
