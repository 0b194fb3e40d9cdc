// The transport that runs over a serial control: a serial port (COMn). The
// control raises a receive event, and what waits then goes to the run
// (link/ReceiveLoop).
#pragma once

#include "link/ReceiveLoop.h"
#include "link/Transport.h"

namespace fw {

class SerialTransport : public ITransport {
public:
    SerialTransport(std::unique_ptr<ISerialPort> port, std::string comPort,
                    ArrivalHandler onArrived);
    ~SerialTransport() override;

    Opened Open(const std::function<void()>& opening) override;
    bool Send(const std::uint8_t* data, std::size_t count) override;
    std::size_t PendingOutput() override;
    bool Lost() const override;
    bool Reopen() override;
    bool IsOpen() const override;
    void Close() override;
    std::string Name() const override;
    std::string Device() const override;

private:
    std::unique_ptr<ISerialPort> port_;
    ReceiveLoop receive_;
    std::string comPort_; // as stored
};

} // namespace fw
