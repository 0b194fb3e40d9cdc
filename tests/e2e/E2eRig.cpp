#include "tests/e2e/E2eRig.h"

#include "engine/RecordForm.h"

#include "link/net/QtNetPort.h"
#include "link/serial/QtSerialPort.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fw::e2e {

namespace fs = std::filesystem;

TempDir::TempDir() : path_((fs::temp_directory_path() / "fw-e2e-XXXXXX").string()) {
    if (::mkdtemp(path_.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

pid_t SpawnWith(const std::vector<std::string>& args,
                const std::function<void(posix_spawn_file_actions_t&)>& redirect) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str())); // posix_spawn does not write to them
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    redirect(actions);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath,
            const std::string& errPath) {
    return SpawnWith(args, [&](posix_spawn_file_actions_t& actions) {
        constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC;
        if (!outPath.empty())
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), kCreate,
                                             0644);
        if (!errPath.empty())
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), kCreate,
                                             0644);
    });
}

int WaitExit(pid_t pid) {
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::size_t WireBytes(const std::string& image) {
    std::ifstream in(image);
    std::size_t bytes = 0;
    for (std::string line; std::getline(in, line);) {
        if (const auto binary = BinaryForm(line))
            bytes += binary->size();
    }
    return bytes;
}

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<nlohmann::json> ReadRuns(const std::string& path) {
    std::vector<nlohmann::json> runs;
    std::istringstream lines(ReadFile(path));
    for (std::string line; std::getline(lines, line);)
        runs.push_back(nlohmann::json::parse(line));
    return runs;
}

bool MakeImage(const std::string& srecCat, const std::string& path, std::uint32_t start,
               std::uint32_t size, int addressBytes) {
    return WaitExit(Spawn(
               {srecCat, "-generate", std::to_string(start), std::to_string(start + size),
                "-random", "-header=fw-e2e", "-execution-start-address=0", "-o", path,
                "-address-length=" + std::to_string(addressBytes), "-output_block_size=32"})) == 0;
}

// ---------------------------------------------------------------------------

std::string SimProcess::Start(const std::vector<std::string>& argv, const std::string& logBase) {
    logBase_ = logBase;
    // Standard output goes to a file rather than a pipe, so that nothing the
    // simulator prints later can block or kill it.
    pid_ = Spawn(argv, logBase + ".out", logBase + ".err");
    const std::string prefix = "analyser-sim: device ";
    std::string line;
    for (const auto end = Clock::now() + Millis(5000); pid_ > 0 && Clock::now() < end;) {
        if ((line = ReadFile(logBase + ".out")).find('\n') != std::string::npos || Wait(Millis(2)))
            break;
    }
    if (line.rfind(prefix, 0) != 0 || line.find('\n') == std::string::npos) {
        Stop();
        return "no device line from " + argv.at(0) + ": \"" + line + "\" " + Stderr();
    }
    device_ = line.substr(prefix.size(), line.find_first_of(" \n", prefix.size()) - prefix.size());
    return {};
}

void SimProcess::Signal(int sig) {
    if (pid_ > 0)
        ::kill(pid_, sig);
}

std::optional<int> SimProcess::Wait(Millis wait) {
    const auto end = Clock::now() + wait;
    for (int status = 0; pid_ > 0; ::usleep(1000)) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) {
            pid_ = -1; // ended (or not ours any more)
            return r > 0 ? std::optional<int>(status) : std::nullopt;
        }
        if (Clock::now() >= end)
            break;
    }
    return std::nullopt;
}

void SimProcess::Stop() {
    Signal(SIGTERM);
    if (!Wait(Millis(2000))) {
        Signal(SIGKILL);
        Wait(Millis(2000));
    }
}

// ---------------------------------------------------------------------------

void Counting::CountOut(bool wasOpen, const std::uint8_t* data, std::size_t count) {
    if (!wasOpen)
        return;
    bytesOut += count;
    sent.append(data, data + std::min(count, 4096 - sent.size()));
    if (onOutput)
        onOutput(count);
}

void HeadlessView::SetTimerInterval(int ms) {
    if (loaded && timer.interval() != ms)
        timer.setInterval(ms);
}

void HeadlessView::Unload() {
    timer.stop();
    loaded = false;
}

std::optional<std::vector<BenchRun>> ParseRuns(const std::string& runs) {
    std::vector<BenchRun> parsed;
    for (std::size_t at = 0; at < runs.size();) {
        const std::size_t comma = std::min(runs.find(',', at), runs.size());
        BenchRun run;
        if (std::sscanf(runs.substr(at, comma - at).c_str(), "%ld@%ld", &run.kib, &run.baud) != 2 ||
            run.kib <= 0 || run.baud <= 0) {
            return std::nullopt;
        }
        parsed.push_back(run);
        at = comma + 1;
    }
    return parsed;
}

// ---------------------------------------------------------------------------

Rig::Rig()
    : registry(dir.File("flashwright.reg")), names(&registry), settings(registry),
      usb(dir.File("sys"), dir.File("dev")), runLog(dir.File("runs.jsonl")),
      run(RunServices{
          view, fields, box,
          TransportMakers{[this] { return Counted(std::make_unique<QtSerialPort>(names)); },
                          [this] { return Counted(std::make_unique<QtNetPort>()); }, usb},
          &runLog, [this] { NoteState(); }}),
      link(run.link), engine(run.engine) {
    SetOperationDefaults(operations);
    QObject::connect(&view.timer, &QTimer::timeout, &view.timer, [this] {
        if (beforeTick)
            beforeTick();
        engine.AFTimer1_Timer();
        NoteState();
        if (afterTick)
            afterTick();
    });
}

Rig::~Rig() {
    view.Unload();
    run.Release();
    sim.Stop();
}

std::string Rig::StartSim(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{program, "--registry", dir.File("flashwright.reg"), "--com", "7"};
    argv.insert(argv.end(), args.begin(), args.end());
    return sim.Start(argv, dir.File("sim"));
}

void Rig::Store(const std::string& type, const std::string& filename) {
    settings.SaveSettingValue(kSection, kConnectionType, type);
    settings.SaveSettingValue(kSection, kComPort, "7");
    settings.SaveSettingValue(kSection, kFilename, filename);
}

RunConfig Rig::StoredChoices() {
    RunConfig c;
    c.type = ParseConnectionType(settings.GetSettingValue(kSection, kConnectionType, ""))
                 .value_or(c.type);
    c.comPort = settings.GetSettingValue(kSection, kComPort, c.comPort);
    c.usbSerial = settings.GetSettingValue(kSection, kUsbAnalyser, c.usbSerial);
    c.address = settings.GetSettingValue(kSection, kAddress, c.address);
    c.filename = settings.GetSettingValue(kSection, kFilename, c.filename);
    c.operations = operations;
    return c;
}

void Rig::Next() {
    // The page's load: fresh labels and the timer at its design interval;
    // then the run connects over a control of its own.
    static_cast<test::FakeProgressView&>(view) = test::FakeProgressView();
    view.At(StatusLabel::Connection).caption = "Connecting...";
    view.loaded = true;
    view.timer.setTimerType(Qt::PreciseTimer);
    view.timer.start(10);
    engine.FormActivate();
    control_ = nullptr;
    run.Connect(StoredChoices());
    NoteState();
}

void Rig::Previous() {
    run.Stop();
    view.Unload();
    run.Release();
    NoteState();
}

std::unique_ptr<ISerialPort> Rig::Counted(std::unique_ptr<ISerialPort> port) {
    auto counted = std::make_unique<CountingSerialPort>(std::move(port));
    control_ = counted.get();
    return counted;
}

std::unique_ptr<INetPort> Rig::Counted(std::unique_ptr<INetPort> port) {
    auto counted = std::make_unique<CountingNetPort>(std::move(port));
    control_ = counted.get();
    return counted;
}

void Rig::NoteState() {
    const auto state = static_cast<std::int32_t>(State());
    if (states.empty() || states.back() != state)
        states.push_back(state);
}

bool Rig::RunUntil(const std::function<bool()>& done, Millis timeout) {
    const QDeadlineTimer deadline(timeout.count(), Qt::PreciseTimer);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // The engine's timer ticks at least every 10 ms while the page is
        // loaded, so waiting for events never waits long; while it is not,
        // the loop polls.
        const bool ticking = view.timer.isActive();
        QCoreApplication::processEvents(ticking ? QEventLoop::WaitForMoreEvents
                                                : QEventLoop::AllEvents);
        if (!ticking)
            ::usleep(1000);
    }
    return true;
}

} // namespace fw::e2e
