// A headless progress page for whole runs against the analyser simulator: the
// real link, engine, settings (over a registry file), serial port and converter
// driver, a Qt timer that follows the interval the engine asks for, and the
// analyser-sim program as a child process on its own pseudo-terminal.
//
// Shared by the end-to-end tests and the flash benchmark; no test framework
// here, callers check the results themselves.
#pragma once

#include "link/net/NetPort.h"
#include "link/serial/ComPortNames.h"
#include "link/usb/SysfsUsbDriver.h"
#include "run/AnalyserRun.h"
#include "settings/FileRegistry.h"
#include "settings/Settings.h"
#include "tests/support/FakeProgressView.h"
#include "tests/support/RecordingMessageBox.h"

#include <QTimer>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <spawn.h>
#include <sys/types.h>

namespace fw::e2e {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
using enum UpdateState; // the steps by their names

// A fresh folder below the system's temporary folder, removed with its
// contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Starts a program (looked up in PATH unless it has a slash), with its
// standard output and error in the given files ("": this process's own).
// -1 when it cannot start.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outPath = {},
            const std::string& errPath = {});
// The same with the child's file actions (dup2, open, close) set by `redirect`.
pid_t SpawnWith(const std::vector<std::string>& argv,
                const std::function<void(posix_spawn_file_actions_t&)>& redirect);
// Waits for `pid`: its exit status, or -1 when it was killed or is no child.
int WaitExit(pid_t pid);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// The run records of a run log (runs.jsonl), oldest first.
std::vector<nlohmann::json> ReadRuns(const std::string& path);

// A firmware image of `size` random bytes from `start`, made by srec_cat: S0
// header, data records of 32 bytes with 2 (S1) or 3 (S2) address bytes, the
// record count and an end record (S9 / S8) with start address 0. Lines end in
// LF. False when srec_cat failed (it tells why on standard error).
bool MakeImage(const std::string& srecCat, const std::string& path, std::uint32_t start,
               std::uint32_t size, int addressBytes);

// The bytes the binary forms of the image's records take on the line.
std::size_t WireBytes(const std::string& image);

// One upload a benchmark makes: the image size and the line speed.
struct BenchRun {
    long kib = 0;
    long baud = 0;
};
// "KIB@BAUD[,KIB@BAUD...]", as the benchmarks take it; nullopt when malformed.
std::optional<std::vector<BenchRun>> ParseRuns(const std::string& runs);

// The analyser simulator as a child process. Start() waits for its
// "analyser-sim: device <path> ..." line.
class SimProcess {
public:
    ~SimProcess() { Stop(); }
    // `logBase`.out / `logBase`.err take its outputs. Empty on success,
    // otherwise why it did not start.
    std::string Start(const std::vector<std::string>& argv, const std::string& logBase);
    const std::string& Device() const { return device_; }
    void Signal(int sig);
    // Waits up to `wait` for the process to end; its wait status, or nullopt
    // while it still runs.
    std::optional<int> Wait(Millis wait);
    // Stops it (SIGTERM, then SIGKILL) and reaps it.
    void Stop();
    std::string Stderr() const { return ReadFile(logBase_ + ".err"); }

private:
    pid_t pid_ = -1;
    std::string device_;
    std::string logBase_;
};

// What a run's port (a serial port, or a device server's connection) was
// handed while open and what the run read from it, counted the same for both
// by the wrappers below.
class Counting {
public:
    virtual ~Counting() = default;
    virtual bool LineOpen() const = 0;

    std::size_t bytesOut = 0;
    std::string sent;                          // the first 4 KiB of them
    std::size_t bytesIn = 0;                   // every byte the run read
    std::function<void(std::size_t)> onOutput; // after each counted send
    std::function<void(std::size_t)> onInput;  // after each read by the run

protected:
    // Bytes handed over while the line was open count; others were dropped.
    void CountOut(bool wasOpen, const std::uint8_t* data, std::size_t count);
    std::string CountIn(std::string text) {
        bytesIn += text.size();
        if (onInput)
            onInput(text.size());
        return text;
    }
};

// A real serial control that counts.
class CountingSerialPort : public test::BorrowedSerialPort, public Counting {
public:
    explicit CountingSerialPort(std::unique_ptr<ISerialPort> control)
        : BorrowedSerialPort(*control), c_(std::move(control)) {}
    bool LineOpen() const override { return c_->PortOpen(); }
    void Output(const std::vector<std::uint8_t>& bytes) override {
        const bool open = c_->PortOpen();
        c_->Output(bytes); // a closed control drops them itself
        CountOut(open, bytes.data(), bytes.size());
    }
    std::string Input() override { return CountIn(c_->Input()); }
    std::string ReadAll() override { return CountIn(c_->ReadAll()); }

private:
    std::unique_ptr<ISerialPort> c_;
};

// A real device server connection that counts.
class CountingNetPort : public INetPort, public Counting {
public:
    explicit CountingNetPort(std::unique_ptr<INetPort> port) : p_(std::move(port)) {}
    bool LineOpen() const override { return p_->IsOpen(); }
    CommError OpenAddress(const NetAddress& address, int timeoutMs) override {
        return p_->OpenAddress(address, timeoutMs);
    }
    NetOpening Opening() const override { return p_->Opening(); }
    void Close() override { p_->Close(); }
    bool IsOpen() const override { return p_->IsOpen(); }
    void Send(const std::uint8_t* data, std::size_t count) override {
        const bool open = p_->IsOpen();
        p_->Send(data, count);
        CountOut(open, data, count);
    }
    std::size_t Unsent() const override { return p_->Unsent(); }
    bool HasInput() const override { return p_->HasInput(); }
    std::string ReadAll() override { return CountIn(p_->ReadAll()); }
    void SetOnArrival(std::function<void()> handler) override {
        p_->SetOnArrival(std::move(handler));
    }
    bool Lost() const override { return p_->Lost(); }
    std::string DeviceName() const override { return p_->DeviceName(); }

private:
    std::unique_ptr<INetPort> p_;
};

// The progress page without widgets: it records what the engine shows.
class HeadlessView : public test::FakeProgressView {
public:
    // Like the page: only a changed interval reaches the timer, as a running
    // QTimer restarts on every setInterval.
    void SetTimerInterval(int ms) override;
    // The page's unload: the timer stops.
    void Unload();

    bool loaded = false;
    QTimer timer;
};

// One wizard behind a headless progress page, over its own registry file.
class Rig {
public:
    // The registry file and the fake sysfs/dev roots of the converter driver
    // live in the rig's own folder.
    Rig();
    ~Rig();

    // Starts the simulator `program` on COM 7 of this rig's registry, with
    // `args` added (for example --baud 0 --bootloader-version 1.1). Empty on success.
    std::string StartSim(const std::string& program, const std::vector<std::string>& args);
    // Stores the connection and the firmware file as the first two pages'
    // Next buttons do.
    void Store(const std::string& type, const std::string& filename);
    // The choices the first two pages show when they restore the stored
    // ones, with `operations`.
    RunConfig StoredChoices();
    // The operations page's Next: the progress page is loaded and activated,
    // then the link opens with StoredChoices() and (on success) the run starts
    // at state 1.
    void Next();
    // The progress page's Previous: the run stops, an open converter closes,
    // an interrupted upload lets go of its file, and the page unloads.
    void Previous();

    // Spins the event loop until `done` holds or `timeout` passes.
    bool RunUntil(const std::function<bool()>& done, Millis timeout);
    void RunFor(Millis time) {
        RunUntil([] { return false; }, time);
    }
    // 15, 16, or 0 once the run has passed 14 (before that 0 is idle).
    bool RunToEnd(Millis timeout = Millis(20000)) {
        return RunUntil(
            [this] {
                return State() == Finished || State() == Failed ||
                       (State() == Idle && Saw(ConfirmRun));
            },
            timeout);
    }

    UpdateState State() const { return engine.State().nUpdateState; }
    bool Saw(UpdateState s) const {
        return std::find(states.begin(), states.end(), static_cast<std::int32_t>(s)) !=
               states.end();
    }
    // The port of the run now connected (a serial port or a device server's
    // connection); none before the first, and for a converter run.
    Counting& Port() { return *control_; }
    bool LinkOpen() const { return control_ != nullptr && control_->LineOpen(); }

    TempDir dir;
    FileRegistry registry;
    ComPortNames names;
    Settings settings;
    SysfsUsbDriver usb;
    test::RecordingMessageBox box;
    Operations operations; // the operations page's boxes: the defaults
    ProgressFields fields;
    HeadlessView view;
    FileRunLog runLog; // runs.jsonl in the rig's folder
    AnalyserRun run;
    Link& link;
    UpdateEngine& engine;
    SimProcess sim;

    std::vector<nlohmann::json> Runs() const { return ReadRuns(runLog.Path()); }

    // The number of every step nUpdateState took, in order, as seen after each tick and
    // each receive event.
    std::vector<std::int32_t> states;
    // Around every tick (for measurements).
    std::function<void()> beforeTick;
    std::function<void()> afterTick;

private:
    void NoteState();
    // `port` as the run's, counting what goes through it.
    std::unique_ptr<ISerialPort> Counted(std::unique_ptr<ISerialPort> port);
    std::unique_ptr<INetPort> Counted(std::unique_ptr<INetPort> port);

    Counting* control_ = nullptr;
};

} // namespace fw::e2e
