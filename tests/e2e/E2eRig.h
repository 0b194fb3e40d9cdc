// A headless progress page for whole runs against the analyser simulator: the
// real link, engine, settings (over a registry file), serial port and converter
// driver, a Qt timer that follows the interval the engine asks for, and the
// analyser-sim program as a child process on its own pseudo-terminal.
//
// Shared by the end-to-end tests and the flash benchmark; no test framework
// here, callers check the results themselves.
#pragma once

#include "app/ModFlashwright.h"
#include "app/ProgressView.h"
#include "engine/ProgressFields.h"
#include "engine/UpdateEngine.h"
#include "link/ComPortNames.h"
#include "link/LinkOperations.h"
#include "link/QtSerialPort.h"
#include "link/SysfsUsbDriver.h"
#include "settings/FileRegistry.h"
#include "settings/Settings.h"
#include "tests/support/RecordingMessageBox.h"

#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fw::e2e {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// A fresh folder below the system's temporary folder, removed with its
// contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs a program to its end; its standard output and error go to `output`
// (when given). The exit status, or -1 when it could not be run or was killed.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& text);

// A firmware image of `size` random bytes from `start`, made by srec_cat: S0
// header, data records of 32 bytes with 2 (S1) or 3 (S2) address bytes, the
// record count and an end record (S9 / S8) with start address 0. Lines end in
// LF. Empty on success, otherwise why it failed.
std::string MakeImage(const std::string& srecCat, const std::string& path, std::uint32_t start,
                      std::uint32_t size, int addressBytes);

// The analyser simulator as a child process. Start() waits for its
// "analyser-sim: device <path> ..." line; its standard error goes to a file.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Empty on success, otherwise why it did not start.
    std::string Start(const std::string& program, const std::vector<std::string>& args,
                      const std::string& stderrPath, Millis wait = Millis(5000));
    const std::string& Device() const { return device_; }
    pid_t Pid() const { return pid_; }
    bool Running() const { return pid_ > 0; }
    // Sends `sig` (nothing when the process has been reaped).
    void Signal(int sig);
    // Waits up to `wait` for the process to end; its wait status, or nullopt
    // while it still runs.
    std::optional<int> Wait(Millis wait);
    // Stops it (SIGTERM, then SIGKILL) and reaps it.
    void Stop();
    std::string Stderr() const;

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string device_;
    std::string stderrPath_;
};

// The page's serial control as the engine sees it: a real QtSerialPort, with
// every byte handed to it counted (and kept, when asked) on the way through.
class CountingPort : public ISerialPort {
public:
    explicit CountingPort(const ComPortNames& names) : port_(names) {}

    CommError SetCommPort(std::int16_t port) override { return port_.SetCommPort(port); }
    std::int16_t CommPort() const override { return port_.CommPort(); }
    bool PortOpen() const override { return port_.PortOpen(); }
    CommError SetPortOpen(bool open) override { return port_.SetPortOpen(open); }
    void Output(const std::vector<std::uint8_t>& bytes) override;
    int OutBufferCount() const override { return port_.OutBufferCount(); }
    std::int16_t CommEvent() const override { return port_.CommEvent(); }
    int InBufferCount() const override { return port_.InBufferCount(); }
    std::string Input() override { return port_.Input(); }
    void SetOnComm(std::function<void()> handler) override { port_.SetOnComm(std::move(handler)); }

    std::size_t bytesOut = 0;                  // handed to Output while the port was open
    bool keep = true;                          // keep a copy of them in `sent`
    std::string sent;                          // the bytes themselves
    std::function<void(std::size_t)> onOutput; // after each accepted Output

private:
    QtSerialPort port_;
};

// The progress page without widgets: it records what the engine shows.
class HeadlessView : public IProgressView {
public:
    struct Label {
        std::string caption;
        Rgb colour{};
        bool visible = true;
    };

    explicit HeadlessView(const ComPortNames& names) : names_(names) {}

    void SetCaption(StatusLabel label, const std::string& caption) override {
        At(label).caption = caption;
    }
    std::string Caption(StatusLabel label) const override { return At(label).caption; }
    void SetForeColor(StatusLabel label, Rgb colour) override { At(label).colour = colour; }
    void SetVisible(StatusLabel label, bool visible) override { At(label).visible = visible; }
    void SetBarVisible(ProgressBar bar, bool visible) override { barVisible[Bar(bar)] = visible; }
    void SetBarWidth(ProgressBar bar, double twips) override { barWidth[Bar(bar)] = twips; }
    double BarWidth(ProgressBar bar) const override { return barWidth[Bar(bar)]; }
    // Like the page: the timer takes every interval it is given (a running Qt
    // timer restarts on setInterval).
    void SetTimerInterval(int ms) override;
    ISerialPort& afComm1() override;

    Label& At(StatusLabel label) { return labels[static_cast<std::size_t>(label)]; }
    const Label& At(StatusLabel label) const { return labels[static_cast<std::size_t>(label)]; }

    // The page's load: a new serial control and the timer at its design
    // interval. Unload: the timer stops and the control goes (closing the port).
    void Load();
    void Unload();
    bool Loaded() const { return port_ != nullptr; }
    CountingPort& Port() { return *port_; }
    QTimer& Timer() { return timer_; }

    std::array<Label, kStatusLabelCount> labels{};
    std::array<bool, 2> barVisible{true, true};
    std::array<double, 2> barWidth{2295, 2295}; // the design width of a full bar
    int interval = 10;
    // false: the timer is only told about an interval that differs from the
    // one it runs at (so it keeps its rhythm instead of restarting).
    bool restartOnEveryInterval = true;

private:
    static std::size_t Bar(ProgressBar bar) { return bar == ProgressBar::Bar1 ? 0 : 1; }

    const ComPortNames& names_;
    std::unique_ptr<CountingPort> port_;
    std::unique_ptr<CountingPort> unloaded_; // stands in while the page is unloaded
    QTimer timer_;
};

// One wizard behind a headless progress page, over its own registry file.
class Rig {
public:
    // `simProgram`: path of analyser-sim. The registry file and the fake
    // sysfs/dev roots of the converter driver live in the rig's own folder.
    explicit Rig(std::string simProgram);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Starts the simulator on COM `com` of this rig's registry, with `args`
    // added (for example --baud 0 --version 1.1). Empty on success.
    std::string StartSim(const std::vector<std::string>& args, int com = 7);

    // Stores the connection and the firmware file as the first two pages'
    // Next buttons do.
    void Store(const std::string& type, const std::string& comPort, const std::string& filename);
    // The operations page's Next: the progress page is loaded and activated,
    // then the link opens and (on success) the run starts at state 1.
    void Next();
    // The progress page's Previous: the run stops, an open converter closes,
    // an interrupted upload lets go of its file, and the page unloads.
    void Previous();

    // Spins the event loop until `done` holds or `timeout` passes.
    bool RunUntil(const std::function<bool()>& done, Millis timeout);
    void RunFor(Millis time);
    // Until 15, 16 or 0 after 14.
    bool RunToEnd(Millis timeout = Millis(20000));
    bool Final() const;

    std::int32_t State() const { return mod.nUpdateState; }
    bool Saw(std::int32_t state) const;

    TempDir dir;
    std::string registryPath;
    FileRegistry registry;
    ComPortNames names;
    Settings settings;
    SysfsUsbDriver usb;
    test::RecordingMessageBox box;
    ModFlashwright mod;
    ProgressFields fields;
    HeadlessView view;
    Link link;
    UpdateEngine engine;
    SimProcess sim;

    // Every value nUpdateState took, in order, as seen after each tick and
    // each receive event.
    std::vector<std::int32_t> states;
    // Around every tick (for measurements).
    std::function<void()> beforeTick;
    std::function<void()> afterTick;

private:
    void NoteState();

    std::string simProgram_;
};

} // namespace fw::e2e
