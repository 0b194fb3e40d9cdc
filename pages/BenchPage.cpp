#include "pages/BenchPage.h"

#include "engine/FirmwareCheck.h"
#include "engine/RecordUpload.h"
#include "link/usb/ConverterList.h"
#include "pages/BenchNames.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cstdio>

namespace fw {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRedrawMs = 100;
constexpr Rgb kGrey{96, 96, 96};

Rgb OutcomeColour(const BenchRun& run) {
    if (run.Phase() != BenchPhase::Ended) {
        return kBlack;
    }
    switch (run.Result()) {
    case RunResult::Success:
        return kGreen;
    case RunResult::Failed:
    case RunResult::NoLink:
        return kRed;
    default:
        return kGrey;
    }
}

bool Ok(const BenchRun* run) {
    return run != nullptr && run->Phase() == BenchPhase::Ended &&
           run->Result() == RunResult::Success;
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    std::string squeezed;
    for (char c : text) {
        if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' ')) {
            squeezed += c;
        }
    }
    return squeezed;
}

void SetColour(QLabel* label, Rgb colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(colour.r, colour.g, colour.b));
    label->setPalette(palette);
}

} // namespace

// One run's screen: the rows the engine writes (the step is the row written
// last), its timer, and its message boxes, which only note their text.
class BenchPage::Screen : public IRunScreen, public IProgressView, public IMessageBox {
public:
    Screen() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
            if (tick_) {
                tick_();
            }
        });
    }
    IProgressView& View() override { return *this; }
    IMessageBox& Box() override { return *this; }
    void Load(std::function<void()> tick) override {
        tick_ = std::move(tick);
        timer_.start();
    }
    void Unload() override {
        timer_.stop();
        tick_ = nullptr;
    }

    void SetCaption(StatusLabel label, const std::string& caption) override {
        captions_[static_cast<std::size_t>(label)] = caption;
        if (!caption.empty()) {
            last_ = label;
        }
    }
    std::string Caption(StatusLabel label) const override {
        return captions_[static_cast<std::size_t>(label)];
    }
    void SetForeColor(StatusLabel, Rgb) override {}
    void SetVisible(StatusLabel, bool) override {}
    void SetBarVisible(ProgressBar, bool) override {}
    void SetBarWidth(ProgressBar bar, double twips) override {
        bars_[bar == ProgressBar::Bar1 ? 0 : 1] = twips;
    }
    double BarWidth(ProgressBar bar) const override {
        return bars_[bar == ProgressBar::Bar1 ? 0 : 1];
    }
    void SetTimerInterval(int ms) override {
        if (timer_.interval() != ms) {
            timer_.setInterval(ms);
        }
    }
    void Show(const std::string& text, MsgIcon, const std::string&) override { box_ = text; }

    std::string Step() const {
        return std::string(kRowCaptions[static_cast<std::size_t>(last_)]) + ": " +
               captions_[static_cast<std::size_t>(last_)];
    }
    const std::string& LastBox() const { return box_; }

private:
    QTimer timer_;
    std::function<void()> tick_;
    std::array<std::string, kStatusLabelCount> captions_{"Connecting..."};
    std::array<double, 2> bars_{};
    StatusLabel last_ = StatusLabel::Connection;
    std::string box_;
};

// What a run is doing: the step of the engine's state, or while it connects
// what the connection row says.
static std::string StepOf(const BenchRun& run, const BenchPage::Screen& screen) {
    using enum UpdateState;
    const UpdateState state = run.Run()->engine.State().nUpdateState;
    const auto row = [](StatusLabel label) {
        return std::string(kRowCaptions[static_cast<std::size_t>(label)]) + "...";
    };
    switch (state) {
    case Idle:
        return screen.Step();
    case Start:
    case WaitReboot:
    case EnterBootloader:
    case WaitBanner:
        return row(StatusLabel::Bootloader);
    case EraseFlash:
    case ErasingFlash:
        return row(StatusLabel::Erase);
    case EraseEeprom:
    case ErasingEeprom:
        return row(StatusLabel::EraseEEPROM);
    case EraseRam:
    case ErasingRam:
        return row(StatusLabel::EraseRAM);
    case UploadStart:
    case Uploading:
        return row(StatusLabel::Upload);
    case WaitAcks:
        return row(StatusLabel::Verify);
    default:
        return row(StatusLabel::RUN);
    }
}

struct BenchPage::Row {
    std::string name;
    bool station = false;   // added by the station
    bool unplugged = false; // the station saw its port go
    const BenchRun* run = nullptr;
    std::string box;   // the last message box of its run
    std::string speed; // "  7.4 kB/s" as last shown
    std::optional<Clock::time_point> firstConfirmed;
    std::int64_t confirmedAtFirst = 0;
    QLabel* nameLabel = nullptr;
    QLabel* step = nullptr;
    QProgressBar* bar = nullptr;
    QLabel* result = nullptr;
};

// --- The checklist ------------------------------------------------------------

std::optional<std::vector<std::string>>
PickBenchWithDialog(QWidget* parent, const std::vector<BenchEntry>& entries) {
    QDialog dialog(parent);
    dialog.setObjectName("dlgBench");
    dialog.setWindowTitle("Bench");
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel("Flash these analysers at once:", &dialog));
    auto* list = new QListWidget(&dialog);
    list->setObjectName("lstBench");
    const auto add = [list](const std::string& label, const std::string& name, bool chosen) {
        auto* item = new QListWidgetItem(QString::fromStdString(label), list);
        item->setData(Qt::UserRole, QString::fromStdString(name));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(chosen ? Qt::Checked : Qt::Unchecked);
    };
    for (const BenchEntry& e : entries) {
        add(e.label, e.name, e.chosen);
    }
    layout->addWidget(list);
    auto* addressRow = new QHBoxLayout;
    addressRow->addWidget(new QLabel("Network Address :", &dialog));
    auto* address = new QLineEdit(&dialog);
    address->setObjectName("txtBenchAddress");
    addressRow->addWidget(address);
    auto* addButton = new QPushButton("&Add", &dialog);
    addressRow->addWidget(addButton);
    layout->addLayout(addressRow);
    QObject::connect(addButton, &QPushButton::clicked, &dialog, [&] {
        const std::string typed = address->text().trimmed().toStdString();
        if (!typed.empty()) {
            add(typed, typed, true);
            address->clear();
        }
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(TwipsToPx(4800), TwipsToPx(4800));
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    std::vector<std::string> chosen;
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->checkState() == Qt::Checked) {
            chosen.push_back(list->item(i)->data(Qt::UserRole).toString().toStdString());
        }
    }
    return chosen;
}

// --- The page ------------------------------------------------------------------

BenchPage::BenchPage(Services services) : QtPage("frmBench", 10800, 5505), s_(std::move(services)) {
}

BenchPage::~BenchPage() {
    UnloadNow();
}

void BenchPage::BuildControls(QWidget* window) {
    auto* frame = new QGroupBox(window);
    frame->setObjectName("fraBench");
    PlaceTwips(frame, 120, 0, 10575, 4455);

    const std::array<std::pair<const char*, int>, 4> heads{
        {{"Analyser", 240}, {"Step", 1560}, {"Confirmed records", 4140}, {"Result", 6060}}};
    for (const auto& [text, left] : heads) {
        PlaceTwips(MakeLabel("lblBenchHead", text, frame), left, 120, 1800, 255);
    }
    auto* scroll = new QScrollArea(frame);
    scroll->setObjectName("scrBenchRows");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    PlaceTwips(scroll, 120, 390, 10380, 3240);
    rowArea_ = new QWidget;
    rowArea_->setObjectName("rowArea");
    // The bars in one style everywhere: some platform styles draw a bar with
    // text as text alone.
    barStyle_ = QStyleFactory::create("Fusion");
    if (barStyle_ != nullptr) {
        barStyle_->setParent(window);
    }
    auto* grid = new QGridLayout(rowArea_);
    grid->setContentsMargins(TwipsToPx(120), 0, 0, 0);
    grid->setHorizontalSpacing(TwipsToPx(60));
    grid->setVerticalSpacing(TwipsToPx(30));
    grid->setColumnMinimumWidth(0, TwipsToPx(1260));
    grid->setColumnMinimumWidth(1, TwipsToPx(2520));
    grid->setColumnMinimumWidth(2, TwipsToPx(1860));
    grid->setColumnStretch(3, 1);
    grid->setAlignment(Qt::AlignTop);
    scroll->setWidget(rowArea_);

    count_ = MakeLabel("lblBenchCount", "", frame);
    PlaceTwips(count_, 240, 3720, 10200, 255);
    station_ = new QCheckBox("&Station: flash each analyser plugged in", frame);
    station_->setObjectName("chkStation");
    PlaceTwips(station_, 240, 4050, 3975, 255);
    stationKind_ = new QComboBox(frame);
    stationKind_->setObjectName("cboStationKind");
    stationKind_->addItems({"Serial ports", "USB converters"});
    PlaceTwips(stationKind_, 4320, 4020, 2055, 315);
    const auto stationChanged = [this] {
        SetStation(station_->isChecked(), stationKind_->currentIndex() == 1);
    };
    QObject::connect(station_, &QCheckBox::toggled, station_, stationChanged);
    QObject::connect(stationKind_, &QComboBox::activated, stationKind_, stationChanged);

    again_ = AddButton(window, "btnAgain", "Flash &Again", 7770, 4560, 1455, 375,
                       [this] { btnAgain_Click(); });
    again_->setEnabled(false);
    auto* previous = AddButton(window, "btnPrevious", "&Previous", 9345, 4560, 1335, 375,
                               [this] { btnPrevious_Click(); });
    previous->setFocus();

    redraw_ = new QTimer(window);
    redraw_->setInterval(kRedrawMs);
    QObject::connect(redraw_, &QTimer::timeout, redraw_, [this] { Redraw(); });
    poll_ = new QTimer(window);
    poll_->setInterval(kStationPollMs);
    QObject::connect(poll_, &QTimer::timeout, poll_, [this] { LookAtPorts(); });
}

void BenchPage::FormUnload() {
    toLaunch_.clear();
    if (bench_) {
        bench_->StopAll();
        bench_->on = {};
    }
    bench_.reset();
    redraw_->stop();
    poll_->stop();
    rows_.clear();
    byRun_.clear();
    gridRows_ = 0;
    watch_.Reset();
    rowArea_ = nullptr;
    barStyle_ = nullptr;
    count_ = nullptr;
    again_ = nullptr;
    station_ = nullptr;
    stationKind_ = nullptr;
    redraw_ = nullptr;
    poll_ = nullptr;
}

void BenchPage::QueryClose() {
    toLaunch_.clear();
    if (bench_) {
        bench_->StopAll();
    }
}

void BenchPage::StartBench() {
    EnsureLoaded();
    // The page is wider than the one whose place it took: kept on the screen.
    if (const QScreen* screen = Window()->screen()) {
        const QRect room = screen->availableGeometry();
        const QRect frame = Window()->frameGeometry();
        QPoint at = Window()->pos();
        at.rx() -= std::max(0, frame.right() - room.right());
        at.ry() -= std::max(0, frame.bottom() - room.bottom());
        at.rx() = std::max(at.x(), room.left());
        at.ry() = std::max(at.y(), room.top());
        Window()->move(at);
    }
    stationDone_ = stationOk_ = 0;
    // The file once, before any analyser is touched; a refused file reaches none.
    refused_ = false;
    checked_.reset();
    if (s_.choices.operations.bOpUpload != 0) {
        auto check = std::make_shared<const FirmwareCheck>(CheckFirmwareFile(s_.choices.filename));
        if (!check->ok) {
            refused_ = true;
            for (const std::string& name : names_) {
                AddRow(name, false).result->setText("NOT STARTED");
            }
            UpdateCount();
            station_->setEnabled(false);
            // Once the page has taken over, as the single run shows it.
            QTimer::singleShot(0, rowArea_, [this, message = RefusalMessage(*check)] {
                s_.box.Show(message, MsgIcon::Critical, kTitleLoadFirmwareError);
            });
            return;
        }
        checked_ = std::move(check); // one image, which every run sends
    }
    station_->setEnabled(true);
    bench_ = std::make_unique<Bench>(
        Bench::Services{s_.makers, [this](const BenchRun& run) { return MakeScreen(run); },
                        [](std::function<void()> call) {
                            QTimer::singleShot(0, QCoreApplication::instance(), std::move(call));
                        },
                        [] { return EngineClock::now(); }, s_.runLog, true});
    bench_->on.ended = [this](BenchRun& run) { Ended(run); };
    bench_->on.idle = [this] { UpdateCount(); };
    bench_->Start();
    // Every row at once; the runs one per turn of the event loop, so that
    // opening many ports never holds the window up for long.
    for (const std::string& name : names_) {
        toLaunch_.push_back(&AddRow(name, false));
    }
    LaunchNext();
    redraw_->start();
    UpdateCount();
    // A bench of none is a station.
    if (station_->isChecked() || names_.empty()) {
        SetStation(true, watchConverters_);
    }
}

BenchPage::Row& BenchPage::AddRow(const std::string& name, bool station) {
    auto row = std::make_unique<Row>();
    row->name = name;
    row->station = station;
    auto* grid = static_cast<QGridLayout*>(rowArea_->layout());
    const int at = gridRows_++;
    row->nameLabel = new QLabel(QString::fromStdString(name), rowArea_);
    row->nameLabel->setObjectName("lblBenchName");
    row->nameLabel->setFixedWidth(TwipsToPx(1260));
    row->step = new QLabel(rowArea_);
    row->step->setObjectName("lblBenchStep");
    row->step->setFixedWidth(TwipsToPx(2520));
    row->bar = new QProgressBar(rowArea_);
    row->bar->setObjectName("barBench");
    if (barStyle_ != nullptr) {
        row->bar->setStyle(barStyle_);
    }
    row->bar->setFixedHeight(TwipsToPx(240));
    row->bar->setMaximumWidth(TwipsToPx(1860));
    row->bar->setRange(0, 1);
    row->bar->setValue(0);
    row->bar->setFormat("");
    row->result = new QLabel(rowArea_);
    row->result->setObjectName("lblBenchResult");
    grid->addWidget(row->nameLabel, at, 0);
    grid->addWidget(row->step, at, 1);
    grid->addWidget(row->bar, at, 2);
    grid->addWidget(row->result, at, 3);
    rows_.push_back(std::move(row));
    return *rows_.back();
}

void BenchPage::LaunchNext() {
    if (toLaunch_.empty() || !bench_) {
        return;
    }
    Row* row = toLaunch_.front();
    toLaunch_.pop_front();
    Launch(*row);
    if (!toLaunch_.empty()) {
        QTimer::singleShot(0, rowArea_, [this] { LaunchNext(); });
    }
}

void BenchPage::Launch(Row& row) {
    row.box.clear();
    row.speed.clear();
    row.firstConfirmed.reset();
    row.result->clear();
    row.result->setToolTip({});
    byRun_[bench_->Runs().size()] = &row; // the index the run is about to get
    RunConfig config = BenchRunConfig(row.name, s_.choices);
    config.checked = checked_;
    row.run = &bench_->Add(row.name, std::move(config));
}

std::unique_ptr<IRunScreen> BenchPage::MakeScreen(const BenchRun&) {
    return std::make_unique<Screen>();
}

void BenchPage::Redraw() {
    for (const auto& row : rows_) {
        const BenchRun* run = row->run;
        if (run == nullptr || run->Phase() != BenchPhase::Running) {
            continue;
        }
        const auto* screen = static_cast<const Screen*>(run->Screen());
        if (screen == nullptr) {
            continue;
        }
        row->step->setText(QString::fromStdString(StepOf(*run, *screen)));
        row->box = screen->LastBox();
        const UploadCount upload = run->Upload();
        if (upload.total <= 0) {
            continue;
        }
        row->bar->setRange(0, static_cast<int>(upload.total));
        row->bar->setValue(static_cast<int>(std::min(upload.confirmed, upload.total)));
        std::string text = std::to_string(upload.confirmed) + "/" + std::to_string(upload.total);
        if (upload.confirmed > 0 && !row->firstConfirmed) {
            row->firstConfirmed = Clock::now();
            row->confirmedAtFirst = upload.confirmed;
        }
        if (row->firstConfirmed) {
            const double seconds =
                std::chrono::duration<double>(Clock::now() - *row->firstConfirmed).count();
            if (seconds > 0.2) {
                const double bytes = static_cast<double>(upload.confirmed - row->confirmedAtFirst) *
                                     static_cast<double>(upload.fileBytes) /
                                     static_cast<double>(upload.total);
                char speed[32];
                std::snprintf(speed, sizeof speed, "  %.1f kB/s", bytes / seconds / 1000.0);
                row->speed = speed;
                text += speed;
            }
        }
        row->bar->setFormat(QString::fromStdString(text));
    }
    UpdateCount();
}

void BenchPage::Ended(BenchRun& run) {
    const auto found = byRun_.find(run.index);
    if (found == byRun_.end() || rowArea_ == nullptr) {
        return;
    }
    Row& row = *found->second;
    if (row.run != &run) {
        return;
    }
    std::string reason = run.Reason();
    if (reason.empty() && run.Result() != RunResult::Success) {
        reason = row.box;
    }
    std::string text = run.Phase() == BenchPhase::Running ? "" : OutcomeText(run);
    if (!reason.empty()) {
        text += " (" + OneLine(reason) + ")";
    }
    row.result->setText(QString::fromStdString(text));
    row.result->setToolTip(QString::fromStdString(reason));
    SetColour(row.result, OutcomeColour(run));
    if (const RunRecord* record = run.Record()) {
        // The step the run ended at, as its rows have it (top to bottom):
        // the first that failed, else the last it reached.
        std::string step;
        for (const char* caption : kRowCaptions) {
            for (const auto& [name, status] : record->rows) {
                if (name == caption && !status.empty() && !step.ends_with(": FAILED")) {
                    step = name + ": " + status;
                }
            }
        }
        row.step->setText(QString::fromStdString(step));
        if (record->firmware && record->firmware->records.value_or(0) > 0) {
            // The bar as the run left it: the records the analyser confirmed.
            const std::int64_t total = *record->firmware->records;
            row.bar->setRange(0, static_cast<int>(total));
            row.bar->setValue(static_cast<int>(std::min(record->recordsPassed, total)));
            row.bar->setFormat(QString::fromStdString(std::to_string(record->recordsPassed) + "/" +
                                                      std::to_string(total) + row.speed));
        }
    }
    if (row.station) {
        ++stationDone_;
        stationOk_ += run.Result() == RunResult::Success ? 1 : 0;
        if (row.unplugged) {
            RemoveRow(row); // its unit went while it ran
        }
    }
    UpdateCount();
}

void BenchPage::RemoveRow(Row& row) {
    for (QWidget* w :
         std::initializer_list<QWidget*>{row.nameLabel, row.step, row.bar, row.result}) {
        w->deleteLater();
    }
    std::erase_if(byRun_, [&row](const auto& entry) { return entry.second == &row; });
    std::erase_if(rows_, [&row](const auto& r) { return r.get() == &row; });
}

void BenchPage::UpdateCount() {
    if (count_ == nullptr) {
        return;
    }
    if (refused_) {
        count_->setText(kBenchRefused);
        return;
    }
    std::size_t ok = 0;
    std::size_t ended = 0;
    std::size_t shown = 0;
    std::string notOk;
    for (const auto& row : rows_) {
        if (row->station) {
            continue;
        }
        ++shown;
        if (row->run != nullptr && row->run->Phase() == BenchPhase::Ended) {
            ++ended;
            if (Ok(row->run)) {
                ++ok;
            } else {
                notOk += (notOk.empty() ? "" : ", ") + row->name;
            }
        }
    }
    std::string text;
    if (shown > 0) {
        if (ended < shown) {
            text = std::to_string(ended) + " of " + std::to_string(shown) + " analysers done";
        } else {
            text = std::to_string(ok) + " of " + std::to_string(shown) + " analysers OK";
            if (!notOk.empty()) {
                text += "; not OK: " + notOk;
            }
        }
    }
    if (station_ != nullptr && station_->isChecked()) {
        text += std::string(text.empty() ? "" : ". ") + "Station: " + std::to_string(stationDone_) +
                (stationDone_ == 1 ? " unit" : " units") + " done, " + std::to_string(stationOk_) +
                " OK";
    }
    count_->setText(QString::fromStdString(text));
    const bool busy = !Done();
    const bool anyNotOk = std::any_of(rows_.begin(), rows_.end(), [](const auto& row) {
        return !row->station && row->run != nullptr && !Ok(row->run);
    });
    again_->setEnabled(bench_ && !busy && anyNotOk);
}

void BenchPage::btnAgain_Click() {
    if (!bench_) {
        return;
    }
    for (const auto& row : rows_) {
        if (!row->station && row->run != nullptr && row->run->Phase() == BenchPhase::Ended &&
            !Ok(row->run)) {
            Launch(*row);
        }
    }
    UpdateCount();
}

void BenchPage::btnPrevious_Click() {
    toLaunch_.clear();
    if (bench_) {
        bench_->StopAll();
    }
    if (operations_ != nullptr) {
        HandOver(*this, *operations_);
    } else {
        Unload();
    }
}

void BenchPage::SetStation(bool on, bool converters) {
    if (station_ == nullptr) {
        return;
    }
    if (station_->isChecked() != on) {
        station_->setChecked(on); // comes back here through its toggle
        return;
    }
    if (stationKind_->currentIndex() != (converters ? 1 : 0)) {
        stationKind_->setCurrentIndex(converters ? 1 : 0);
    }
    watchConverters_ = converters;
    watch_.Reset();
    if (on && bench_) {
        LookAtPorts(); // what is there now is not flashed
        poll_->start();
    } else {
        poll_->stop();
    }
    UpdateCount();
}

void BenchPage::LookAtPorts() {
    if (!bench_ || rowArea_ == nullptr) {
        return;
    }
    std::vector<std::string> present;
    if (watchConverters_) {
        for (const Converter& c : ListConverters(s_.usb).converters) {
            present.push_back(kUsbNamePrefix + c.serial);
        }
    } else if (s_.portList) {
        present = SplitPortList(s_.portList());
    }
    const PortWatch::Change change = watch_.Look(present);
    for (const std::string& name : change.gone) {
        const auto it = std::find_if(rows_.begin(), rows_.end(), [&name](const auto& row) {
            return row->station && row->name == name;
        });
        if (it == rows_.end()) {
            continue;
        }
        Row& row = **it;
        row.unplugged = true;
        if (row.run == nullptr || row.run->Phase() == BenchPhase::Ended) {
            RemoveRow(row); // the unit went with its result
        }
    }
    for (const std::string& name : change.appeared) {
        Row* row = nullptr;
        bool going = false; // a run on that port still going: not a second one
        for (const auto& r : rows_) {
            if (r->name == name) {
                row = r->station ? r.get() : row;
                going = going || (r->run != nullptr && r->run->Phase() != BenchPhase::Ended);
            }
        }
        if (going) {
            continue;
        }
        if (row == nullptr) {
            row = &AddRow(name, true);
        }
        row->unplugged = false;
        Launch(*row);
    }
    UpdateCount();
}

bool BenchPage::Done() const {
    return bench_ && bench_->Idle() && toLaunch_.empty();
}

std::vector<BenchPage::RowText> BenchPage::Rows() const {
    std::vector<RowText> rows;
    for (const auto& row : rows_) {
        rows.push_back({row->name, row->step->text().toStdString(),
                        row->bar->format().toStdString(), row->result->text().toStdString()});
    }
    return rows;
}

std::string BenchPage::CountText() const {
    return count_ != nullptr ? count_->text().toStdString() : std::string();
}

} // namespace fw
