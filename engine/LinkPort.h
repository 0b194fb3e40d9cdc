// The link to the analyser as the update engine uses it. The link routines
// (link/LinkOperations) open it over the transport the run was configured
// with (a serial port, a USB converter or a serial device server) and
// implement this; tests may stand in for them.
#pragma once

#include "engine/RunConfig.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fw {

inline constexpr const char* kMsgLinkLost = "The connection to the analyser was lost.";

enum class LinkConnect { Ready, Connecting, Failed };
// What a connect opened, or why not.
struct LinkOpened {
    std::optional<std::string> failure; // what the failure showed; nullopt: ready
    std::int32_t analyserKind = 0;      // what the device said, as nAnalyserKind; 0: nothing
};
struct ConnectPoll {
    LinkConnect state = LinkConnect::Ready;
    std::string failure; // Failed: what the failure showed
    std::string warning; // Ready: what the connection left unconfirmed; empty when nothing
};

class ILink {
public:
    virtual ~ILink() = default;
    // Opens the connection `config` names and reports on the connection row.
    // No failure when the link is ready, still connecting (see PollConnect)
    // or the type has no link to open; the caller starts the sequence. The
    // kind the device told (a Merlane converter's) comes back with it, even
    // with a failure.
    virtual LinkOpened ConnectToAnalyser(const RunConfig& config) = 0;
    // Polled at the tick in state 1: a connect may take time (a name lookup,
    // a connect, a negotiation), and is Connecting until it is up. Failed has
    // been reported as a failed ConnectToAnalyser is, and carries what it
    // showed; Ready carries what the connection left unconfirmed.
    virtual ConnectPoll PollConnect() = 0;
    // One byte per character (its low 8 bits). True when the bytes were handed
    // to an open link.
    virtual bool SendText(const std::string& text) = 0;
    virtual bool SendBytes(const std::vector<std::uint8_t>& bytes) = 0;
    // Called at every tick, before the step's action: the link does what its
    // transport does at the tick. Whatever arrives on the link is handed over
    // as text through the arrival callback the link was made with, on a
    // receive event of its own or here.
    virtual void Poll() = 0;
    // Closes whatever the link is open over: the serial port, the device
    // server or the converter.
    virtual void CloseLink() = 0;
    // Bytes handed to the link and not yet on the line.
    virtual std::size_t PendingOutput() = 0;
    // True when the device of an open link has gone away.
    virtual bool Lost() const = 0;
    // Opens a lost link again, quietly, when its device is back.
    virtual bool Reopen() = 0;
    // The link for messages ("COM3 (/dev/ttyUSB0)") and the device behind it.
    virtual std::string Name() const = 0;
    virtual std::string Device() const = 0;
    // False when a lost link never comes back by itself.
    virtual bool Reconnects() const = 0;
};

} // namespace fw
