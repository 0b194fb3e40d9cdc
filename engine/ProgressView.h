// The progress page as the link routines, the sequencer and the reply
// interpreter see it: its status labels, its two bars and its timer. The real
// page is a Qt window; tests use a recording fake.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace fw {

enum class StatusLabel {
    Connection, // lblProgress_Connection
    Bootloader, // lblProgress_Bootloader
    Erase,      // lblProgress_Erase (flash)
    EraseEEPROM,
    EraseRAM,
    Upload,
    Verify,
    RUN,
};
inline constexpr int kStatusLabelCount = 8;

// The caption of each row, in StatusLabel order.
inline constexpr std::array<const char*, kStatusLabelCount> kRowCaptions{
    "Connect to Analyser", "Enter Bootloader", "Erase Flash ROM", "Erase EEPROM",
    "Erase RAM",           "Upload Firmware",  "Verify Upload",   "Run Firmware"};

enum class ProgressBar { Bar1, Bar2 }; // ProgressBar1: sent, ProgressBar2: acknowledged

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};
inline constexpr Rgb kGreen{0, 128, 0};
inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kBarFill{0, 0, 192};

class IProgressView {
public:
    virtual ~IProgressView() = default;
    virtual void SetCaption(StatusLabel label, const std::string& caption) = 0;
    virtual std::string Caption(StatusLabel label) const = 0;
    virtual void SetForeColor(StatusLabel label, Rgb colour) = 0;
    virtual void SetVisible(StatusLabel label, bool visible) = 0;
    virtual void SetBarVisible(ProgressBar bar, bool visible) = 0;
    // Widths are in twips; the design width of a full bar is 2295.
    virtual void SetBarWidth(ProgressBar bar, double twips) = 0;
    virtual double BarWidth(ProgressBar bar) const = 0;
    virtual void SetTimerInterval(int ms) = 0;
};

// The rows of a run as the run itself keeps them: every caption the run (its
// link and its engine) gives a row is kept here and drawn on the view. The run
// record and the engine's own decisions read the rows from here, never back
// from the view.
class RunRows : public IProgressView {
public:
    explicit RunRows(IProgressView& view) : view_(view) {}

    // A new run: the rows as the progress page shows them when it loads.
    void Reset() {
        rows_.fill({});
        rows_[0] = "Connecting...";
    }
    const std::string& Row(StatusLabel label) const { return rows_[Index(label)]; }

    void SetCaption(StatusLabel label, const std::string& caption) override {
        rows_[Index(label)] = caption;
        view_.SetCaption(label, caption);
    }
    std::string Caption(StatusLabel label) const override { return view_.Caption(label); }
    void SetForeColor(StatusLabel label, Rgb colour) override { view_.SetForeColor(label, colour); }
    void SetVisible(StatusLabel label, bool visible) override { view_.SetVisible(label, visible); }
    void SetBarVisible(ProgressBar bar, bool visible) override {
        view_.SetBarVisible(bar, visible);
    }
    void SetBarWidth(ProgressBar bar, double twips) override { view_.SetBarWidth(bar, twips); }
    double BarWidth(ProgressBar bar) const override { return view_.BarWidth(bar); }
    void SetTimerInterval(int ms) override { view_.SetTimerInterval(ms); }

private:
    static std::size_t Index(StatusLabel label) { return static_cast<std::size_t>(label); }

    IProgressView& view_;
    std::array<std::string, kStatusLabelCount> rows_{};
};

} // namespace fw
