// frmUpdateFirmware: one status row per step of the update, two progress bars,
// the timer that drives the update engine and the serial control the link runs
// over. The page instance is the IProgressView of the engine and the link; it
// forwards to whichever window is loaded.
#pragma once

#include "engine/ModFlashwright.h"
#include "engine/ProgressFields.h"
#include "engine/ProgressView.h"
#include "engine/SerialPort.h"
#include "pages/QtPage.h"

#include <array>
#include <functional>
#include <memory>

class QFrame;
class QLabel;
class QTimer;

namespace fw {

class Link;
class UpdateEngine;

// Makes the serial control of a page window.
using SerialPortFactory = std::function<std::unique_ptr<ISerialPort>()>;

inline constexpr int kProgressTimerMs = 10;

class ProgressPage : public QtPage, public IProgressView {
public:
    explicit ProgressPage(SerialPortFactory makeSerialPort);
    ~ProgressPage() override;

    // The fields the engine works with; they outlive the window.
    ProgressFields& Fields() { return fields_; }
    void Attach(ModFlashwright& mod, UpdateEngine& engine, Link& link, IPage& operations);

    void btnPrevious_Click();
    // The timer while loaded (null otherwise).
    QTimer* AFTimer1() const { return timer_; }

    // IProgressView. While the page is not loaded, writes are dropped, reads
    // give empty values and afComm1 is a control that never opens.
    void SetCaption(StatusLabel label, const std::string& caption) override;
    std::string Caption(StatusLabel label) const override;
    void SetForeColor(StatusLabel label, Rgb colour) override;
    void SetVisible(StatusLabel label, bool visible) override;
    void SetBarVisible(ProgressBar bar, bool visible) override;
    void SetBarWidth(ProgressBar bar, double twips) override;
    double BarWidth(ProgressBar bar) const override;
    void SetTimerInterval(int ms) override;
    ISerialPort& afComm1() override;

protected:
    void BuildControls(QWidget* window) override;
    void FormActivate() override;
    void FormUnload() override;
    void QueryClose() override;

private:
    // Ends the run: nothing more is sent, the converter and an open firmware
    // file are closed (the serial port closes with the window).
    void StopRun();
    QLabel* Status(StatusLabel label) const;

    SerialPortFactory makeSerialPort_;
    ProgressFields fields_;
    ModFlashwright* mod_ = nullptr;
    UpdateEngine* engine_ = nullptr;
    Link* link_ = nullptr;
    IPage* operations_ = nullptr;

    std::array<QLabel*, kStatusLabelCount> status_{};
    std::array<QFrame*, 2> bars_{};
    std::array<double, 2> barTwips_{};
    QTimer* timer_ = nullptr;
    std::unique_ptr<ISerialPort> afComm1_;
    std::unique_ptr<ISerialPort> unloadedPort_;
};

} // namespace fw
