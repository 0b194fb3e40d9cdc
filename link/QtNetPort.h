// A serial control whose line is a TCP connection to a serial device server
// (QTcpSocket), raw or with the telnet COM-PORT-OPTION protocol. It opens by
// its address (OpenAddress), not by a port number.
//
// Over the network every record leaves at once (no Nagle delay), the bytes
// queued in the socket and in the kernel's send queue count as not yet on the
// line, and at most kReadBufferBytes of received data is buffered, as on the
// serial port. A connection the server closes or that fails is reported as a
// lost device.
#pragma once

#include "link/NetPort.h"
#include "link/Rfc2217.h"

#include <QTcpSocket>

#include <memory>

namespace fw {

class QtNetPort : public ISerialPort, public INetPort {
public:
    QtNetPort();
    ~QtNetPort() override;
    QtNetPort(const QtNetPort&) = delete;
    QtNetPort& operator=(const QtNetPort&) = delete;

    CommError OpenAddress(const NetAddress& address, int timeoutMs) override;

    CommError SetCommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return commPort_; }
    bool PortOpen() const override;
    CommError SetPortOpen(bool open) override;
    void Output(const std::vector<std::uint8_t>& bytes) override;
    int OutBufferCount() const override;
    std::int16_t CommEvent() const override;
    int InBufferCount() const override;
    std::string Input() override;
    void SetOnComm(std::function<void()> handler) override;
    bool DeviceLost() const override;
    std::string DeviceName() const override;

private:
    void Pump();
    void OnReadyRead();
    void OnGone();
    void CloseNet();
    void Write(const std::vector<std::uint8_t>& bytes);

    QTcpSocket socket_;
    bool net_ = false;                        // the control is the network link
    bool netLost_ = false;                    // ... and the server has gone
    std::string address_;                     // as given, for messages
    std::unique_ptr<telnet::Session> telnet_; // null: a raw byte stream
    std::string in_;                          // received data not yet taken
    std::size_t inAt_ = 0;                    // the next byte of in_ to give out
    std::int16_t netEvent_ = 0;
    std::int16_t commPort_ = 1;
    std::function<void()> onComm_;
};

} // namespace fw
