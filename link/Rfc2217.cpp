#include "link/Rfc2217.h"

namespace fw::telnet {

namespace {

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

bool Session::Supported(std::uint8_t option) const {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

std::vector<std::uint8_t> Session::Greeting() {
    std::vector<std::uint8_t> out;
    for (const std::uint8_t option : {kOptBinary, kOptSuppressGoAhead}) {
        Command(out, kWill, option);
        Command(out, kDo, option);
        us_[option] = him_[option] = true;
    }
    Command(out, kWill, kOptComPort);
    us_[kOptComPort] = true;
    ComPortCommand(out, kSetBaudRate,
                   {static_cast<std::uint8_t>(baud_ >> 24), static_cast<std::uint8_t>(baud_ >> 16),
                    static_cast<std::uint8_t>(baud_ >> 8), static_cast<std::uint8_t>(baud_)});
    ComPortCommand(out, kSetDataSize, {8});
    ComPortCommand(out, kSetParity, {kParityNone});
    ComPortCommand(out, kSetStopSize, {kStopBits1});
    ComPortCommand(out, kSetControl, {kControlNoFlow});
    return out;
}

// Answers only a request that changes an option's state, and refuses each
// unsupported option once, so that two sides never echo each other's answers
// back and forth. COM-PORT-OPTION is ours to perform, never the server's.
void Session::Negotiate(std::uint8_t verb, std::uint8_t option,
                        std::vector<std::uint8_t>& replies) {
    switch (verb) {
    case kDo:
        if (!us_[option] && Supported(option)) {
            us_[option] = true;
            Command(replies, kWill, option);
        } else if (!us_[option] && !refusedUs_[option]) {
            refusedUs_[option] = true;
            Command(replies, kWont, option);
        }
        break;
    case kDont:
        if (us_[option]) {
            us_[option] = false;
            Command(replies, kWont, option);
        }
        break;
    case kWill:
        if (!him_[option] && Supported(option) && option != kOptComPort) {
            him_[option] = true;
            Command(replies, kDo, option);
        } else if (!him_[option] && !refusedHim_[option]) {
            refusedHim_[option] = true;
            Command(replies, kDont, option);
        }
        break;
    case kWont:
        if (him_[option]) {
            him_[option] = false;
            Command(replies, kDont, option);
        }
        break;
    default:
        break;
    }
}

void Session::Receive(const std::uint8_t* bytes, std::size_t count, std::string& data,
                      std::vector<std::uint8_t>& replies) {
    for (std::size_t i = 0; i < count; ++i) {
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
            if (b == kIac) {
                data.push_back(static_cast<char>(b)); // an escaped data byte
                parse_ = Parse::Data;
            } else if (b >= kWill && b <= kDont) {
                verb_ = b;
                parse_ = Parse::Option;
            } else if (b == kSb) {
                parse_ = Parse::Sub;
            } else {
                parse_ = Parse::Data; // NOP, GA, BRK and the like: nothing to do
            }
            break;
        case Parse::Option:
            Negotiate(verb_, b, replies);
            parse_ = Parse::Data;
            break;
        case Parse::Sub:
            // The server's answers and notifications (line and modem state)
            // carry nothing the link needs; skipped without being kept.
            if (b == kIac) {
                parse_ = Parse::SubIac;
            }
            break;
        case Parse::SubIac:
            // IAC SE ends it; IAC IAC is a data byte inside it.
            parse_ = b == kSe ? Parse::Data : Parse::Sub;
            break;
        }
    }
}

} // namespace fw::telnet
