// The link routines of the module: open the connection a run was configured
// with, send text and bytes over it, and close it again. The run's link owns
// the transport it chose when it connected (a serial port, a USB converter or
// a serial device server); a connection type without one opens nothing and
// every send on it is dropped.
#pragma once

#include "engine/LinkPort.h"
#include "engine/MessageBox.h"
#include "engine/ProgressView.h"
#include "link/Transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fw {

class Link : public ILink {
public:
    // `onArrived` takes what arrives on whichever transport the run chose
    // (the engine's RecData).
    Link(IProgressView& view, TransportMakers makers, IMessageBox& box, ArrivalHandler onArrived);

    // Opens the connection `config` names and reports on the connection row.
    // A failure is shown and returned, with what the device told of the
    // analyser.
    LinkOpened ConnectToAnalyser(const RunConfig& config) override;
    // One byte per character (its low 8 bits). Dropped when the link is closed.
    // True when the bytes were handed to an open link.
    bool SendText(const std::string& text) override;
    bool SendBytes(const std::vector<std::uint8_t>& bytes) override;
    // The transport's own work at the tick (a converter hands over what waits
    // in it, at most kFtReadChunk bytes).
    void Poll() override;
    // Whatever the link is open over, or still connecting to.
    void CloseLink() override;
    // True while the transport is open.
    bool IsOpen() const { return transport_ && transport_->IsOpen(); }
    // Bytes handed to the link and not yet on the line: the serial port's
    // output buffer, the socket's, or the converter's transmit queue where the
    // driver can tell; 0 otherwise.
    std::size_t PendingOutput() override;
    // True when the device of an open link has gone away: the serial port's
    // device vanished, the device server closed the connection, or the
    // converter driver failed a send, a poll or a status call.
    bool Lost() const override;
    // Opens a lost link again, quietly, when its device is back. True when it is.
    bool Reopen() override;
    // The link for messages: "COM3 (/dev/ttyUSB0)", "USB converter A1B2C3D4 (...)".
    std::string Name() const override;
    std::string Device() const override;
    ConnectPoll PollConnect() override;
    bool Reconnects() const override { return !transport_ || transport_->Reconnects(); }

private:
    std::string Fail(const OpenFailure& failure);
    bool Write(const std::uint8_t* data, std::size_t count);

    IProgressView& view_;
    TransportMakers makers_;
    IMessageBox& box_;
    ArrivalHandler onArrived_;
    ConnectionType type_ = ConnectionType::Serial; // of the last run
    std::unique_ptr<ITransport> transport_;
    std::string warning_;     // what the finished connect left unconfirmed
    bool connecting_ = false; // opened, and not yet known to be up
};

} // namespace fw
