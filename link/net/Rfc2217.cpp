#include "link/net/Rfc2217.h"

#include <utility>

namespace fw::telnet {

namespace {

// A refused option asked for again this often is a server that will not take
// no for an answer.
constexpr std::uint8_t kMaxInsist = 8;

void Command(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option) {
    out.insert(out.end(), {kIac, verb, option});
}

// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped.
void ComPortCommand(std::vector<std::uint8_t>& out, std::uint8_t command,
                    const std::vector<std::uint8_t>& value) {
    out.insert(out.end(), {kIac, kSb, kOptComPort, command});
    const std::vector<std::uint8_t> escaped = Escape(value.data(), value.size());
    out.insert(out.end(), escaped.begin(), escaped.end());
    out.insert(out.end(), {kIac, kSe});
}

bool Supported(std::uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

std::string OptionName(std::uint8_t option) {
    switch (option) {
    case kOptBinary:
        return "BINARY";
    case kOptComPort:
        return "COM-PORT-OPTION";
    default:
        return "option " + std::to_string(option);
    }
}

constexpr unsigned kAllConfirmed = (1U << kSetBaudRate) | (1U << kSetDataSize) |
                                   (1U << kSetParity) | (1U << kSetStopSize) | (1U << kSetControl);

} // namespace

std::vector<std::uint8_t> Escape(const std::uint8_t* data, std::size_t count) {
    std::vector<std::uint8_t> out;
    out.reserve(count + count / 64 + 1);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac) {
            out.push_back(kIac);
        }
    }
    return out;
}

Session::Session(std::uint32_t baud) : baud_(baud) {
}

std::vector<std::uint8_t> Session::Greeting() {
    std::vector<std::uint8_t> out;
    for (const std::uint8_t option : {kOptBinary, kOptSuppressGoAhead}) {
        Command(out, kWill, option);
        Command(out, kDo, option);
        us_.asked[option] = him_.asked[option] = true;
    }
    Command(out, kWill, kOptComPort);
    us_.asked[kOptComPort] = true;
    return out;
}

void Session::Fail(std::string why) {
    if (phase_ != Phase::Failed) {
        phase_ = Phase::Failed;
        failure_ = std::move(why);
    }
}

// Ready once binary transmission runs both ways and the server has confirmed
// every line setting.
void Session::Settle() {
    if (phase_ == Phase::Negotiating && us_.on[kOptBinary] && him_.on[kOptBinary] && comPort_ &&
        confirmed_ == kAllConfirmed) {
        phase_ = Phase::Ready;
    }
}

void Session::Expire() {
    if (phase_ != Phase::Negotiating) {
        return;
    }
    if (!comPort_) {
        warning_ = "did not agree to COM-PORT-OPTION within 1 s; the line settings were not sent";
    } else if (confirmed_ != kAllConfirmed) {
        warning_ = "did not confirm the line settings within 1 s";
    } else {
        warning_ = "did not answer the request for binary transmission within 1 s";
    }
    phase_ = Phase::Ready;
}

void Session::ComPortAgreed(std::vector<std::uint8_t>& replies) {
    if (comPort_) {
        return;
    }
    comPort_ = true;
    ComPortCommand(replies, kSetBaudRate,
                   {static_cast<std::uint8_t>(baud_ >> 24), static_cast<std::uint8_t>(baud_ >> 16),
                    static_cast<std::uint8_t>(baud_ >> 8), static_cast<std::uint8_t>(baud_)});
    ComPortCommand(replies, kSetDataSize, {8});
    ComPortCommand(replies, kSetParity, {kParityNone});
    ComPortCommand(replies, kSetStopSize, {kStopBits1});
    ComPortCommand(replies, kSetControl, {kControlNoFlow});
}

// Answers a request only when it changes an option's state, so that the two
// sides never echo each other's answers; an unsupported option is refused once.
// Binary transmission and COM-PORT-OPTION refused or withdrawn end the session.
void Session::Negotiate(std::uint8_t verb, std::uint8_t option,
                        std::vector<std::uint8_t>& replies) {
    switch (verb) {
    case kDo:
        if (Requested(us_, option, "asking for", replies) && option == kOptComPort) {
            ComPortAgreed(replies);
        }
        break;
    case kDont:
        if ((option == kOptBinary || option == kOptComPort) &&
            (us_.asked[option] || us_.on[option])) {
            Fail(option == kOptBinary ? "refused binary transmission (DONT BINARY)"
                                      : "refused COM-PORT-OPTION (DONT COM-PORT-OPTION)");
        } else {
            Withdrawn(us_, option, replies);
        }
        break;
    case kWill:
        // A server that offers COM-PORT-OPTION itself agrees to it as well.
        if (Requested(him_, option, "offering", replies) && option == kOptComPort) {
            ComPortAgreed(replies);
        }
        break;
    case kWont:
        if (option == kOptBinary && (him_.asked[option] || him_.on[option])) {
            Fail("refused binary transmission (WONT BINARY)");
        } else {
            Withdrawn(him_, option, replies);
        }
        break;
    default:
        break;
    }
}

bool Session::Requested(Direction& side, std::uint8_t option, const char* asking,
                        std::vector<std::uint8_t>& replies) {
    if (side.asked[option]) {
        side.asked[option] = false;
        side.on[option] = true;
        return true;
    }
    if (side.on[option]) {
        return false;
    }
    if (Supported(option)) {
        side.on[option] = true;
        Command(replies, side.agree, option);
        return true;
    }
    if (!side.refused[option]) {
        side.refused[option] = true;
        Command(replies, side.refuse, option);
    } else if (++insisted_[option] > kMaxInsist) {
        Fail(std::string("keeps ") + asking + " " + OptionName(option) + " after it was refused");
    }
    return false;
}

void Session::Withdrawn(Direction& side, std::uint8_t option, std::vector<std::uint8_t>& replies) {
    if (side.asked[option]) {
        side.asked[option] = false;
    } else if (side.on[option]) {
        side.on[option] = false;
        Command(replies, side.refuse, option);
    }
}

// The server's answers to the line settings must be the values sent; its
// flow control notifications stop and restart what the client sends.
void Session::Subnegotiation() {
    if (sub_.size() < 2 || sub_[0] != kOptComPort || !comPort_) {
        return;
    }
    const std::uint8_t command = sub_[1];
    const std::vector<std::uint8_t> value(sub_.begin() + 2, sub_.end());
    if (command == kServerOffset + kFlowSuspend) {
        suspended_ = true;
        return;
    }
    if (command == kServerOffset + kFlowResume) {
        suspended_ = false;
        return;
    }
    if (command < kServerOffset + kSetBaudRate || command > kServerOffset + kSetControl) {
        return; // line and modem state notifications: nothing the link needs
    }
    const std::uint8_t setting = command - kServerOffset;
    struct Expected {
        std::uint32_t value;
        const char* unit;
    };
    const Expected expected[] = {{},
                                 {baud_, " baud"},
                                 {8, " data bits"},
                                 {kParityNone, " (parity; 1 is none)"},
                                 {kStopBits1, " (stop size; 1 is one stop bit)"},
                                 {kControlNoFlow, " (flow control; 1 is none)"}};
    const std::size_t size = setting == kSetBaudRate ? 4 : 1;
    if (value.size() != size) {
        Fail("sent a malformed answer to COM-PORT-OPTION command " + std::to_string(setting));
        return;
    }
    std::uint32_t got = 0;
    for (const std::uint8_t b : value) {
        got = got << 8 | b;
    }
    const Expected& want = expected[setting];
    if (got != want.value) {
        Fail("confirmed " + std::to_string(got) + want.unit + " instead of " +
             std::to_string(want.value));
        return;
    }
    confirmed_ |= 1U << setting;
}

void Session::Receive(const std::uint8_t* bytes, std::size_t count, std::string& data,
                      std::vector<std::uint8_t>& replies) {
    const std::size_t before = replies.size();
    for (std::size_t i = 0; i < count && phase_ != Phase::Failed; ++i) {
        const std::uint8_t b = bytes[i];
        switch (parse_) {
        case Parse::Data:
            if (b == kIac) {
                parse_ = Parse::Iac;
            } else {
                data.push_back(static_cast<char>(b));
            }
            break;
        case Parse::Iac:
            parse_ = Parse::Data;
            if (b == kIac) {
                data.push_back(static_cast<char>(b)); // an escaped data byte
            } else if (b >= kWill && b <= kDont) {
                verb_ = b;
                parse_ = Parse::Option;
            } else if (b == kSb) {
                sub_.clear();
                parse_ = Parse::Sub;
            } else if (b <= kSe) {
                Fail("sent a telnet command that does not exist (IAC " + std::to_string(b) + ")");
            } // NOP, GA, BRK and the like: nothing to do
            break;
        case Parse::Option:
            Negotiate(verb_, b, replies);
            parse_ = Parse::Data;
            break;
        case Parse::Sub:
            if (b == kIac) {
                parse_ = Parse::SubIac;
            } else {
                sub_.push_back(b);
            }
            break;
        case Parse::SubIac:
            parse_ = Parse::Sub;
            if (b == kSe) {
                Subnegotiation();
                parse_ = Parse::Data;
            } else if (b == kIac) {
                sub_.push_back(b); // an escaped 0xFF inside it
            } else {
                Fail("sent IAC " + std::to_string(b) + " inside a subnegotiation");
            }
            break;
        }
        if (sub_.size() > kMaxSubnegotiation) {
            Fail("sent a subnegotiation longer than " + std::to_string(kMaxSubnegotiation) +
                 " bytes");
        }
    }
    owed_ += replies.size() - before;
    if (owed_ > kMaxRepliesOwed) {
        Fail("keeps renegotiating (more than " + std::to_string(kMaxRepliesOwed) +
             " bytes of answers asked for)");
    }
    if (phase_ == Phase::Failed) {
        replies.resize(before);
    }
    Settle();
}

} // namespace fw::telnet
