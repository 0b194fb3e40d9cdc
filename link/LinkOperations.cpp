#include "link/LinkOperations.h"

#include "link/net/NetTransport.h"
#include "link/serial/SerialTransport.h"
#include "link/usb/UsbTransport.h"

namespace fw {

std::unique_ptr<ITransport> MakeTransport(const RunConfig& config, TransportMakers& makers,
                                          ArrivalHandler onArrived) {
    if (config.type == ConnectionType::Serial && makers.makeSerialPort) {
        return std::make_unique<SerialTransport>(makers.makeSerialPort(), config.comPort,
                                                 std::move(onArrived));
    }
    if (config.type == ConnectionType::Tcp && makers.makeNetPort) {
        return std::make_unique<NetTransport>(makers.makeNetPort(), config.address,
                                              std::move(onArrived));
    }
    if (config.type == ConnectionType::Usb) {
        return std::make_unique<UsbTransport>(makers.usb, config.usbSerial, std::move(onArrived));
    }
    return nullptr;
}

Link::Link(IProgressView& view, TransportMakers makers, IMessageBox& box, ArrivalHandler onArrived)
    : view_(view), makers_(std::move(makers)), box_(box), onArrived_(std::move(onArrived)) {
    // Until a run connects, the link is a serial port that is not open.
    transport_ = MakeTransport(RunConfig{}, makers_, onArrived_);
}

std::string Link::Fail(const OpenFailure& failure) {
    view_.SetCaption(StatusLabel::Connection, "FAILED");
    view_.SetForeColor(StatusLabel::Connection, kRed);
    box_.Show(failure.text, failure.icon, kAppTitle);
    return failure.text;
}

LinkOpened Link::ConnectToAnalyser(const RunConfig& config) {
    connecting_ = false;
    warning_.clear();
    type_ = config.type;
    transport_.reset(); // the last run's, closed with it
    transport_ = MakeTransport(config, makers_, onArrived_);
    if (!transport_) {
        // A type with no link: nothing to open; the sequence runs without one.
        return {};
    }
    const Opened opened =
        transport_->Open([this] { view_.SetCaption(StatusLabel::Connection, "Connecting..."); });
    if (opened.failure) {
        return {Fail(*opened.failure), opened.analyserKind};
    }
    connecting_ = true;
    // A connect still under way goes on at the tick.
    ConnectPoll poll = PollConnect();
    if (poll.state == LinkConnect::Failed) {
        return {std::move(poll.failure), opened.analyserKind};
    }
    return {std::nullopt, opened.analyserKind};
}

ConnectPoll Link::PollConnect() {
    if (!connecting_ || !transport_) {
        return {LinkConnect::Ready, {}, warning_};
    }
    OpenProgress progress = transport_->PollOpen();
    if (progress.pending) {
        return {LinkConnect::Connecting, {}, {}};
    }
    connecting_ = false;
    if (progress.failure) {
        return {LinkConnect::Failed, Fail(*progress.failure), {}};
    }
    warning_ = progress.warning;
    const OpenedRow row = transport_->RowWhenOpen();
    view_.SetCaption(StatusLabel::Connection,
                     warning_.empty() ? std::string(row.caption)
                                      : std::string(row.caption) + " (warning: " + warning_ + ")");
    if (row.green) {
        view_.SetForeColor(StatusLabel::Connection, kGreen);
    }
    return {LinkConnect::Ready, {}, warning_};
}

bool Link::Write(const std::uint8_t* data, std::size_t count) {
    if (count == 0) {
        return true;
    }
    return transport_ && transport_->Send(data, count);
}

bool Link::SendText(const std::string& text) {
    // Each character is one byte: its low 8 bits.
    return Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool Link::SendBytes(const std::vector<std::uint8_t>& bytes) {
    return Write(bytes.data(), bytes.size());
}

void Link::Poll() {
    if (transport_) {
        transport_->Poll();
    }
}

void Link::CloseLink() {
    if (transport_) {
        transport_->Close();
    }
}

std::size_t Link::PendingOutput() {
    return transport_ ? transport_->PendingOutput() : 0;
}

bool Link::Lost() const {
    return transport_ && transport_->Lost();
}

bool Link::Reopen() {
    return transport_ && transport_->Reopen();
}

std::string Link::Device() const {
    return transport_ ? transport_->Device() : std::string();
}

std::string Link::Name() const {
    return transport_ ? transport_->Name() : TypeCode(type_);
}

} // namespace fw
