#include "pages/ProgressPage.h"

#include "run/AnalyserRun.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace fw {
namespace {

struct Row {
    int top;
    int captionIndex; // index in the Label1 array
    const char* caption;
    StatusLabel status;
    const char* statusName;
};

// Top to bottom. The flash and EEPROM erase rows keep their caption labels'
// array indexes (3 and 2) but say what they report.
constexpr std::array<Row, kStatusLabelCount> kRows{{
    {480, 0, kRowCaptions[0], StatusLabel::Connection, "lblProgress_Connection"},
    {840, 1, kRowCaptions[1], StatusLabel::Bootloader, "lblProgress_Bootloader"},
    {1200, 3, kRowCaptions[2], StatusLabel::Erase, "lblProgress_Erase"},
    {1560, 2, kRowCaptions[3], StatusLabel::EraseEEPROM, "lblProgress_Erase_EEPROM"},
    {1920, 4, kRowCaptions[4], StatusLabel::EraseRAM, "lblProgress_Erase_RAM"},
    {2280, 5, kRowCaptions[5], StatusLabel::Upload, "lblProgress_Upload"},
    {2640, 6, kRowCaptions[6], StatusLabel::Verify, "lblProgress_Verify"},
    {3000, 7, kRowCaptions[7], StatusLabel::RUN, "lblProgress_RUN"},
}};

constexpr int kBarHeight = 135;
constexpr int kBarLeft = 2040;
constexpr int kBarFullWidth = 2295;
constexpr std::array<int, 2> kBarTops{2305, 2665};

std::size_t Index(StatusLabel label) {
    return static_cast<std::size_t>(label);
}

std::size_t Index(ProgressBar bar) {
    return bar == ProgressBar::Bar1 ? 0 : 1;
}

} // namespace

ProgressPage::ProgressPage() : QtPage("frmUpdateFirmware", 4800, 4665) {
}

ProgressPage::~ProgressPage() {
    run_ = nullptr; // the run goes first, and its link closes with it
    UnloadNow();
}

void ProgressPage::Attach(AnalyserRun& run, IPage& operations) {
    run_ = &run;
    operations_ = &operations;
}

void ProgressPage::BuildControls(QWidget* window) {
    QGroupBox* fraProgress = AddPageFrame(window, "fraProgress");

    for (const Row& row : kRows) {
        auto* caption = new QLabel(row.caption, fraProgress);
        caption->setObjectName(QString("Label1_%1").arg(row.captionIndex));
        caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        PlaceTwips(caption, 240, row.top, 1575, 195);

        QLabel* status = MakeLabel(row.statusName, "", fraProgress);
        PlaceTwips(status, 2040, row.top, 2295, row.status == StatusLabel::Connection ? 285 : 195);
        status_[Index(row.status)] = status;
    }
    status_[Index(StatusLabel::Connection)]->setText("Connecting...");

    // Created after the labels, so they lie over the Upload and Verify rows.
    for (std::size_t i = 0; i < bars_.size(); ++i) {
        auto* bar = new QFrame(fraProgress);
        bar->setObjectName(QString("ProgressBar%1").arg(i + 1));
        bar->setAutoFillBackground(true);
        QPalette palette = bar->palette();
        palette.setColor(QPalette::Window, QColor(kBarFill.r, kBarFill.g, kBarFill.b));
        bar->setPalette(palette);
        PlaceTwips(bar, kBarLeft, kBarTops[i], kBarFullWidth, kBarHeight);
        bars_[i] = bar;
        barTwips_[i] = kBarFullWidth;
    }

    auto* btnPrevious = AddButton(window, "btnPrevious", "&Previous", 3360, 4200, 1335, 375,
                                  [this] { btnPrevious_Click(); });
    btnPrevious->setFocus();

    // The engine's clock: it ticks from the moment the page is loaded until it
    // is unloaded; state 0 does nothing until the link is open.
    timer_ = new QTimer(window);
    timer_->setObjectName("AFTimer1");
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(kProgressTimerMs);
    QObject::connect(timer_, &QTimer::timeout, timer_, [this] {
        if (run_ != nullptr) {
            run_->engine.AFTimer1_Timer();
        }
    });
    timer_->start();
}

void ProgressPage::FormActivate() {
    if (run_ != nullptr) {
        run_->engine.FormActivate();
    }
}

void ProgressPage::FormUnload() {
    timer_->stop();
    timer_ = nullptr;
    if (run_ != nullptr) {
        run_->Release(); // the serial port closes with the page if the run left it open
    }
    status_.fill(nullptr);
    bars_.fill(nullptr);
}

void ProgressPage::btnPrevious_Click() {
    if (run_ != nullptr) {
        run_->Stop();
    }
    if (operations_ != nullptr) {
        HandOver(*this, *operations_);
    } else {
        Unload();
    }
}

void ProgressPage::QueryClose() {
    if (run_ != nullptr) {
        run_->Stop();
    }
}

QLabel* ProgressPage::Status(StatusLabel label) const {
    return status_[Index(label)];
}

void ProgressPage::SetCaption(StatusLabel label, const std::string& caption) {
    if (QLabel* l = Status(label)) {
        l->setText(QString::fromStdString(caption));
    }
}

std::string ProgressPage::Caption(StatusLabel label) const {
    const QLabel* l = Status(label);
    return l != nullptr ? l->text().toStdString() : std::string();
}

void ProgressPage::SetForeColor(StatusLabel label, Rgb colour) {
    if (QLabel* l = Status(label)) {
        QPalette palette = l->palette();
        palette.setColor(QPalette::WindowText, QColor(colour.r, colour.g, colour.b));
        l->setPalette(palette);
    }
}

void ProgressPage::SetVisible(StatusLabel label, bool visible) {
    if (QLabel* l = Status(label)) {
        l->setVisible(visible);
    }
}

void ProgressPage::SetBarVisible(ProgressBar bar, bool visible) {
    if (QFrame* b = bars_[Index(bar)]) {
        b->setVisible(visible);
    }
}

void ProgressPage::SetBarWidth(ProgressBar bar, double twips) {
    QFrame* b = bars_[Index(bar)];
    if (b == nullptr) {
        return;
    }
    twips = std::max(0.0, twips);
    barTwips_[Index(bar)] = twips;
    b->resize(TwipsToPx(twips), b->height());
}

double ProgressPage::BarWidth(ProgressBar bar) const {
    return bars_[Index(bar)] != nullptr ? barTwips_[Index(bar)] : 0.0;
}

void ProgressPage::SetTimerInterval(int ms) {
    // The sequencer asks for its interval on every record; a running QTimer
    // restarts on every setInterval, which would stretch each period by the
    // tick's own time. Only a real change goes through.
    if (timer_ != nullptr && timer_->interval() != ms) {
        timer_->setInterval(ms);
    }
}

} // namespace fw
