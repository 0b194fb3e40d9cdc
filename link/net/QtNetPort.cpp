#include "link/net/QtNetPort.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QPointer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#ifdef __linux__
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>
#elif defined(_WIN32)
#include "link/net/WinSendQueue.h"
#endif

namespace fw {
namespace {

// As for the serial port: how long closing waits for what is still queued
// (the sequencer closes right after its final command).
constexpr int kCloseDrainMs = 1000;
constexpr std::size_t kReadChunk = 4096;
constexpr std::uint32_t kLineBaud = 38400;

} // namespace

// The read buffer is capped as on the serial port: what the engine has not
// taken waits in the kernel.
constexpr qint64 kReadBufferBytes = 16 * 1024;

namespace {

// Name lookups asked of the system and not yet answered.
int gLookupsInFlight = 0;

} // namespace

// What a connect that found no free file handle says.
constexpr const char* kMsgNoHandles = "no file handle left for the connection: too many open files";

NetResolver SystemResolver() {
    return [](const QString& host, QObject* context,
              std::function<void(const QList<QHostAddress>&, const QString&)> done) {
        // The answer comes to the application, so that every lookup is
        // counted out again, also one whose port has gone meanwhile.
        ++gLookupsInFlight;
        QHostInfo::lookupHost(
            host, QCoreApplication::instance(),
            [alive = QPointer<QObject>(context), done = std::move(done)](const QHostInfo& info) {
                --gLookupsInFlight;
                if (alive) {
                    done(info.addresses(),
                         info.error() == QHostInfo::NoError ? QString() : info.errorString());
                }
            });
    };
}

int LookupsInFlight() {
    return gLookupsInFlight;
}

void ExitWithoutWaitingForLookups(int code) {
    if (gLookupsInFlight > 0) {
        std::fflush(nullptr);
        std::_Exit(code);
    }
}

QtNetPort::QtNetPort(NetResolver resolver) : resolver_(std::move(resolver)) {
    socket_.setReadBufferSize(kReadBufferBytes);
    for (QTimer* timer : {&attemptTimer_, &boundTimer_, &answerTimer_}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer); // the bounds are promised to the user
    }
    QObject::connect(&attemptTimer_, &QTimer::timeout, &socket_, [this] {
        lastError_ = NoAnswer();
        socket_.abort();
        TryNext();
    });
    QObject::connect(&boundTimer_, &QTimer::timeout, &socket_, [this] {
        if (phase_ == Phase::Resolving || phase_ == Phase::Connecting) {
            FailOpen(NoAnswer());
        }
    });
    QObject::connect(&answerTimer_, &QTimer::timeout, &socket_, [this] {
        if (phase_ == Phase::Negotiating && telnet_) {
            telnet_->Expire();
            TelnetSettled();
        }
    });
    QObject::connect(&socket_, &QTcpSocket::connected, &socket_, [this] { Connected(); });
    QObject::connect(&socket_, &QTcpSocket::readyRead, &socket_, [this] { OnReadyRead(); });
    QObject::connect(&socket_, &QTcpSocket::disconnected, &socket_, [this] { OnGone(); });
    QObject::connect(&socket_, &QTcpSocket::errorOccurred, &socket_,
                     [this](QAbstractSocket::SocketError error) { OnError(error); });
}

QtNetPort::~QtNetPort() {
    QtNetPort::Close();
}

std::string QtNetPort::NoAnswer() const {
    return "no answer within " + std::to_string(timeoutMs_ / 1000) + " s";
}

CommError QtNetPort::OpenAddress(const NetAddress& address, int timeoutMs) {
    if (phase_ != Phase::Idle && phase_ != Phase::Failed) {
        return {kCommErrPortInUse, "Port already open"};
    }
    Close();
    address_ = (address.rfc2217 ? "rfc2217://" : "") + address.HostPort();
    if (address.rfc2217) {
        telnet_ = std::make_unique<telnet::Session>(kLineBaud);
    }
    port_ = address.port;
    timeoutMs_ = timeoutMs;
    deadline_ = QDeadlineTimer(timeoutMs);
    boundTimer_.start(timeoutMs);
    const unsigned attempt = ++attempt_;
    QHostAddress literal;
    if (literal.setAddress(QString::fromStdString(address.host))) {
        phase_ = Phase::Connecting;
        addresses_ = {literal};
        nextAddress_ = 0;
        TryNext();
        return {};
    }
    phase_ = Phase::Resolving;
    resolver_(QString::fromStdString(address.host), &socket_,
              [this, attempt](const QList<QHostAddress>& addresses, const QString& error) {
                  if (attempt == attempt_ && phase_ == Phase::Resolving) {
                      Resolved(addresses, error);
                  }
              });
    return {};
}

void QtNetPort::Resolved(const QList<QHostAddress>& addresses, const QString& error) {
    if (addresses.isEmpty()) {
        FailOpen(error.isEmpty() ? "the name has no address" : error.toStdString());
        return;
    }
    phase_ = Phase::Connecting;
    addresses_ = addresses;
    nextAddress_ = 0;
    TryNext();
}

// Each address gets an equal share of what is left of the bound, so that a
// first address that never answers leaves time for the next.
void QtNetPort::TryNext() {
    if (phase_ != Phase::Connecting) {
        return;
    }
    const qint64 left = deadline_.remainingTime();
    if (nextAddress_ >= addresses_.size() || left <= 0) {
        FailOpen(lastError_.empty() ? NoAnswer() : lastError_);
        return;
    }
    const qint64 share = left / (addresses_.size() - nextAddress_);
    attemptTimer_.start(static_cast<int>(std::max<qint64>(1, share)));
    socket_.connectToHost(addresses_[nextAddress_++], port_);
}

void QtNetPort::Connected() {
    if (phase_ != Phase::Connecting) {
        return;
    }
    attemptTimer_.stop();
    boundTimer_.stop();
    // Each record is to leave at its tick, not wait for the previous one's
    // acknowledgement.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    if (!telnet_) {
        phase_ = Phase::Open;
        return;
    }
    phase_ = Phase::Negotiating;
    answerTimer_.start(kNetAnswerTimeoutMs);
    const std::vector<std::uint8_t> greeting = telnet_->Greeting();
    socket_.write(reinterpret_cast<const char*>(greeting.data()),
                  static_cast<qint64>(greeting.size()));
    if (socket_.bytesAvailable() > 0) {
        OnReadyRead();
    }
}

void QtNetPort::FailOpen(const std::string& why, bool refused) {
    attemptTimer_.stop();
    boundTimer_.stop();
    answerTimer_.stop();
    ++attempt_;
    phase_ = Phase::Failed; // before the abort, whose signals then change nothing
    socket_.abort();
    note_ = why;
    refused_ = refused;
}

// The telnet session has come to a verdict (or its time to answer is over).
void QtNetPort::TelnetSettled() {
    switch (telnet_->State()) {
    case telnet::Session::Phase::Negotiating:
        return;
    case telnet::Session::Phase::Ready:
        if (phase_ == Phase::Negotiating) {
            answerTimer_.stop();
            phase_ = Phase::Open;
            note_ = telnet_->Warning();
        }
        Flush();
        return;
    case telnet::Session::Phase::Failed:
        if (phase_ == Phase::Negotiating) {
            FailOpen(telnet_->Failure(), true);
        } else if (phase_ == Phase::Open && !netLost_) {
            netLost_ = true;
            note_ = "protocol error: the device server " + telnet_->Failure();
            socket_.abort();
        }
        return;
    }
}

NetOpening QtNetPort::Opening() const {
    NetOpening o;
    switch (phase_) {
    case Phase::Idle:
        break;
    case Phase::Resolving:
    case Phase::Connecting:
    case Phase::Negotiating:
        o.state = NetOpening::State::Connecting;
        break;
    case Phase::Open:
        o.state = netLost_ ? NetOpening::State::Failed : NetOpening::State::Open;
        break;
    case Phase::Failed:
        o.state = NetOpening::State::Failed;
        break;
    }
    o.note = note_;
    o.refused = refused_;
    return o;
}

void QtNetPort::Close() {
    ++attempt_;
    attemptTimer_.stop();
    boundTimer_.stop();
    answerTimer_.stop();
    if (phase_ == Phase::Open && !netLost_ && socket_.state() == QAbstractSocket::ConnectedState) {
        // Let the last command reach the server before the connection goes:
        // first out of the socket, then acknowledged by the server's side.
        const QDeadlineTimer deadline(kCloseDrainMs);
        while (socket_.bytesToWrite() > 0 && !deadline.hasExpired() &&
               socket_.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
        }
#ifdef __linux__
        int unacknowledged = 0;
        while (!deadline.hasExpired() &&
               ::ioctl(static_cast<int>(socket_.socketDescriptor()), SIOCOUTQ, &unacknowledged) ==
                   0 &&
               unacknowledged > 0) {
            ::usleep(1000);
        }
#endif
        // Unread input would make the close a reset, which may cost the
        // server what it has not passed on yet.
        socket_.readAll();
        socket_.disconnectFromHost();
    }
    socket_.abort();
    phase_ = Phase::Idle;
    netLost_ = false;
    note_.clear();
    refused_ = false;
    lastError_.clear();
    telnet_.reset();
    held_.clear();
    in_.clear();
}

void QtNetPort::OnError(QAbstractSocket::SocketError error) {
    if (phase_ == Phase::Connecting) {
        // This address failed: the next one, once this signal has returned.
        // (Qt says "Out of resources" when the process has no handle left.)
        lastError_ = error == QAbstractSocket::SocketResourceError
                         ? std::string(kMsgNoHandles)
                         : socket_.errorString().toStdString();
        attemptTimer_.stop();
        const unsigned attempt = attempt_;
        QMetaObject::invokeMethod(
            &socket_,
            [this, attempt] {
                if (attempt == attempt_) {
                    socket_.abort();
                    TryNext();
                }
            },
            Qt::QueuedConnection);
        return;
    }
    // A wait that timed out leaves the connection as it was.
    if (error != QAbstractSocket::SocketTimeoutError) {
        OnGone();
    }
}

// The server closed the connection or it failed: while negotiating the open
// fails, once open the link is lost until the next OpenAddress. What was
// received before stays readable.
void QtNetPort::OnGone() {
    if (phase_ == Phase::Negotiating) {
        FailOpen("the device server closed the connection during the telnet negotiation");
    } else if (phase_ == Phase::Open && !netLost_) {
        netLost_ = true;
        note_ = socket_.errorString().toStdString();
    }
}

// Takes received bytes from the socket while all taken before have been read,
// so that a reader that stops (a message box is open) leaves the rest in the
// kernel. What the telnet side owes the server goes out at once.
void QtNetPort::Pump() {
    std::array<char, kReadChunk> chunk{};
    std::vector<std::uint8_t> replies;
    while (in_.empty() && socket_.bytesAvailable() > 0) {
        const qint64 got = socket_.read(chunk.data(), static_cast<qint64>(chunk.size()));
        if (got <= 0) {
            break;
        }
        if (telnet_) {
            telnet_->Receive(reinterpret_cast<const std::uint8_t*>(chunk.data()),
                             static_cast<std::size_t>(got), in_, replies);
            if (phase_ == Phase::Negotiating) {
                in_.clear(); // nothing is taken from the line before it is set
            }
            if (telnet_->State() == telnet::Session::Phase::Failed) {
                break;
            }
        } else {
            in_.assign(chunk.data(), static_cast<std::size_t>(got));
        }
    }
    if (!replies.empty() && socket_.state() == QAbstractSocket::ConnectedState) {
        socket_.write(reinterpret_cast<const char*>(replies.data()),
                      static_cast<qint64>(replies.size()));
    }
    if (telnet_) {
        TelnetSettled();
    }
}

void QtNetPort::OnReadyRead() {
    if (phase_ != Phase::Negotiating && phase_ != Phase::Open) {
        return;
    }
    Pump();
    if (!in_.empty() && phase_ == Phase::Open && onArrival_) {
        const auto handler = onArrival_; // the handler may replace itself
        handler();
    }
}

bool QtNetPort::IsOpen() const {
    return phase_ == Phase::Open && !netLost_ && socket_.state() == QAbstractSocket::ConnectedState;
}

// Sends what waited while the server had suspended the flow.
void QtNetPort::Flush() {
    if (!held_.empty() && !(telnet_ && telnet_->Suspended()) && IsOpen()) {
        socket_.write(reinterpret_cast<const char*>(held_.data()),
                      static_cast<qint64>(held_.size()));
        held_.clear();
    }
}

void QtNetPort::Send(const std::uint8_t* data, std::size_t count) {
    if (!IsOpen() || count == 0) {
        return;
    }
    if (!telnet_) {
        socket_.write(reinterpret_cast<const char*>(data), static_cast<qint64>(count));
        return;
    }
    const std::vector<std::uint8_t> escaped = telnet::Escape(data, count);
    if (telnet_->Suspended() || !held_.empty()) {
        held_.insert(held_.end(), escaped.begin(), escaped.end());
        Flush();
        return;
    }
    socket_.write(reinterpret_cast<const char*>(escaped.data()),
                  static_cast<qint64>(escaped.size()));
}

std::size_t QtNetPort::Unsent() const {
    if (!IsOpen()) {
        return 0;
    }
    int queued = 0;
#ifdef __linux__
    if (::ioctl(static_cast<int>(socket_.socketDescriptor()), SIOCOUTQ, &queued) != 0) {
        queued = 0;
    }
#elif defined(_WIN32)
    // The kernel's queue cannot be counted here: it is kept to a few KB, so
    // what is not yet sent is mostly what the socket still holds.
    BoundWinSendQueue(static_cast<std::intptr_t>(socket_.socketDescriptor()));
#endif
    return static_cast<std::size_t>(socket_.bytesToWrite()) +
           static_cast<std::size_t>(std::max(0, queued)) + held_.size();
}

std::string QtNetPort::ReadAll() {
    std::string text;
    while (!in_.empty()) {
        text += in_;
        in_.clear();
        Pump();
    }
    return text;
}

void QtNetPort::SetOnArrival(std::function<void()> handler) {
    onArrival_ = std::move(handler);
}

bool QtNetPort::Lost() const {
    return phase_ == Phase::Open && netLost_;
}

} // namespace fw
