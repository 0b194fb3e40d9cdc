// The progress page as a recording fake: labels, colours, visibility, bars,
// the timer interval and its serial control.
#pragma once

#include "app/ProgressView.h"
#include "tests/support/FakeSerialPort.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace fw::test {

class FakeProgressView : public IProgressView {
public:
    struct Label {
        std::string caption;
        Rgb colour{};
        bool colourSet = false;
        bool visible = true;
    };

    void SetCaption(StatusLabel label, const std::string& caption) override {
        At(label).caption = caption;
        captionLog.emplace_back(label, caption);
    }
    std::string Caption(StatusLabel label) const override { return At(label).caption; }
    void SetForeColor(StatusLabel label, Rgb colour) override {
        At(label).colour = colour;
        At(label).colourSet = true;
    }
    void SetVisible(StatusLabel label, bool visible) override { At(label).visible = visible; }
    void SetBarVisible(ProgressBar bar, bool visible) override { barVisible[Index(bar)] = visible; }
    void SetBarWidth(ProgressBar bar, double twips) override {
        barWidth[Index(bar)] = twips;
        ++barWidthSets[Index(bar)];
    }
    double BarWidth(ProgressBar bar) const override { return barWidth[Index(bar)]; }
    void SetTimerInterval(int ms) override { interval = ms; }
    ISerialPort& afComm1() override { return port; }

    Label& At(StatusLabel label) { return labels[static_cast<std::size_t>(label)]; }
    const Label& At(StatusLabel label) const { return labels[static_cast<std::size_t>(label)]; }
    // True when `caption` was ever shown on `label`.
    bool Showed(StatusLabel label, const std::string& caption) const {
        for (const auto& [l, c] : captionLog) {
            if (l == label && c == caption) {
                return true;
            }
        }
        return false;
    }

    std::array<Label, kStatusLabelCount> labels{};
    std::array<bool, 2> barVisible{true, true};
    std::array<double, 2> barWidth{2295, 2295};
    std::array<int, 2> barWidthSets{0, 0};
    int interval = 10;
    std::vector<std::pair<StatusLabel, std::string>> captionLog;
    FakeSerialPort port;

private:
    static std::size_t Index(ProgressBar bar) { return bar == ProgressBar::Bar1 ? 0 : 1; }
};

} // namespace fw::test
