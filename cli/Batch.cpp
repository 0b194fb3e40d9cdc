// flashwright-cli flash over many analysers at once: a bench of runs, each
// with its own link, engine state, console view, time limit and record, all
// on the one event loop. Here: the terminal's live lines, the table at the
// end and the exit code.
#include "cli/Commands.h"

#include "cli/ConsoleBench.h"
#include "cli/Terminal.h"
#include "engine/RunConfig.h"
#include "engine/RunRecord.h"
#include "link/serial/ComPortNames.h"
#include "link/usb/UsbDriverFactory.h"
#include "pages/Platform.h"
#include "platform/WholeFile.h"
#include "run/Bench.h"
#include "settings/MemoryRegistry.h"
#include "settings/Settings.h"
#include "settings/Text.h"
#include "settings/UsefulUtils.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace fw::cli {
namespace {

// The terminal's lines are redrawn at most this often.
constexpr int kRedrawMs = 100;
// How many of the analysers that are not OK the last line names.
constexpr std::size_t kNamesInCount = 32;
// A name longer than this is cut in the live lines (the table shows it whole).
constexpr std::size_t kMaxNameColumns = 24;

bool Ok(const BenchRun& run) {
    return run.Phase() == BenchPhase::Ended && run.Result() == RunResult::Success;
}

// The batch on the console: a live line per analyser on a terminal (redrawn
// from the event loop), plain prefixed lines elsewhere, then the table.
class BatchConsole {
public:
    BatchConsole(const FlashOptions& options, std::FILE* out, const PlatformParts& parts,
                 IUsbDriver& usb)
        : o_(options), out_(out), terminal_(IsTerminal(::fileno(out))),
          runLog_(DefaultRunLogPath(), kProgram),
          bench_(Bench::Services{MachineTransports(parts, usb),
                                 [this](const BenchRun& run) { return MakeScreen(run); },
                                 PostToEventLoop, [] { return EngineClock::now(); }, &runLog_,
                                 true}) {
        bench_.SetJobs(o_.jobs ? static_cast<std::size_t>(*o_.jobs) : DefaultJobs(OpenFileLimit()));
        // Records are written however short of handles the runs leave us.
        runLog_.KeepOpen();
        if (o_.timeoutSeconds) {
            bench_.SetTimeout(std::chrono::duration_cast<EngineClock::duration>(
                std::chrono::duration<double>(*o_.timeoutSeconds)));
        }
        bench_.on.timedOut = [this](BenchRun& run) {
            Erase();
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", *o_.timeoutSeconds);
            WriteProgress(stderr, std::string(kProgram) + ": " + Printable(run.name) +
                                      ": the run did not end within " + limit + " s\n");
        };
        bench_.on.ended = [this](BenchRun&) {
            if (terminal_) {
                Draw();
            }
        };
        redraw_.setInterval(kRedrawMs);
        QObject::connect(&redraw_, &QTimer::timeout, &redraw_, [this] { Draw(); });
    }

    Bench& Runs() { return bench_; }

    // Every run to its end (or a stop signal): the exit code.
    int Run() {
        if (terminal_) {
            redraw_.start();
        }
        const int signalNumber = RunBenchToEnd(bench_, [this](int sig) {
            const auto abandoned =
                std::count_if(bench_.Runs().begin(), bench_.Runs().end(),
                              [](const BenchRun& r) { return r.Result() == RunResult::Abandoned; });
            Erase();
            WriteProgress(stderr, std::string(kProgram) + ": interrupted (" + SignalName(sig) +
                                      "); " + std::to_string(abandoned) +
                                      (abandoned == 1 ? " run was" : " runs were") +
                                      " abandoned\n");
        });
        redraw_.stop();
        if (terminal_) {
            Draw();
            drawn_ = 0;
        }
        Report();
        if (signalNumber > 0) {
            return 128 + signalNumber;
        }
        return std::all_of(bench_.Runs().begin(), bench_.Runs().end(), Ok) ? kExitOk : kExitFailed;
    }

private:
    std::unique_ptr<IRunScreen> MakeScreen(const BenchRun& run) {
        auto screen = std::make_unique<ConsoleScreen>(terminal_ ? nullptr : out_, terminal_, run);
        screen->view.SetPrefix(Printable(run.name) + ": ");
        screen->box.SetPrefix(Printable(run.name) + ": ");
        screen->box.SetBeforeShow([this] { Erase(); });
        return screen;
    }

    std::size_t NameWidth() const {
        std::size_t width = 0;
        for (const BenchRun& r : bench_.Runs()) {
            width = std::max(width, Printable(r.name).size());
        }
        return std::min(width, kMaxNameColumns);
    }

    // Takes the live lines off the terminal, so that a message stands on a
    // line of its own; the next redraw puts them back below it.
    void Erase() {
        if (terminal_ && drawn_ > 0) {
            WriteProgress(out_, "\033[" + std::to_string(drawn_) + "A\r\033[J");
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
        const auto line = [&](const BenchRun& r) {
            std::string name = Printable(r.name).substr(0, nameWidth);
            name.resize(nameWidth, ' ');
            std::string text;
            if (IRunScreen* screen = r.Screen()) {
                ConsoleView& view = static_cast<ConsoleScreen&>(*screen).view;
                view.SetColumns(columns > 0 ? std::max(1, columns - static_cast<int>(nameWidth) - 2)
                                            : 0);
                text = view.LiveLine();
            } else {
                text = OutcomeText(r);
                if (!r.Reason().empty()) {
                    text += ": " + OneLine(r.Reason());
                }
            }
            std::string all = name + "  " + text;
            if (columns > 1 && all.size() > static_cast<std::size_t>(columns - 1)) {
                all.resize(static_cast<std::size_t>(columns - 1));
            }
            return all;
        };
        std::vector<std::string> lines;
        if (bench_.Runs().size() <= static_cast<std::size_t>(rows)) {
            for (const BenchRun& r : bench_.Runs()) {
                lines.push_back(line(r));
            }
        } else {
            std::size_t done = 0;
            std::size_t hidden = 0;
            for (const BenchRun& r : bench_.Runs()) {
                if (r.Phase() == BenchPhase::Running) {
                    if (lines.size() + 1 < static_cast<std::size_t>(rows)) {
                        lines.push_back(line(r));
                    } else {
                        ++hidden;
                    }
                } else if (r.Phase() == BenchPhase::Ended) {
                    ++done;
                }
            }
            std::string count = std::to_string(done) + " done";
            if (hidden > 0) {
                count += ", " + std::to_string(hidden) + " more running";
            }
            if (bench_.Waiting() > 0) {
                count += ", " + std::to_string(bench_.Waiting()) + " waiting";
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
        if (WriteProgress(out_, text)) {
            drawn_ = static_cast<int>(lines.size());
        }
    }

    // The table of every analyser, the last line's count, and with --json the
    // records on standard output.
    void Report() {
        std::size_t nameWidth = 8;
        for (const BenchRun& r : bench_.Runs()) {
            nameWidth = std::max(nameWidth, Printable(r.name).size());
        }
        std::string table;
        const auto row = [&](const std::string& name, const std::string& result,
                             const std::string& reason) {
            std::string text = name;
            text.resize(nameWidth + 2, ' ');
            text += result;
            if (!reason.empty()) {
                text.resize(nameWidth + 2 + 13, ' ');
                text += reason;
            }
            table += text + "\n";
        };
        row("ANALYSER", "RESULT", "REASON");
        std::vector<std::string> notOk;
        for (const BenchRun& r : bench_.Runs()) {
            row(Printable(r.name), OutcomeText(r), OneLine(r.Reason()));
            if (!Ok(r)) {
                notOk.push_back(Printable(r.name));
            }
        }
        std::string last = std::to_string(bench_.Runs().size() - notOk.size()) + " of " +
                           std::to_string(bench_.Runs().size()) + " analysers OK";
        // The table names them all; the last line the first few.
        for (std::size_t i = 0; i < notOk.size(); ++i) {
            if (i == kNamesInCount) {
                last += ", and " + std::to_string(notOk.size() - i) + " more";
                break;
            }
            last += (i == 0 ? "; not OK: " : ", ") + notOk[i];
        }
        WriteProgress(out_, table + last + "\n");
        if (o_.json) {
            std::string records = "[";
            for (const BenchRun& r : bench_.Runs()) {
                if (const RunRecord* record = r.Record()) {
                    records += (records.size() > 1 ? "," : "") + ToJsonLine(*record);
                }
            }
            WriteProgress(stdout, records + "]\n");
        }
    }

    const FlashOptions& o_;
    std::FILE* out_;
    bool terminal_;
    FileRunLog runLog_;
    Bench bench_;
    QTimer redraw_;
    int drawn_ = 0; // live lines on the terminal below the cursor's line
};

} // namespace

int BatchCommand(const FlashOptions& o) {
    const PlatformParts store = MakePlatformParts();
    Settings stored(*store.registry);
    const std::string filename = o.file ? *o.file : stored.GetSettingValue(kSection, kFilename, "");

    // The file once, before any analyser is touched.
    std::shared_ptr<const FirmwareCheck> checked;
    const bool upload = o.operations[4];
    if (upload || o.sha256) {
        if (const std::optional<int> refused = CheckBeforeRuns(filename, o.sha256, &checked)) {
            return *refused;
        }
    }

    // Devices given by path take the number a port lists them under, else a
    // free one, for this batch only: the runs find them in a copy of the
    // settings file's keys, which is then no longer read.
    MemoryRegistry ports;
    CopySettings(*store.registry, ports); // reads the file
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
            const std::string name = port ? ComName(port->number) : std::string();
            if (!port || (port->fresh && !RegWriteString(ports, kPortsKeyPath, name, *a.portDevice,
                                                         HKEY_LOCAL_MACHINE))) {
                std::fprintf(stderr, "%s: no free COM number for %s; no analyser was touched\n",
                             kProgram, Printable(*a.portDevice).c_str());
                return kExitFailed;
            }
            config.comPort = std::to_string(port->number);
        }
        planned.emplace_back(a, config);
    }

    const std::unique_ptr<IUsbDriver> usb = MakeUsbDriver();
    const PlatformParts parts = MakePlatformParts(ports);
    // With --json the records alone go to standard output.
    BatchConsole batch(o, o.json ? stderr : stdout, parts, *usb);
    for (auto& [analyser, config] : planned) {
        ApplyOperations(o.operations, config.operations);
        config.checked = checked; // one image for the whole batch
        batch.Runs().Add(analyser.name, std::move(config));
    }
    return batch.Run();
}

} // namespace fw::cli
