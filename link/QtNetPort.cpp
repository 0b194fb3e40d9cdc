#include "link/QtNetPort.h"

#include <QDeadlineTimer>

#include <array>
#ifdef __linux__
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>
#elif defined(_WIN32)
#include "link/WinSendQueue.h"
#endif

namespace fw {
namespace {

// As for the serial port: how long closing waits for what is still queued
// (the sequencer closes right after its final command).
constexpr int kCloseDrainMs = 1000;
constexpr std::size_t kReadChunk = 4096;

} // namespace

// The read buffer is capped as on the serial port: what the engine has not
// taken waits in the kernel.
constexpr qint64 kReadBufferBytes = 16 * 1024;

QtNetPort::QtNetPort() {
    socket_.setReadBufferSize(kReadBufferBytes);
    QObject::connect(&socket_, &QTcpSocket::readyRead, &socket_, [this] { OnReadyRead(); });
    QObject::connect(&socket_, &QTcpSocket::disconnected, &socket_, [this] { OnGone(); });
    QObject::connect(&socket_, &QTcpSocket::errorOccurred, &socket_,
                     [this](QAbstractSocket::SocketError error) {
                         // A wait that timed out leaves the connection as it was.
                         if (error != QAbstractSocket::SocketTimeoutError) {
                             OnGone();
                         }
                     });
}

QtNetPort::~QtNetPort() {
    CloseNet();
}

CommError QtNetPort::OpenAddress(const NetAddress& address, int timeoutMs) {
    if (PortOpen()) {
        return {kCommErrPortInUse, "Port already open"};
    }
    CloseNet();
    socket_.connectToHost(QString::fromStdString(address.host), address.port);
    if (!socket_.waitForConnected(timeoutMs)) {
        const std::string why = socket_.error() == QAbstractSocket::SocketTimeoutError
                                    ? "no answer within " + std::to_string(timeoutMs / 1000) + " s"
                                    : socket_.errorString().toStdString();
        socket_.abort();
        return {kCommErrDeviceFailure, why};
    }
    // Each record is to leave at its tick, not wait for the previous one's
    // acknowledgement.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    net_ = true;
    netLost_ = false;
    netEvent_ = 0;
    in_.clear();
    inAt_ = 0;
    address_ = (address.rfc2217 ? "rfc2217://" : "") + address.HostPort();
    telnet_.reset();
    if (address.rfc2217) {
        telnet_ = std::make_unique<telnet::Session>(38400);
        const std::vector<std::uint8_t> greeting = telnet_->Greeting();
        socket_.write(reinterpret_cast<const char*>(greeting.data()),
                      static_cast<qint64>(greeting.size()));
    }
    return {};
}

void QtNetPort::CloseNet() {
    if (!net_) {
        return;
    }
    if (!netLost_ && socket_.state() == QAbstractSocket::ConnectedState) {
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
    net_ = false;
    netLost_ = false;
    telnet_.reset();
    in_.clear();
    inAt_ = 0;
}

// The server closed the connection or it failed: the link is lost until the
// next OpenAddress. What was received before stays readable.
void QtNetPort::OnGone() {
    if (net_) {
        netLost_ = true;
    }
}

// Takes received bytes from the socket while all taken before are given out,
// so that a reader that stops (a message box is open) leaves the rest in the
// kernel.
void QtNetPort::Pump() {
    std::array<char, kReadChunk> chunk{};
    std::vector<std::uint8_t> replies;
    while (inAt_ >= in_.size() && socket_.bytesAvailable() > 0) {
        in_.clear();
        inAt_ = 0;
        const qint64 got = socket_.read(chunk.data(), static_cast<qint64>(chunk.size()));
        if (got <= 0) {
            break;
        }
        if (telnet_) {
            telnet_->Receive(reinterpret_cast<const std::uint8_t*>(chunk.data()),
                             static_cast<std::size_t>(got), in_, replies);
        } else {
            in_.assign(chunk.data(), static_cast<std::size_t>(got));
        }
    }
    if (!replies.empty() && socket_.state() == QAbstractSocket::ConnectedState) {
        socket_.write(reinterpret_cast<const char*>(replies.data()),
                      static_cast<qint64>(replies.size()));
    }
}

void QtNetPort::OnReadyRead() {
    if (!net_) {
        return;
    }
    Pump();
    if (inAt_ < in_.size()) {
        netEvent_ = kComEvReceive;
        if (onComm_) {
            const auto handler = onComm_; // the handler may replace itself
            handler();
        }
    }
}

CommError QtNetPort::SetCommPort(std::int16_t port) {
    if (net_) {
        return {kCommErrDeviceFailure, "Operation not valid while the link is open"};
    }
    commPort_ = port;
    return {};
}

bool QtNetPort::PortOpen() const {
    return net_ && !netLost_ && socket_.state() == QAbstractSocket::ConnectedState;
}

CommError QtNetPort::SetPortOpen(bool open) {
    if (open) {
        // A device server is opened by its address.
        return net_ ? CommError{kCommErrPortInUse, "Port already open"}
                    : CommError{kCommErrDeviceFailure, "no address to connect to"};
    }
    CloseNet();
    return {};
}

void QtNetPort::Write(const std::vector<std::uint8_t>& bytes) {
    if (telnet_) {
        const std::vector<std::uint8_t> escaped = telnet::Escape(bytes.data(), bytes.size());
        socket_.write(reinterpret_cast<const char*>(escaped.data()),
                      static_cast<qint64>(escaped.size()));
    } else {
        socket_.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qint64>(bytes.size()));
    }
}

void QtNetPort::Output(const std::vector<std::uint8_t>& bytes) {
    if (PortOpen() && !bytes.empty()) {
        Write(bytes);
    }
}

int QtNetPort::OutBufferCount() const {
    if (!PortOpen()) {
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
    return static_cast<int>(socket_.bytesToWrite()) + queued;
}

std::int16_t QtNetPort::CommEvent() const {
    return netEvent_;
}

int QtNetPort::InBufferCount() const {
    return static_cast<int>(in_.size() - inAt_);
}

std::string QtNetPort::Input() {
    if (inAt_ >= in_.size()) {
        return {};
    }
    const char c = in_[inAt_++];
    if (inAt_ >= in_.size()) {
        Pump();
    }
    return std::string(1, c);
}

void QtNetPort::SetOnComm(std::function<void()> handler) {
    onComm_ = std::move(handler);
}

bool QtNetPort::DeviceLost() const {
    return net_ && netLost_;
}

std::string QtNetPort::DeviceName() const {
    return address_;
}

} // namespace fw
