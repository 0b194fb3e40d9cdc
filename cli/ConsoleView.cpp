#include "cli/ConsoleView.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

namespace fw::cli {
namespace {

constexpr int kDesignIntervalMs = 10;
constexpr int kBarCells = 24;
// A terminal line is redrawn at most this often during the upload.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

bool IsFinal(const std::string& status) {
    return status == "OK" || status == "FAILED" || status == "SKIPPED";
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

std::string Rate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1000) {
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1000);
    } else {
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    }
    return text;
}

std::string MinutesSeconds(double s) {
    const auto whole = static_cast<std::int64_t>(std::ceil(std::max(0.0, s)));
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64, whole / 60, whole % 60);
    return text;
}

} // namespace

std::string PlainStatus(const std::string& caption) {
    const std::size_t end = caption.find_last_not_of('.');
    std::string status = end == std::string::npos ? std::string() : caption.substr(0, end + 1);
    if (!status.empty() && !IsFinal(status)) {
        status += "...";
    }
    return status;
}

ConsoleView::ConsoleView(std::FILE* out, bool terminal,
                         std::function<std::unique_ptr<ISerialPort>()> makePort)
    : out_(out), terminal_(terminal), makePort_(std::move(makePort)),
      now_([] { return Clock::now(); }),
      closed_(std::make_unique<ClosedSerialPort>("No run in progress")) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Tick(); });
}

ConsoleView::~ConsoleView() {
    Unload();
    BreakLine();
}

void ConsoleView::Load() {
    captions_.fill({});
    shown_.fill({});
    bars_ = {kFullBarTwips, kFullBarTwips};
    phase_ = Phase::None;
    uploaded_ = false;
    serial_ = makePort_ ? makePort_() : nullptr;
    SetCaption(StatusLabel::Connection, "Connecting...");
    timer_.start(kDesignIntervalMs);
}

void ConsoleView::Unload() {
    timer_.stop();
    if (serial_) {
        serial_->SetOnComm(nullptr);
        serial_.reset();
    }
}

void ConsoleView::Tick() {
    if (onTick_) {
        onTick_();
    }
    // The confirmations of the last records move no bar: the clock shows them.
    if (phase_ != Phase::None) {
        ShowProgress(false);
    }
}

void ConsoleView::BreakLine() {
    if (live_) {
        std::fputs("\n", out_);
        std::fflush(out_);
        live_ = false;
    }
}

void ConsoleView::Live(const std::string& text, std::size_t row) {
    if (live_ && liveRow_ != row) {
        std::fputs("\n", out_);
    }
    std::fprintf(out_, "\r\033[K%s", text.c_str());
    std::fflush(out_);
    live_ = true;
    liveRow_ = row;
}

void ConsoleView::SetCaption(StatusLabel label, const std::string& caption) {
    const auto row = static_cast<std::size_t>(label);
    if (captions_[row] == caption) {
        return;
    }
    captions_[row] = caption;
    if (label == StatusLabel::Upload && phase_ == Phase::Sending) {
        // Every record has gone out ("OK"), or the upload failed under its bar.
        EndPhase(caption == "OK" ? Phase::Confirming : Phase::None);
    }
    ShowRow(row);
    if (phase_ == Phase::Confirming && label == StatusLabel::Upload) {
        ShowProgress(true);
    }
}

void ConsoleView::ShowRow(std::size_t row) {
    std::string text = std::string(kRowCaptions[row]) + ": ";
    // The upload's figures go with the row that ends it.
    const bool summary =
        row == static_cast<std::size_t>(StatusLabel::Verify) && uploaded_ && captions_[row] == "OK";
    if (terminal_) {
        text += captions_[row];
    } else {
        const std::string status = PlainStatus(captions_[row]);
        if (status.empty() || status == shown_[row]) {
            return;
        }
        shown_[row] = status;
        text += status;
    }
    if (summary) {
        text += " (" + Summary() + ")";
    }
    if (terminal_) {
        Live(text, row);
    } else {
        std::fprintf(out_, "%s\n", text.c_str());
        std::fflush(out_);
    }
}

std::string ConsoleView::Caption(StatusLabel label) const {
    return captions_[static_cast<std::size_t>(label)];
}

void ConsoleView::SetBarVisible(ProgressBar bar, bool visible) {
    if (bar == ProgressBar::Bar1 && visible && phase_ == Phase::None) {
        phase_ = Phase::Sending;
        uploaded_ = true;
        uploadStart_ = uploadEnd_ = now_();
        lastTenth_ = -1;
        last_ = {};
        ShowProgress(true);
    } else if (bar == ProgressBar::Bar2 && !visible && phase_ != Phase::None) {
        // The confirm step, or the failed state.
        EndPhase(Phase::None);
    }
}

void ConsoleView::EndPhase(Phase next) {
    if (figures_) {
        last_ = figures_();
    }
    if (phase_ == Phase::Confirming || next == Phase::None) {
        uploadEnd_ = now_();
    }
    phase_ = next;
    lastTenth_ = -1;
}

void ConsoleView::SetBarWidth(ProgressBar bar, double twips) {
    bars_[bar == ProgressBar::Bar1 ? 0 : 1] = std::max(0.0, twips);
    if (phase_ != Phase::None) {
        ShowProgress(false);
    }
}

double ConsoleView::BarWidth(ProgressBar bar) const {
    return bars_[bar == ProgressBar::Bar1 ? 0 : 1];
}

void ConsoleView::ShowProgress(bool force) {
    if (figures_) {
        last_ = figures_();
    }
    const UploadFigures& f = last_;
    const bool sending = phase_ == Phase::Sending;
    const StatusLabel row = sending ? StatusLabel::Upload : StatusLabel::Verify;
    if (terminal_) {
        const Clock::time_point now = now_();
        if (!force && now - lastDrawn_ < kRedrawEvery) {
            return;
        }
        lastDrawn_ = now;
        Live(ProgressLine(), static_cast<std::size_t>(row));
        return;
    }
    if (f.total <= 0) {
        return;
    }
    const std::int64_t tenth =
        std::min<std::int64_t>(10, (sending ? f.sent : f.confirmed) * 10 / f.total);
    if (tenth == lastTenth_) {
        return;
    }
    const char* caption = kRowCaptions[static_cast<std::size_t>(row)];
    if (sending && lastTenth_ < 0) {
        std::fprintf(out_, "%s: sending %" PRId64 " records (%" PRId64 " bytes)\n", caption,
                     f.total, f.fileBytes);
    }
    if (tenth > 0 || !sending) {
        if (sending) {
            std::fprintf(out_,
                         "%s: %" PRId64 "%% sent (%" PRId64 "/%" PRId64 " records, %" PRId64
                         " confirmed)\n",
                         caption, tenth * 10, f.sent, f.total, f.confirmed);
        } else {
            std::fprintf(out_, "%s: %" PRId64 "%% confirmed (%" PRId64 "/%" PRId64 " records)\n",
                         caption, tenth * 10, f.confirmed, f.total);
        }
    }
    lastTenth_ = tenth;
    std::fflush(out_);
}

std::string ConsoleView::ProgressLine() const {
    const UploadFigures& f = last_;
    const double total = static_cast<double>(std::max<std::int64_t>(1, f.total));
    const int sentCells = static_cast<int>(kBarCells * std::min(1.0, f.sent / total));
    const int confirmedCells =
        std::min(sentCells, static_cast<int>(kBarCells * std::min(1.0, f.confirmed / total)));
    std::string bar = "[";
    bar += std::string(static_cast<std::size_t>(confirmedCells), '#');
    bar += std::string(static_cast<std::size_t>(sentCells - confirmedCells), '>');
    bar += std::string(static_cast<std::size_t>(kBarCells - sentCells), '.');
    bar += "]";

    char text[200];
    if (phase_ == Phase::Sending) {
        std::snprintf(text, sizeof text,
                      "%s: %s %" PRId64 "/%" PRId64 " sent, %" PRId64 " confirmed",
                      kRowCaptions[static_cast<std::size_t>(StatusLabel::Upload)], bar.c_str(),
                      f.sent, f.total, f.confirmed);
    } else {
        std::snprintf(text, sizeof text, "%s: %s %" PRId64 "/%" PRId64 " confirmed",
                      kRowCaptions[static_cast<std::size_t>(StatusLabel::Verify)], bar.c_str(),
                      f.confirmed, f.total);
    }
    std::string line = text;
    // The speed is the analyser's: records go out ahead of the line into the
    // port's buffers, but a confirmed record has crossed it.
    const double elapsed = std::chrono::duration<double>(now_() - uploadStart_).count();
    if (elapsed > 0.2 && f.confirmed > 0) {
        const double done = std::min(1.0, f.confirmed / total);
        const double rate = done * static_cast<double>(f.fileBytes) / elapsed;
        line += ", " + Rate(rate) + ", " + MinutesSeconds(elapsed / done - elapsed) + " left";
    }
    return line;
}

std::string ConsoleView::Summary() const {
    const UploadFigures& f = last_;
    const double elapsed = std::chrono::duration<double>(uploadEnd_ - uploadStart_).count();
    std::string text = std::to_string(f.sent) + " records, " + std::to_string(f.fileBytes) +
                       " bytes in " + Seconds(elapsed);
    if (elapsed > 0) {
        text += ", " + Rate(static_cast<double>(f.fileBytes) / elapsed);
    }
    return text;
}

void ConsoleView::SetTimerInterval(int ms) {
    // A running QTimer restarts on every setInterval, which would stretch each
    // period by the tick's own time: only a real change goes through.
    if (serial_ && timer_.interval() != ms) {
        timer_.setInterval(ms);
    }
}

ISerialPort& ConsoleView::afComm1() {
    return serial_ ? *serial_ : *closed_;
}

void ConsoleMessageBox::Show(const std::string& text, MsgIcon, const std::string& title) {
    if (view_ != nullptr) {
        view_->BreakLine();
    }
    // One line: the blank line between a message and the port it names
    // becomes a space.
    std::string line;
    bool gap = false;
    for (const char c : text) {
        if (c == '\n' || c == '\r') {
            gap = true;
            continue;
        }
        if (gap && !line.empty()) {
            line += ' ';
        }
        gap = false;
        line += c;
    }
    std::fprintf(err_, "%s: %s\n", title.c_str(), line.c_str());
    std::fflush(err_);
}

} // namespace fw::cli
