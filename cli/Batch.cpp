// flashwright-cli flash over many analysers at once: one AnalyserRun each
// (its own link, engine state, progress view, time-out and record), all on
// the one event loop. A run that fails, hangs or loses its link ends alone;
// the others go on.
#include "cli/Commands.h"

#include "cli/ConsoleView.h"
#include "engine/RunConfig.h"
#include "engine/RunRecord.h"
#include "link/AnalyserRun.h"
#include "link/ComPortNames.h"
#include "link/QtNetPort.h"
#include "link/QtSerialPort.h"
#include "link/UsbDriverFactory.h"
#include "platform/StopSignals.h"
#include "settings/FileRegistry.h"
#include "settings/MemoryRegistry.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <list>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fw::cli {
namespace {

constexpr const char* kProgram = "flashwright-cli";
// The terminal's lines are redrawn at most this often.
constexpr int kRedrawMs = 100;
// A name longer than this is cut in the live lines (the table shows it whole).
constexpr std::size_t kMaxNameColumns = 24;

using Json = nlohmann::ordered_json;

enum class Outcome { Waiting, Running, Ok, Failed, NoLink, Abandoned, NotStarted };

const char* OutcomeText(Outcome outcome) {
    switch (outcome) {
    case Outcome::Waiting:
        return "waiting";
    case Outcome::Running:
        return "running";
    case Outcome::Ok:
        return "OK";
    case Outcome::Failed:
        return "FAILED";
    case Outcome::NoLink:
        return "NO LINK";
    case Outcome::Abandoned:
        return "ABANDONED";
    case Outcome::NotStarted:
        return "NOT STARTED";
    }
    return "";
}

int TerminalRows(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
        return size.ws_row;
    }
    return 24;
}

// Each record of a batch in the run log, with the batch's id and the
// analyser's name; also kept for --json.
class BatchRunLog : public IRunLog {
public:
    BatchRunLog(std::string path, std::string batch, std::string analyser)
        : path_(std::move(path)), batch_(std::move(batch)), analyser_(std::move(analyser)) {}

    void Append(const RunRecord& record) override {
        line = Json::parse(ToJsonLine(record));
        line["batch"] = batch_;
        line["analyser"] = analyser_;
        const std::string error =
            AppendLine(path_, line.dump(-1, ' ', false, Json::error_handler_t::replace));
        if (!error.empty()) {
            std::fprintf(stderr, "%s: %s: run log not written: %s\n", kProgram, analyser_.c_str(),
                         error.c_str());
        }
    }

    Json line; // the last record; null before the first

private:
    std::string path_;
    std::string batch_;
    std::string analyser_;
};

struct BatchRun {
    BatchRun(const Analyser& a, RunConfig c, std::FILE* out, bool terminal,
             const std::string& batchId)
        : analyser(a), config(std::move(c)), view(terminal ? nullptr : out, terminal),
          box(stderr, nullptr), log(DefaultRunLogPath(), batchId, a.name) {
        view.SetPrefix(a.name + ": ");
        box.SetPrefix(a.name + ": ");
        timeout.setSingleShot(true);
    }

    Analyser analyser;
    RunConfig config;
    ProgressFields fields;
    ConsoleView view;
    ConsoleMessageBox box;
    BatchRunLog log;
    std::unique_ptr<AnalyserRun> run;
    QTimer timeout;
    Outcome outcome = Outcome::Waiting;
    std::string reason;
    bool ending = false; // its end is on the way
};

class Batch {
public:
    Batch(const FlashOptions& options, std::FILE* out, ComPortNames& names, IUsbDriver& usb)
        : o_(options), out_(out), terminal_(::isatty(::fileno(out)) == 1), names_(names), usb_(usb),
          id_(QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString()) {
        redraw_.setInterval(kRedrawMs);
        QObject::connect(&redraw_, &QTimer::timeout, &redraw_, [this] { Draw(); });
    }

    void Add(const Analyser& analyser, RunConfig config) {
        BatchRun& r = runs_.emplace_back(analyser, std::move(config), out_, terminal_, id_);
        ApplyOperations(o_.operations, r.config.operations);
        r.run = std::make_unique<AnalyserRun>(
            RunServices{r.view, r.fields, r.box,
                        TransportMakers{
                            [this] { return std::make_unique<QtSerialPort>(names_); },
                            [] { return std::make_unique<QtNetPort>(); },
                            usb_,
                        },
                        &r.log, [this, &r] { CheckEnd(r); }});
        UpdateEngine& engine = r.run->engine;
        r.view.SetFigures([&r, &engine] {
            return UploadFigures{r.fields.nRecordsSent, r.fields.nRecordsPassed,
                                 engine.CheckedFile().summary.records,
                                 engine.CheckedFile().summary.bytes};
        });
        r.view.SetOnTick([this, &r] {
            r.run->engine.AFTimer1_Timer();
            CheckEnd(r);
        });
        r.box.SetBeforeShow([this] { Erase(); });
        QObject::connect(&r.timeout, &QTimer::timeout, &r.timeout, [this, &r] {
            if (r.run->engine.RunActive()) {
                r.run->engine.FailRun("timed out");
                Erase();
                std::fprintf(stderr, "%s: %s: the run did not end within %g s\n", kProgram,
                             r.analyser.name.c_str(), *o_.timeoutSeconds);
            }
            CheckEnd(r);
        });
    }

    // Every run to its end (or a stop signal): the exit code.
    int Run() {
        const int stopSignals = CatchStopSignals();
        if (stopSignals < 0) {
            std::fprintf(stderr, "%s: cannot catch Ctrl-C: %s\n", kProgram, std::strerror(errno));
        }
        std::unique_ptr<QSocketNotifier> interrupt;
        if (stopSignals >= 0) {
            interrupt = std::make_unique<QSocketNotifier>(stopSignals, QSocketNotifier::Read);
            QObject::connect(interrupt.get(), &QSocketNotifier::activated, interrupt.get(),
                             [this] { Interrupted(TakeStopSignal()); });
        }
        if (terminal_) {
            redraw_.start();
        }
        StartNext();
        QCoreApplication::exec();
        redraw_.stop();
        interrupt.reset();
        ReleaseStopSignals();
        if (terminal_) {
            Draw();
            drawn_ = 0;
        }
        Report();
        if (signal_ > 0) {
            return 128 + signal_;
        }
        return std::all_of(runs_.begin(), runs_.end(),
                           [](const BatchRun& r) { return r.outcome == Outcome::Ok; })
                   ? kExitOk
                   : kExitFailed;
    }

    // The file's digest as checked before the batch; empty when not checked.
    std::string digest;

private:
    std::size_t Running() const {
        return static_cast<std::size_t>(
            std::count_if(runs_.begin(), runs_.end(),
                          [](const BatchRun& r) { return r.outcome == Outcome::Running; }));
    }

    void StartNext() {
        const std::size_t jobs = o_.jobs ? static_cast<std::size_t>(*o_.jobs) : runs_.size();
        for (BatchRun& r : runs_) {
            if (signal_ > 0 || Running() >= jobs) {
                break;
            }
            if (r.outcome == Outcome::Waiting) {
                Start(r);
            }
        }
        if (std::none_of(runs_.begin(), runs_.end(), [](const BatchRun& r) {
                return r.outcome == Outcome::Waiting || r.outcome == Outcome::Running;
            })) {
            QCoreApplication::exit(0);
        }
    }

    // The page's load and activation, then the operations page's Next.
    void Start(BatchRun& r) {
        r.outcome = Outcome::Running;
        r.view.Load();
        r.run->engine.FormActivate();
        r.run->Connect(r.config);
        if (o_.timeoutSeconds && r.run->engine.RunActive()) {
            r.timeout.start(static_cast<int>(*o_.timeoutSeconds * 1000));
        }
        CheckEnd(r); // a link that did not open ends the run at once
    }

    // A run that has ended is wound up from the event loop, never inside the
    // tick or the receive event that ended it.
    void CheckEnd(BatchRun& r) {
        if (r.ending || r.outcome != Outcome::Running || r.run->engine.RunActive()) {
            return;
        }
        r.ending = true;
        QTimer::singleShot(0, &r.timeout, [this, &r] {
            End(r);
            StartNext();
        });
    }

    // What Previous leaves of a run: nothing more is sent, the link and the
    // file are closed, a run still under way is recorded as abandoned.
    void WindUp(BatchRun& r) {
        r.run->Stop();
        r.run->Release();
        r.view.Unload();
        r.timeout.stop();
    }

    void End(BatchRun& r) {
        if (r.outcome != Outcome::Running) {
            return;
        }
        WindUp(r);
        const RunRecord& record = r.run->engine.LastRun();
        r.reason = OneLine(record.reason.value_or(""));
        if (record.result == RunResult::Success) {
            r.outcome = Outcome::Ok;
            if (!digest.empty() && record.firmware && record.firmware->sha256 &&
                *record.firmware->sha256 != digest) {
                // The run checks the file again as it uploads it: not the
                // file the batch was checked with.
                r.outcome = Outcome::Failed;
                r.reason = "the firmware file changed during the batch (SHA-256 " +
                           *record.firmware->sha256 + ")";
            }
        } else if (record.result == RunResult::Abandoned) {
            r.outcome = Outcome::Abandoned;
        } else {
            // A connect that fails after it started (a device server that does
            // not answer) is a link that could not be opened too.
            r.outcome = record.result == RunResult::NoLink ? Outcome::NoLink : Outcome::Failed;
        }
        if (terminal_) {
            Draw();
        }
    }

    void Interrupted(int sig) {
        if (signal_ > 0) {
            return;
        }
        signal_ = sig;
        int abandoned = 0;
        for (BatchRun& r : runs_) {
            if (r.outcome == Outcome::Running) {
                WindUp(r);
                r.outcome = Outcome::Abandoned;
                ++abandoned;
            } else if (r.outcome == Outcome::Waiting) {
                r.outcome = Outcome::NotStarted;
            }
        }
        Erase();
        std::fprintf(stderr, "%s: interrupted (%s); %d run%s abandoned\n", kProgram,
                     SignalName(sig), abandoned, abandoned == 1 ? " was" : "s were");
        QCoreApplication::exit(128 + sig);
    }

    std::size_t NameWidth() const {
        std::size_t width = 0;
        for (const BatchRun& r : runs_) {
            width = std::max(width, r.analyser.name.size());
        }
        return std::min(width, kMaxNameColumns);
    }

    // Takes the live lines off the terminal, so that a message stands on a
    // line of its own; the next redraw puts them back below it.
    void Erase() {
        if (terminal_ && drawn_ > 0) {
            std::fprintf(out_, "\033[%dA\r\033[J", drawn_);
            std::fflush(out_);
            drawn_ = 0;
        }
    }

    // One line per analyser: its name, then its step, bar and speed, or how
    // it ended. More analysers than the terminal has rows: those still
    // running, and a count of the others.
    void Draw() {
        const int fd = ::fileno(out_);
        const int columns = TerminalColumns(fd);
        const int rows = std::max(3, TerminalRows(fd) - 1);
        const std::size_t nameWidth = NameWidth();
        const auto line = [&](BatchRun& r) {
            std::string name = r.analyser.name.substr(0, nameWidth);
            name.resize(nameWidth, ' ');
            std::string text;
            if (r.outcome == Outcome::Running) {
                r.view.SetColumns(
                    columns > 0 ? std::max(1, columns - static_cast<int>(nameWidth) - 2) : 0);
                text = r.view.LiveLine();
            } else {
                text = OutcomeText(r.outcome);
                if (!r.reason.empty()) {
                    text += ": " + r.reason;
                }
            }
            std::string all = name + "  " + text;
            if (columns > 1 && all.size() > static_cast<std::size_t>(columns - 1)) {
                all.resize(static_cast<std::size_t>(columns - 1));
            }
            return all;
        };
        std::vector<std::string> lines;
        if (runs_.size() <= static_cast<std::size_t>(rows)) {
            for (BatchRun& r : runs_) {
                lines.push_back(line(r));
            }
        } else {
            std::size_t done = 0;
            std::size_t waiting = 0;
            std::size_t hidden = 0;
            for (BatchRun& r : runs_) {
                if (r.outcome == Outcome::Running) {
                    if (lines.size() + 1 < static_cast<std::size_t>(rows)) {
                        lines.push_back(line(r));
                    } else {
                        ++hidden;
                    }
                } else if (r.outcome == Outcome::Waiting) {
                    ++waiting;
                } else {
                    ++done;
                }
            }
            std::string count = std::to_string(done) + " done";
            if (hidden > 0) {
                count += ", " + std::to_string(hidden) + " more running";
            }
            if (waiting > 0) {
                count += ", " + std::to_string(waiting) + " waiting";
            }
            lines.push_back(count);
        }
        std::string text;
        if (drawn_ > 0) {
            text += "\033[" + std::to_string(drawn_) + "A";
        }
        for (const std::string& l : lines) {
            text += "\r\033[K" + l + "\n";
        }
        text += "\033[J";
        std::fputs(text.c_str(), out_);
        std::fflush(out_);
        drawn_ = static_cast<int>(lines.size());
    }

    // The table of every analyser, the last line's count, and with --json the
    // records on standard output.
    void Report() {
        std::size_t nameWidth = 8;
        for (const BatchRun& r : runs_) {
            nameWidth = std::max(nameWidth, r.analyser.name.size());
        }
        const auto row = [&](const std::string& name, const std::string& result,
                             const std::string& reason) {
            std::string text = name;
            text.resize(nameWidth + 2, ' ');
            text += result;
            if (!reason.empty()) {
                text.resize(nameWidth + 2 + 13, ' ');
                text += reason;
            }
            std::fprintf(out_, "%s\n", text.c_str());
        };
        row("ANALYSER", "RESULT", "REASON");
        std::vector<std::string> notOk;
        for (const BatchRun& r : runs_) {
            row(r.analyser.name, OutcomeText(r.outcome), r.reason);
            if (r.outcome != Outcome::Ok) {
                notOk.push_back(r.analyser.name);
            }
        }
        std::string last = std::to_string(runs_.size() - notOk.size()) + " of " +
                           std::to_string(runs_.size()) + " analysers OK";
        for (std::size_t i = 0; i < notOk.size(); ++i) {
            last += (i == 0 ? "; not OK: " : ", ") + notOk[i];
        }
        std::fprintf(out_, "%s\n", last.c_str());
        std::fflush(out_);
        if (o_.json) {
            Json records = Json::array();
            for (const BatchRun& r : runs_) {
                if (!r.log.line.is_null()) {
                    records.push_back(r.log.line);
                }
            }
            std::printf("%s\n",
                        records.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
            std::fflush(stdout);
        }
    }

    const FlashOptions& o_;
    std::FILE* out_;
    bool terminal_;
    ComPortNames& names_;
    IUsbDriver& usb_;
    std::string id_;
    std::list<BatchRun> runs_; // stable addresses: the runs' callbacks hold them
    QTimer redraw_;
    int drawn_ = 0; // live lines on the terminal below the cursor's line
    int signal_ = 0;
};

} // namespace

int BatchCommand(const FlashOptions& o) {
    FileRegistry registry(DefaultRegistryFile());
    Settings stored(registry);
    const std::string filename = o.file ? *o.file : stored.GetSettingValue(kSection, kFilename, "");

    // The file once, before any analyser is touched.
    std::string digest;
    const bool upload = o.operations[4];
    if (upload || o.sha256) {
        if (const std::optional<int> refused = CheckBeforeRuns(filename, o.sha256, &digest)) {
            return *refused;
        }
    }

    // Devices given by path take the number a port lists them under, else a
    // free one, for this batch only: the runs find them in a copy of the
    // settings file's keys, which is then no longer read.
    ComPortNames(&registry).Ports(); // reads the file
    MemoryRegistry ports;
    ports.Assign(registry.Keys());
    ComPortNames names(&ports);
    std::vector<std::pair<Analyser, RunConfig>> planned;
    for (const Analyser& a : o.analysers) {
        RunConfig config;
        config.type = a.type;
        config.filename = filename;
        config.usbSerial = a.usbSerial;
        config.address = a.address.empty() ? config.address : a.address;
        if (a.port) {
            config.comPort = std::to_string(*a.port);
        } else if (a.portDevice) {
            const std::optional<DevicePort> port = PortForDevice(names, *a.portDevice);
            const std::string name = port ? "COM" + std::to_string(port->number) : std::string();
            if (!port || (port->fresh && !RegWriteString(ports, kPortsKeyPath, name, *a.portDevice,
                                                         HKEY_LOCAL_MACHINE))) {
                std::fprintf(stderr, "%s: no free COM number for %s; no analyser was touched\n",
                             kProgram, a.portDevice->c_str());
                return kExitFailed;
            }
            config.comPort = std::to_string(port->number);
        }
        planned.emplace_back(a, config);
    }

    const std::unique_ptr<IUsbDriver> usb = MakeUsbDriver();
    // With --json the records alone go to standard output.
    Batch batch(o, o.json ? stderr : stdout, names, *usb);
    batch.digest = digest;
    for (auto& [analyser, config] : planned) {
        batch.Add(analyser, std::move(config));
    }
    return batch.Run();
}

} // namespace fw::cli
