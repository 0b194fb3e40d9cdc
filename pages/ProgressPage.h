// frmUpdateFirmware: one status row per step of the update, two progress bars
// and the timer that drives the update engine. The page instance is the
// IProgressView of the engine and the link; it forwards to whichever window is
// loaded. The link itself belongs to the run, and closes with the page.
#pragma once

#include "engine/ProgressFields.h"
#include "engine/ProgressView.h"
#include "pages/QtPage.h"

#include <array>
#include <functional>
#include <memory>

class QFrame;
class QLabel;
class QTimer;

namespace fw {

class AnalyserRun;

inline constexpr int kProgressTimerMs = 10;

class ProgressPage : public QtPage, public IProgressView {
public:
    ProgressPage();
    ~ProgressPage() override;

    // The fields the engine works with; they outlive the window.
    ProgressFields& Fields() { return fields_; }
    void Attach(AnalyserRun& run, IPage& operations);

    void btnPrevious_Click();
    // The timer while loaded (null otherwise).
    QTimer* AFTimer1() const { return timer_; }

    // IProgressView. While the page is not loaded, writes are dropped and reads
    // give empty values.
    void SetCaption(StatusLabel label, const std::string& caption) override;
    std::string Caption(StatusLabel label) const override;
    void SetForeColor(StatusLabel label, Rgb colour) override;
    void SetVisible(StatusLabel label, bool visible) override;
    void SetBarVisible(ProgressBar bar, bool visible) override;
    void SetBarWidth(ProgressBar bar, double twips) override;
    double BarWidth(ProgressBar bar) const override;
    void SetTimerInterval(int ms) override;

protected:
    void BuildControls(QWidget* window) override;
    void FormActivate() override;
    void FormUnload() override;
    void QueryClose() override;

private:
    QLabel* Status(StatusLabel label) const;

    ProgressFields fields_;
    AnalyserRun* run_ = nullptr;
    IPage* operations_ = nullptr;

    std::array<QLabel*, kStatusLabelCount> status_{};
    std::array<QFrame*, 2> bars_{};
    std::array<double, 2> barTwips_{};
    QTimer* timer_ = nullptr;
};

} // namespace fw
