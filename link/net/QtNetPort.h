// The connection to a serial device server over a QTcpSocket, raw or with
// the telnet COM-PORT-OPTION protocol. It never waits: the name lookup, the
// connect (each address of the name in turn) and the telnet negotiation run
// on the event loop, within one bound, while the window and the command
// line's signals go on being served.
//
// Over the network every record leaves at once (no Nagle delay), the bytes
// queued in the socket and in the kernel's send queue count as not yet on the
// line, and at most kReadBufferBytes of received data is buffered, as on the
// serial port. A connection the server closes or that fails, and a telnet
// server that breaks the protocol, are reported as lost.
#pragma once

#include "link/net/NetPort.h"
#include "link/net/Rfc2217.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QTcpSocket>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fw {

// Looks `host` up and calls `done` once with its addresses (none, and why,
// when it has none). A result that comes after `context` is gone is dropped.
using NetResolver = std::function<void(
    const QString& host, QObject* context,
    std::function<void(const QList<QHostAddress>& addresses, const QString& error)> done)>;

// The system's resolver (QHostInfo::lookupHost), which does not block the
// caller.
NetResolver SystemResolver();

// The system's name lookups run on threads of their own, which Qt waits for
// when the program ends: one that gets no answer (a name server that never
// replies) would hold the exit for as long as the resolver's own time-outs,
// long after the run has ended and is on record. How many are still out, and
// an exit with `code` that does not wait for them when there are some (the
// output is flushed first; when none are out, it returns and the program
// ends as usual).
int LookupsInFlight();
void ExitWithoutWaitingForLookups(int code);

class QtNetPort : public INetPort {
public:
    explicit QtNetPort(NetResolver resolver = SystemResolver());
    ~QtNetPort() override;
    QtNetPort(const QtNetPort&) = delete;
    QtNetPort& operator=(const QtNetPort&) = delete;

    CommError OpenAddress(const NetAddress& address, int timeoutMs) override;
    NetOpening Opening() const override;

    void Close() override;
    bool IsOpen() const override;
    void Send(const std::uint8_t* data, std::size_t count) override;
    std::size_t Unsent() const override;
    bool HasInput() const override { return !in_.empty(); }
    std::string ReadAll() override;
    void SetOnArrival(std::function<void()> handler) override;
    bool Lost() const override;
    std::string DeviceName() const override { return address_; }

private:
    enum class Phase { Idle, Resolving, Connecting, Negotiating, Open, Failed };

    void Resolved(const QList<QHostAddress>& addresses, const QString& error);
    void TryNext();
    void Connected();
    void FailOpen(const std::string& why, bool refused = false);
    void TelnetSettled();
    void Pump();
    void OnReadyRead();
    void OnError(QAbstractSocket::SocketError error);
    void OnGone();
    void Flush();
    std::string NoAnswer() const;

    NetResolver resolver_;
    QTcpSocket socket_;
    QTimer attemptTimer_; // one address's share of the connect's bound
    QTimer boundTimer_;   // the whole lookup and connect
    QTimer answerTimer_;  // the telnet server's answers
    QDeadlineTimer deadline_;
    int timeoutMs_ = 0;
    unsigned attempt_ = 0; // stale lookups and queued retries are told apart by it
    QList<QHostAddress> addresses_;
    qsizetype nextAddress_ = 0;
    std::uint16_t port_ = 0;
    std::string lastError_;

    Phase phase_ = Phase::Idle;
    bool netLost_ = false;                    // the open link has gone
    std::string note_;                        // why it failed, or a warning
    bool refused_ = false;                    // the telnet server refused the line
    std::string address_;                     // as given, for messages
    std::unique_ptr<telnet::Session> telnet_; // null: a raw byte stream
    std::vector<std::uint8_t> held_;          // escaped, not sent while suspended
    std::string in_;                          // received data not yet taken
    std::function<void()> onArrival_;
};

} // namespace fw
