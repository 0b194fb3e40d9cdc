// The progress page and the message boxes of the command line: the engine's
// rows, bars, timer and serial control, shown as text. Everything is written
// through WriteProgress (cli/Terminal.h): an output that cannot take it now
// never holds the run up.
//
// On a terminal each step has one live line ("Erase Flash ROM: Erasing...")
// that is rewritten in place until the next step begins; during the upload the
// line is a bar of the records sent and confirmed with the speed and the time
// left. Anywhere else (a pipe, a file, CI) every change of a row is one plain
// line and no control character is written.
//
// A live line never wraps (a wrapped line would scroll on every redraw): it is
// kept within the terminal's width, the upload's bar shortened and then its
// figures, and any other line cut at the edge.
#pragma once

#include "cli/Terminal.h"
#include "engine/MessageBox.h"
#include "engine/ProgressView.h"
#include "run/Bench.h"

#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace fw::cli {

// A message's lines on one: the blank line between a message and the port it
// names becomes a space ("was lost.\n\nCOM7 (...)" -> "was lost. COM7 (...)").
std::string OneLine(const std::string& text);

// The design width of a full bar, in twips: the engine draws the bars as a
// fraction of it.
inline constexpr double kFullBarTwips = 2295;

// A page caption in the form a plain line shows it: waiting dots dropped and
// "..." put back on a status that is still going on ("Erasing." and
// "Erasing...." both give "Erasing...").
std::string PlainStatus(const std::string& caption);

class ConsoleView : public IProgressView {
public:
    using Clock = std::chrono::steady_clock;

    // `out` takes the progress; `terminal`: it is a terminal. A terminal view
    // without `out` draws nothing itself: LiveLine() is its line, for a view
    // of many runs to draw.
    ConsoleView(std::FILE* out, bool terminal);
    ~ConsoleView() override;
    ConsoleView(const ConsoleView&) = delete;
    ConsoleView& operator=(const ConsoleView&) = delete;

    void SetFigures(std::function<UploadCount()> figures) { figures_ = std::move(figures); }
    // Each tick of the engine's clock.
    void SetOnTick(std::function<void()> onTick) { onTick_ = std::move(onTick); }
    // For tests: the clock the speed is measured with.
    void SetClock(std::function<Clock::time_point()> now) { now_ = std::move(now); }
    // The terminal's width in columns (0: unlimited); the live line is redrawn
    // to fit it.
    void SetColumns(int columns);
    // Put ahead of every plain line ("COM7: "), for the runs of a batch.
    void SetPrefix(std::string prefix) { prefix_ = std::move(prefix); }
    // The live line as a terminal shows it, fitted to the width.
    std::string LiveLine() const { return Fit(liveText_); }
    // Follows the width of the terminal on `fd` (TerminalColumns): a change
    // of size reaches the view through the event loop (WatchTerminalSize).
    void FollowTerminalWidth(int fd);

    // The page's load: fresh rows, the clock running at its design interval.
    void Load();
    // The page's unload: the clock stops.
    void Unload();
    // Ends a live line, so that other text starts on a line of its own.
    void BreakLine();
    // One tick of the clock: the engine's, then the upload line.
    void Tick();
    QTimer& Timer() { return timer_; }

    void SetCaption(StatusLabel label, const std::string& caption) override;
    std::string Caption(StatusLabel label) const override;
    void SetForeColor(StatusLabel, Rgb) override {}
    void SetVisible(StatusLabel, bool) override {}
    void SetBarVisible(ProgressBar bar, bool visible) override;
    void SetBarWidth(ProgressBar bar, double twips) override;
    double BarWidth(ProgressBar bar) const override;
    void SetTimerInterval(int ms) override;

private:
    // The upload as the bars show it: records go out (the Upload row), then
    // the last confirmations come in (the Verify row).
    enum class Phase { None, Sending, Confirming };

    void ShowRow(std::size_t row);
    void ShowProgress(bool force);
    std::string ProgressLine() const;
    std::string Summary() const;
    void EndPhase(Phase next);
    void Live(const std::string& text, std::size_t row);
    std::string Fit(const std::string& text) const;

    std::FILE* out_;
    bool terminal_;
    std::function<UploadCount()> figures_;
    std::function<void()> onTick_;
    std::function<Clock::time_point()> now_;

    std::array<std::string, kStatusLabelCount> captions_{};
    std::array<std::string, kStatusLabelCount> shown_{}; // last plain status written
    std::array<double, 2> bars_{kFullBarTwips, kFullBarTwips};
    std::string prefix_;      // ahead of every plain line
    int columns_ = 0;         // the terminal's width; 0: unlimited
    std::string liveText_;    // the live line as last drawn, before fitting
    bool live_ = false;       // a live line is on screen and not yet ended
    std::size_t liveRow_ = 0; // ... and the row it shows
    Phase phase_ = Phase::None;
    bool uploaded_ = false; // an upload ran since the load
    Clock::time_point uploadStart_{};
    Clock::time_point uploadEnd_{};
    Clock::time_point lastDrawn_{};
    std::int64_t lastTenth_ = -1; // plain lines: the last tenth reported in this phase
    UploadCount last_{};          // as last asked for

    bool loaded_ = false;
    QTimer timer_;
    std::unique_ptr<QObject> resized_; // a change of size, when following a terminal
    int widthFd_ = -1;
};

// What the wizard shows in a box goes to `err` as "title: text" on one line,
// and the run goes on as the box's OK would.
class ConsoleMessageBox : public IMessageBox {
public:
    ConsoleMessageBox(std::FILE* err, ConsoleView* view) : err_(err), view_(view) {}
    void Show(const std::string& text, MsgIcon icon, const std::string& title) override;
    // Put ahead of every line ("COM7: "), for the runs of a batch.
    void SetPrefix(std::string prefix) { prefix_ = std::move(prefix); }
    // Called before a line is written (a batch's terminal lines make room).
    void SetBeforeShow(std::function<void()> before) { before_ = std::move(before); }

private:
    std::FILE* err_;
    ConsoleView* view_;
    std::string prefix_;
    std::function<void()> before_;
};

} // namespace fw::cli
