// A scriptable serial control: which port numbers exist, whether opening works,
// the bytes it was asked to send, bytes waiting to be received, and a transmit
// backlog the test can set.
#pragma once

#include "link/SerialPort.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fw::test {

class FakeSerialPort : public ISerialPort {
public:
    CommError SetCommPort(std::int16_t port) override {
        ++setCommPortCalls;
        if (port < 1 || port > maxPort) {
            return {kCommErrInvalidPort, "Invalid port number"};
        }
        commPort = port;
        return {};
    }
    std::int16_t CommPort() const override { return commPort; }
    bool PortOpen() const override { return open; }
    CommError SetPortOpen(bool value) override {
        if (value && !open && openError != 0) {
            return {openError, "Port already open"};
        }
        if (value && !open) {
            ++opens;
        }
        if (!value && open) {
            ++closes;
        }
        open = value;
        return {};
    }
    void Output(const std::vector<std::uint8_t>& bytes) override {
        output.insert(output.end(), bytes.begin(), bytes.end());
        ++outputCalls;
    }
    int OutBufferCount() const override { return outBufferCount; }
    std::int16_t CommEvent() const override { return commEvent; }
    int InBufferCount() const override { return static_cast<int>(incoming.size()); }
    std::string Input() override {
        if (incoming.empty()) {
            return {};
        }
        const char c = static_cast<char>(incoming.front());
        incoming.pop_front();
        return std::string(1, c);
    }
    void SetOnComm(std::function<void()> handler) override { onComm = std::move(handler); }

    // Queues bytes as if they had arrived on the line (no event is raised).
    void Receive(const std::string& text) {
        for (char c : text) {
            incoming.push_back(static_cast<std::uint8_t>(c));
        }
    }
    std::string OutputText() const { return std::string(output.begin(), output.end()); }

    std::int16_t maxPort = 255;
    std::int16_t commPort = 1;
    bool open = false;
    int openError = 0; // e.g. kCommErrPortInUse: the next open fails
    int opens = 0;
    int closes = 0;
    int setCommPortCalls = 0;
    int outputCalls = 0;
    int outBufferCount = 0;
    std::int16_t commEvent = kComEvReceive;
    std::vector<std::uint8_t> output;
    std::deque<std::uint8_t> incoming;
    std::function<void()> onComm;
};

} // namespace fw::test
