// The progress page as a recording fake (labels and bars), and a scriptable
// serial control for the run's link: whether opening works, the bytes sent,
// bytes waiting to be received and a transmit backlog the test can set.
#pragma once

#include "engine/ProgressView.h"
#include "link/serial/SerialPort.h"

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fw::test {

class FakeSerialPort : public ISerialPort {
public:
    CommError SetCommPort(std::int16_t port) override {
        if (port < 1 || port > 255) {
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
        open = value;
        if (value) {
            lost = false;
        }
        return {};
    }
    void Output(const std::vector<std::uint8_t>& bytes) override {
        output.insert(output.end(), bytes.begin(), bytes.end());
    }
    int OutBufferCount() const override { return outBufferCount; }
    std::int16_t CommEvent() const override { return kComEvReceive; }
    int InBufferCount() const override { return static_cast<int>(incoming.size()); }
    std::string Input() override {
        std::string one(incoming.begin(), incoming.begin() + (incoming.empty() ? 0 : 1));
        incoming.erase(incoming.begin(), incoming.begin() + one.size());
        return one;
    }
    void SetOnComm(std::function<void()> handler) override { onComm = std::move(handler); }
    bool DeviceLost() const override { return lost; }
    std::string DeviceName() const override { return "/dev/ttyFAKE"; }
    // The device vanishes: the control closes itself and reports it lost.
    void Vanish() {
        open = false;
        lost = true;
    }
    // Queues bytes as if they had arrived on the line (no event is raised).
    void Receive(const std::string& text) {
        incoming.insert(incoming.end(), text.begin(), text.end());
    }
    // The receive event, as the control raises it.
    void RaiseComm() {
        if (onComm) {
            onComm();
        }
    }

    std::int16_t commPort = 1;
    bool open = false;
    int openError = 0; // e.g. kCommErrPortInUse: opening fails
    bool lost = false;
    int outBufferCount = 0;
    std::vector<std::uint8_t> output;
    std::deque<char> incoming;
    std::function<void()> onComm;
};

// Hands a run a control the test keeps: every run's link is the same fake.
class BorrowedSerialPort : public ISerialPort {
public:
    explicit BorrowedSerialPort(ISerialPort& port) : p_(port) {}
    static std::unique_ptr<ISerialPort> Of(ISerialPort& port) {
        return std::make_unique<BorrowedSerialPort>(port);
    }
    CommError SetCommPort(std::int16_t port) override { return p_.SetCommPort(port); }
    std::int16_t CommPort() const override { return p_.CommPort(); }
    bool PortOpen() const override { return p_.PortOpen(); }
    CommError SetPortOpen(bool open) override { return p_.SetPortOpen(open); }
    void Output(const std::vector<std::uint8_t>& bytes) override { p_.Output(bytes); }
    int OutBufferCount() const override { return p_.OutBufferCount(); }
    std::int16_t CommEvent() const override { return p_.CommEvent(); }
    int InBufferCount() const override { return p_.InBufferCount(); }
    std::string Input() override { return p_.Input(); }
    std::string ReadAll() override { return p_.ReadAll(); }
    void SetOnComm(std::function<void()> handler) override { p_.SetOnComm(std::move(handler)); }
    bool DeviceLost() const override { return p_.DeviceLost(); }
    std::string DeviceName() const override { return p_.DeviceName(); }

private:
    ISerialPort& p_;
};

class FakeProgressView : public IProgressView {
public:
    struct Label {
        std::string caption;
        Rgb colour{};
    };

    void SetCaption(StatusLabel label, const std::string& caption) override {
        At(label).caption = caption;
    }
    std::string Caption(StatusLabel label) const override { return At(label).caption; }
    void SetForeColor(StatusLabel label, Rgb colour) override { At(label).colour = colour; }
    void SetVisible(StatusLabel, bool) override {}
    void SetBarVisible(ProgressBar, bool) override {}
    void SetBarWidth(ProgressBar bar, double twips) override { barWidth[Index(bar)] = twips; }
    double BarWidth(ProgressBar bar) const override { return barWidth[Index(bar)]; }
    void SetTimerInterval(int) override {}

    Label& At(StatusLabel label) { return labels[static_cast<std::size_t>(label)]; }
    const Label& At(StatusLabel label) const { return labels[static_cast<std::size_t>(label)]; }

    std::array<Label, kStatusLabelCount> labels{};
    std::array<double, 2> barWidth{2295, 2295};
    FakeSerialPort port; // the serial control of every run

private:
    static std::size_t Index(ProgressBar bar) { return bar == ProgressBar::Bar1 ? 0 : 1; }
};

} // namespace fw::test
