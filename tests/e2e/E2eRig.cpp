#include "tests/e2e/E2eRig.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fw::e2e {

namespace fs = std::filesystem;

namespace {

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return argv;
}

std::string Hex(std::uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

} // namespace

// ---------------------------------------------------------------------------

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "fw-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

int RunProgram(const std::vector<std::string>& argvIn, std::string* output) {
    std::vector<std::string> args = argvIn;
    std::vector<char*> argv = Argv(args);
    int pipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        if (output != nullptr) {
            *output = "cannot run " + args[0];
        }
        return -1;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output != nullptr) {
        *output = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

std::string MakeImage(const std::string& srecCat, const std::string& path, std::uint32_t start,
                      std::uint32_t size, int addressBytes) {
    std::string output;
    const int rc =
        RunProgram({srecCat, "-generate", Hex(start), Hex(start + size), "-random",
                    "-header=fw-e2e", "-execution-start-address=0", "-o", path,
                    "-address-length=" + std::to_string(addressBytes), "-output_block_size=32"},
                   &output);
    if (rc != 0) {
        return "srec_cat failed (" + std::to_string(rc) + "): " + output;
    }
    return {};
}

// ---------------------------------------------------------------------------

SimProcess::~SimProcess() {
    Stop();
}

std::string SimProcess::Start(const std::string& program, const std::vector<std::string>& extra,
                              const std::string& stderrPath, Millis wait) {
    std::vector<std::string> args{program};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv = Argv(args);
    int out[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return "pipe failed";
    }
    stderrPath_ = stderrPath;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        pid_ = -1;
        return "cannot start " + program;
    }

    // The announcement is one line. The pipe stays open while the simulator
    // runs, so that anything it might print later cannot kill it.
    stdout_ = out[0];
    std::string line;
    const auto end = Clock::now() + wait;
    while (line.find('\n') == std::string::npos && Clock::now() < end) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char buffer[256];
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break; // it exited
            }
            line.append(buffer, static_cast<std::size_t>(n));
        }
    }
    const std::string prefix = "analyser-sim: device ";
    if (line.rfind(prefix, 0) != 0 || line.find('\n') == std::string::npos) {
        Stop();
        return "no device line from the simulator: \"" + line + "\" " + Stderr();
    }
    const std::size_t endOfPath = line.find_first_of(" \n", prefix.size());
    device_ = line.substr(prefix.size(), endOfPath - prefix.size());
    return {};
}

void SimProcess::Signal(int sig) {
    if (pid_ > 0) {
        ::kill(pid_, sig);
    }
}

std::optional<int> SimProcess::Wait(Millis wait) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    const auto end = Clock::now() + wait;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return status;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return std::nullopt;
        }
        if (Clock::now() >= end) {
            return std::nullopt;
        }
        ::usleep(2000);
    }
}

void SimProcess::Stop() {
    if (pid_ > 0) {
        Signal(SIGTERM);
        if (!Wait(Millis(2000))) {
            Signal(SIGKILL);
            Wait(Millis(2000));
        }
    }
    if (stdout_ >= 0) {
        ::close(stdout_);
        stdout_ = -1;
    }
}

std::string SimProcess::Stderr() const {
    return stderrPath_.empty() ? std::string() : ReadFile(stderrPath_);
}

// ---------------------------------------------------------------------------

void CountingPort::Output(const std::vector<std::uint8_t>& bytes) {
    if (!port_.PortOpen()) {
        port_.Output(bytes); // dropped, as by the control itself
        return;
    }
    port_.Output(bytes);
    bytesOut += bytes.size();
    if (keep) {
        sent.append(bytes.begin(), bytes.end());
    }
    if (onOutput) {
        onOutput(bytes.size());
    }
}

// ---------------------------------------------------------------------------

void HeadlessView::SetTimerInterval(int ms) {
    const bool changed = ms != timer_.interval();
    interval = ms;
    if (timer_.isActive() && (changed || restartOnEveryInterval)) {
        timer_.setInterval(ms);
    }
}

ISerialPort& HeadlessView::afComm1() {
    if (port_) {
        return *port_;
    }
    if (!unloaded_) {
        unloaded_ = std::make_unique<CountingPort>(names_);
    }
    return *unloaded_;
}

void HeadlessView::Load() {
    port_ = std::make_unique<CountingPort>(names_);
    labels = {};
    labels[static_cast<std::size_t>(StatusLabel::Connection)].caption = "Connecting...";
    barVisible = {true, true};
    barWidth = {2295, 2295};
    interval = 10;
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval);
    timer_.start();
}

void HeadlessView::Unload() {
    timer_.stop();
    if (port_) {
        port_->SetOnComm(nullptr);
    }
    port_.reset();
}

// ---------------------------------------------------------------------------

Rig::Rig(std::string simProgram)
    : registryPath(dir.File("flashwright.reg")), registry(registryPath), names(&registry),
      settings(registry), usb(dir.File("sys"), dir.File("dev")), view(names),
      link(mod, view, settings, usb, box), engine(mod, fields, view, link, settings, usb, box),
      simProgram_(std::move(simProgram)) {
    SetOperationDefaults(mod);
    QObject::connect(&view.Timer(), &QTimer::timeout, &view.Timer(), [this] {
        if (beforeTick) {
            beforeTick();
        }
        engine.AFTimer1_Timer();
        NoteState();
        if (afterTick) {
            afterTick();
        }
    });
}

Rig::~Rig() {
    view.Unload();
    sim.Stop();
}

std::string Rig::StartSim(const std::vector<std::string>& args, int com) {
    std::vector<std::string> all{"--registry", registryPath, "--com", std::to_string(com)};
    all.insert(all.end(), args.begin(), args.end());
    return sim.Start(simProgram_, all, dir.File("sim.log"));
}

void Rig::Store(const std::string& type, const std::string& comPort, const std::string& filename) {
    settings.SaveSettingValue(kSection, kConnectionType, type);
    settings.SaveSettingValue(kSection, kComPort, comPort);
    settings.SaveSettingValue(kSection, kFilename, filename);
}

void Rig::Next() {
    view.Load();
    view.Port().SetOnComm([this] {
        engine.afComm1_OnComm();
        NoteState();
    });
    engine.FormActivate();
    link.ConnectToAnalyser();
    NoteState();
}

void Rig::Previous() {
    mod.nUpdateState = kStateIdle;
    link.CloseUsb();
    engine.AbandonUpload();
    view.Unload();
    NoteState();
}

void Rig::NoteState() {
    if (states.empty() || states.back() != mod.nUpdateState) {
        states.push_back(mod.nUpdateState);
    }
}

bool Rig::Saw(std::int32_t state) const {
    for (const auto s : states) {
        if (s == state) {
            return true;
        }
    }
    return false;
}

bool Rig::RunUntil(const std::function<bool()>& done, Millis timeout) {
    const QDeadlineTimer deadline(timeout.count(), Qt::PreciseTimer);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        // The engine's timer ticks at least every 10 ms while the page is
        // loaded, so waiting for events never waits long; while it is not,
        // the loop polls.
        if (view.Timer().isActive()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            ::usleep(1000);
        }
    }
    return true;
}

void Rig::RunFor(Millis time) {
    RunUntil([] { return false; }, time);
}

bool Rig::Final() const {
    if (mod.nUpdateState == kStateFinished || mod.nUpdateState == kStateFailed) {
        return true;
    }
    // 0 is final only once the run has passed 14 (before that it is idle).
    return mod.nUpdateState == kStateIdle && Saw(kStateConfirmRun);
}

bool Rig::RunToEnd(Millis timeout) {
    return RunUntil([this] { return Final(); }, timeout);
}

} // namespace fw::e2e
