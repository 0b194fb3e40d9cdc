#include "cli/ConsoleView.h"

#include "settings/Text.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <utility>

namespace fw::cli {
namespace {

constexpr int kDesignIntervalMs = 10;
constexpr int kBarCells = 24;
// A bar shorter than this tells little: the figures are shortened first.
constexpr int kMinBarCells = 10;

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

template <typename... Args> std::string Format(const char* format, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

std::string MinutesSeconds(double s) {
    const auto whole = static_cast<std::int64_t>(std::ceil(std::max(0.0, s)));
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64, whole / 60, whole % 60);
    return text;
}

} // namespace

std::string OneLine(const std::string& text) {
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
    // Names and addresses in it came from the user or a file: nothing in
    // them may act on the terminal.
    return Printable(line);
}

std::string PlainStatus(const std::string& caption) {
    const std::size_t end = caption.find_last_not_of('.');
    std::string status = end == std::string::npos ? std::string() : caption.substr(0, end + 1);
    if (!status.empty() && !IsFinal(status)) {
        status += "...";
    }
    return status;
}

ConsoleView::ConsoleView(std::FILE* out, bool terminal)
    : out_(out), terminal_(terminal), now_([] { return Clock::now(); }) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Tick(); });
}

ConsoleView::~ConsoleView() {
    Unload();
    BreakLine();
}

void ConsoleView::SetColumns(int columns) {
    columns_ = std::max(0, columns);
    if (terminal_ && live_) {
        Live(phase_ != Phase::None ? ProgressLine() : liveText_, liveRow_);
    }
}

void ConsoleView::FollowTerminalWidth(int fd) {
    widthFd_ = fd;
    SetColumns(TerminalColumns(fd));
    if (!terminal_ || resized_) {
        return;
    }
    resized_ = WatchTerminalSize(fd, [this] { SetColumns(TerminalColumns(widthFd_)); });
}

void ConsoleView::Load() {
    captions_.fill({});
    shown_.fill({});
    bars_ = {kFullBarTwips, kFullBarTwips};
    phase_ = Phase::None;
    uploaded_ = false;
    loaded_ = true;
    SetCaption(StatusLabel::Connection, "Connecting...");
    timer_.start(kDesignIntervalMs);
}

void ConsoleView::Unload() {
    timer_.stop();
    loaded_ = false;
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
    if (live_ && out_ != nullptr) {
        WriteProgress(out_, "\n");
        live_ = false;
    }
}

void ConsoleView::Live(const std::string& text, std::size_t row) {
    if (out_ != nullptr) {
        WriteProgress(out_, (live_ && liveRow_ != row ? "\n\r\033[K" : "\r\033[K") + Fit(text));
    }
    live_ = true;
    liveRow_ = row;
    liveText_ = text;
}

std::string ConsoleView::Fit(const std::string& text) const {
    // One column short of the edge: some terminals wrap on the last one.
    const auto room = static_cast<std::size_t>(std::max(1, columns_ - 1));
    if (columns_ <= 0 || text.size() <= room) {
        return text;
    }
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut; // not inside a UTF-8 sequence
    }
    return text.substr(0, cut);
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
        WriteProgress(out_, prefix_ + text + "\n");
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
    const UploadCount& f = last_;
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
    const std::string caption = prefix_ + kRowCaptions[static_cast<std::size_t>(row)];
    std::string lines;
    if (sending && lastTenth_ < 0) {
        lines += Format("%s: sending %" PRId64 " records (%" PRId64 " bytes)\n", caption.c_str(),
                        f.total, f.fileBytes);
    }
    if (tenth > 0 || !sending) {
        if (sending) {
            lines += Format("%s: %" PRId64 "%% sent (%" PRId64 "/%" PRId64 " records, %" PRId64
                            " confirmed)\n",
                            caption.c_str(), tenth * 10, f.sent, f.total, f.confirmed);
        } else {
            lines += Format("%s: %" PRId64 "%% confirmed (%" PRId64 "/%" PRId64 " records)\n",
                            caption.c_str(), tenth * 10, f.confirmed, f.total);
        }
    }
    lastTenth_ = tenth;
    if (!lines.empty()) {
        WriteProgress(out_, lines);
    }
}

std::string ConsoleView::ProgressLine() const {
    const UploadCount& f = last_;
    const double total = static_cast<double>(std::max<std::int64_t>(1, f.total));
    const bool sending = phase_ == Phase::Sending;
    const std::string prefix = std::string(kRowCaptions[static_cast<std::size_t>(
                                   sending ? StatusLabel::Upload : StatusLabel::Verify)]) +
                               ": ";
    // The figures in three forms, the most first: records and the speed, the
    // records sent and the time left, the count alone. An empty speed and
    // time: not known yet.
    const auto forms = [&](std::int64_t sent, std::int64_t confirmed, const std::string& rate,
                           const std::string& left) {
        const std::string count =
            std::to_string(sending ? sent : confirmed) + "/" + std::to_string(f.total);
        std::string counts = count + (sending ? " sent" : " confirmed");
        std::string full = counts;
        if (sending) {
            full += ", " + std::to_string(confirmed) + " confirmed";
        }
        if (!left.empty()) {
            full += ", " + rate + ", " + left;
            counts += ", " + left;
        }
        return std::array<std::string, 3>{full, counts, count};
    };
    // The speed is the analyser's: records go out ahead of the line into the
    // port's buffers, but a confirmed record has crossed it.
    std::string rate;
    std::string left;
    const double elapsed = std::chrono::duration<double>(now_() - uploadStart_).count();
    if (elapsed > 0.2 && f.confirmed > 0) {
        const double done = std::min(1.0, f.confirmed / total);
        rate = Rate(done * static_cast<double>(f.fileBytes) / elapsed);
        left = MinutesSeconds(elapsed / done - elapsed) + " left";
    }
    const std::array<std::string, 3> shown = forms(f.sent, f.confirmed, rate, left);

    // The widest bar (up to kBarCells) that fits with the most figures. The
    // bar is sized for the widest the figures may grow to, so that it keeps
    // its length through the upload.
    int cells = kBarCells;
    std::size_t form = 0;
    if (columns_ > 0) {
        const std::array<std::string, 3> widest =
            forms(f.total, f.total, "999.9 kB/s", "99:59 left");
        const int room = columns_ - 1 - static_cast<int>(prefix.size()) - 3; // "[", "] "
        for (form = 0; form < widest.size(); ++form) {
            cells = std::min(kBarCells, room - static_cast<int>(widest[form].size()));
            if (cells >= kMinBarCells) {
                break;
            }
        }
        if (form == widest.size()) {
            return prefix + shown.back(); // cut at the edge when even this is too wide
        }
    }
    const int sentCells = static_cast<int>(cells * std::min(1.0, f.sent / total));
    const int confirmedCells =
        std::min(sentCells, static_cast<int>(cells * std::min(1.0, f.confirmed / total)));
    std::string bar = "[";
    bar += std::string(static_cast<std::size_t>(confirmedCells), '#');
    bar += std::string(static_cast<std::size_t>(sentCells - confirmedCells), '>');
    bar += std::string(static_cast<std::size_t>(cells - sentCells), '.');
    bar += "] ";
    return prefix + bar + shown[form];
}

std::string ConsoleView::Summary() const {
    const UploadCount& f = last_;
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
    if (loaded_ && timer_.interval() != ms) {
        timer_.setInterval(ms);
    }
}

void ConsoleMessageBox::Show(const std::string& text, MsgIcon, const std::string& title) {
    if (view_ != nullptr) {
        view_->BreakLine();
    }
    if (before_) {
        before_();
    }
    WriteProgress(err_, prefix_ + title + ": " + OneLine(text) + "\n");
}

} // namespace fw::cli
