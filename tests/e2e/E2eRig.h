// A headless progress page for whole runs against the analyser simulator: the
// real link, engine, settings (over a registry file), serial port and converter
// driver, a Qt timer that follows the interval the engine asks for, and the
// analyser-sim program as a child process on its own pseudo-terminal.
//
// Shared by the end-to-end tests and the flash benchmark; no test framework
// here, callers check the results themselves.
#pragma once

#include "link/AnalyserRun.h"
#include "link/ComPortNames.h"
#include "link/NetPort.h"
#include "link/SysfsUsbDriver.h"
#include "settings/FileRegistry.h"
#include "settings/Settings.h"
#include "tests/support/FakeProgressView.h"
#include "tests/support/RecordingMessageBox.h"

#include <QTimer>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
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

// A run's serial control as the engine sees it: a real one (the serial port,
// or a device server's) that counts every byte handed to it while open.
class CountingPort : public ISerialPort, public INetPort {
public:
    explicit CountingPort(std::unique_ptr<ISerialPort> control) : c_(std::move(control)) {}
    CommError OpenAddress(const NetAddress& address, int timeoutMs) override;
    NetOpening Opening() const override { return dynamic_cast<INetPort&>(*c_).Opening(); }
    CommError SetCommPort(std::int16_t port) override { return c_->SetCommPort(port); }
    std::int16_t CommPort() const override { return c_->CommPort(); }
    bool PortOpen() const override { return c_->PortOpen(); }
    CommError SetPortOpen(bool open) override { return c_->SetPortOpen(open); }
    void Output(const std::vector<std::uint8_t>& bytes) override;
    int OutBufferCount() const override { return c_->OutBufferCount(); }
    std::int16_t CommEvent() const override { return c_->CommEvent(); }
    int InBufferCount() const override { return c_->InBufferCount(); }
    std::string Input() override { return CountIn(c_->Input()); }
    std::string ReadAll() override { return CountIn(c_->ReadAll()); }
    // The run's receive handler, after `beforeComm`.
    void SetOnComm(std::function<void()> handler) override;
    bool DeviceLost() const override { return c_->DeviceLost(); }
    std::string DeviceName() const override { return c_->DeviceName(); }

    std::size_t bytesOut = 0;
    std::string sent;                          // the first 4 KiB of them
    std::size_t bytesIn = 0;                   // every byte read from the control
    std::function<void(std::size_t)> onOutput; // after each counted Output
    std::function<void()> beforeComm;          // on each receive event

private:
    std::string CountIn(std::string in) {
        bytesIn += in.size();
        return in;
    }
    std::unique_ptr<ISerialPort> c_;
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
    // live in the rig's own folder. `driver`: another converter driver than
    // the kernel's over those roots.
    explicit Rig(std::unique_ptr<IUsbDriver> driver = nullptr);
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
    // The serial control of the run now connected (a serial port or device
    // server link); null before the first, and for a converter run.
    CountingPort* Control() { return control_; }
    CountingPort& Port() { return *control_; }
    bool LinkOpen() const { return control_ != nullptr && control_->PortOpen(); }

    TempDir dir;
    FileRegistry registry;
    ComPortNames names;
    Settings settings;
    std::unique_ptr<IUsbDriver> usbDriver;
    IUsbDriver& usb;
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
    // `port` as the run's control, counting what goes out.
    std::unique_ptr<ISerialPort> Counted(std::unique_ptr<ISerialPort> port);

    CountingPort* control_ = nullptr;
};

} // namespace fw::e2e
