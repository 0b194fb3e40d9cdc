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

} // namespace fw
