// The telnet side of a serial device server that speaks the COM-PORT-OPTION
// protocol (RFC 2217 over RFC 854/856): what goes out is escaped, what comes
// in is freed of telnet commands, and the server's option requests are
// answered so that the negotiation settles.
//
// The client asks for binary transmission and suppressed go-ahead both ways,
// offers COM-PORT-OPTION and sets the server's line to 38400 baud, 8 data
// bits, no parity, 1 stop bit, no flow control. Every other option is refused.
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

// COM-PORT-OPTION commands, client to server.
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kStopBits1 = 1;
inline constexpr std::uint8_t kControlNoFlow = 1;

// Doubles every IAC byte, so the server passes it on as data.
std::vector<std::uint8_t> Escape(const std::uint8_t* data, std::size_t count);

class Session {
public:
    explicit Session(std::uint32_t baud);

    // What the client sends once connected: its option requests and the line
    // settings.
    std::vector<std::uint8_t> Greeting();

    // Takes bytes as they arrive (a command may be split across calls): the
    // data among them is appended to `data`, answers to the server's option
    // requests to `replies`.
    void Receive(const std::uint8_t* bytes, std::size_t count, std::string& data,
                 std::vector<std::uint8_t>& replies);

private:
    enum class Parse { Data, Iac, Option, Sub, SubIac };
    void Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& replies);
    bool Supported(std::uint8_t option) const;

    std::uint32_t baud_;
    Parse parse_ = Parse::Data;
    std::uint8_t verb_ = 0;
    // Per option: whether this side performs it (WILL sent and not withdrawn)
    // and whether the server does (DO sent and not withdrawn).
    std::array<bool, 256> us_{};
    std::array<bool, 256> him_{};
    // Options refused once (WONT / DONT sent): a request repeated for them is
    // not answered again.
    std::array<bool, 256> refusedUs_{};
    std::array<bool, 256> refusedHim_{};
};

} // namespace fw::telnet
