// flashwright-cli as a process against the analyser simulator on a
// pseudo-terminal: settings below XDG_CONFIG_HOME and the run log below
// XDG_STATE_HOME, both in the test's own folder.
#include "settings/FileRegistry.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"
#include "tests/e2e/E2eRig.h"
#include "tests/support/Ser2net.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fw::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRecords = 128; // 4 KiB in 32-byte records

class CliRig {
public:
    CliRig() { fs::create_directories(dir.File("config/Tarnvel")); }

    std::string Registry() const { return dir.File("config/Tarnvel/Flashwright.reg"); }
    std::string RunLog() const { return dir.File("state/Tarnvel/Flashwright/runs.jsonl"); }

    // The simulator on COM7 of the program's settings file, logging what it
    // hears; `args` come first.
    std::string StartSim(std::vector<std::string> args) {
        args.insert(args.begin(), FW_ANALYSER_SIM);
        args.insert(args.end(),
                    {"--registry", Registry(), "--com", "7", "--reboot-ms", "20", "--erase-ms",
                     "20", "--out", dir.File("received.srec"), "--exit-after-run", "--verbose"});
        return sim.Start(args, dir.File("sim"));
    }

    // Standard output and error go to files unless other paths are given.
    pid_t Start(const std::vector<std::string>& args, const std::string& out = {},
                const std::string& err = {}) {
        std::vector<std::string> argv{"env", "XDG_CONFIG_HOME=" + dir.File("config"),
                                      "XDG_STATE_HOME=" + dir.File("state"), FW_CLI};
        argv.insert(argv.end(), args.begin(), args.end());
        return Spawn(argv, out.empty() ? dir.File("cli.out") : out,
                     err.empty() ? dir.File("cli.err") : err);
    }

    // Runs the program to its end (killed after `limit`): its exit code, or
    // -1 when it had to be killed or died of a signal.
    int Run(const std::vector<std::string>& args, Millis limit = Millis(30000)) {
        return Finish(Start(args), limit);
    }

    int Finish(pid_t pid, Millis limit) {
        const int code = Reap(pid, limit);
        allErr += Err();
        return code;
    }

    static int Reap(pid_t pid, Millis limit) {
        const auto end = Clock::now() + limit;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > end) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                return -1;
            }
            ::usleep(2000);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Out() const { return ReadFile(dir.File("cli.out")); }
    std::string Err() const { return ReadFile(dir.File("cli.err")); }
    std::string Both() const { return "stdout:\n" + Out() + "stderr:\n" + Err(); }

    std::vector<nlohmann::json> Runs() const { return ReadRuns(RunLog()); }

    TempDir dir;
    SimProcess sim;
    std::string allErr; // every run's standard error
};

// A firmware file from srec_cat, 4 KiB in S1 (at 0x1000) or S2 (at 0x3F000).
std::string Image(const CliRig& r, int addressBytes, const std::string& name = "fw.sx",
                  std::uint32_t size = 0x1000) {
    const std::string path = r.dir.File(name);
    if (!MakeImage(FW_SREC_CAT, path, addressBytes == 2 ? 0x1000 : 0x3F000, size, addressBytes))
        throw std::runtime_error("srec_cat failed");
    return path;
}

bool HasControlCharacters(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7F; });
}

class CliE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(FW_SREC_CAT).empty() || std::string(FW_SREC_CMP).empty())
            GTEST_SKIP() << "srec_cat / srec_cmp (Debian srecord) not installed";
    }
    // Under the sanitizers a report may come with an exit code a case expects.
    void TearDown() override {
        for (const char* report : {"Sanitizer", "runtime error:"})
            EXPECT_EQ(rig.allErr.find(report), std::string::npos) << rig.allErr;
    }
    CliRig rig;
};

// --- Whole runs: exit code, output, the record, and what the analyser got ---

struct FlashCase {
    const char* name;
    std::vector<std::string> simArgs; // after --baud 0
    int addressBytes;
    std::vector<std::string> extraArgs;
    int exitCode;
    const char* result;
    const char* reason;    // part of the record's reason; "" for none
    const char* stderrHas; // "": standard error stays empty
    bool imageArrives;
    const char* server = ""; // "raw" / "rfc2217": through ser2net with --address
};

// ctest lists a case by its name, not its bytes.
void PrintTo(const FlashCase& c, std::ostream* os) {
    *os << c.name;
}

// clang-format off
const FlashCase kFlashCases[] = {
    {"TextRecords", {"--bootloader-version", "1.1", "--strict-form"}, 2, {}, 0, "success", "", "", true},
    {"BinaryRecords", {"--bootloader-version", "1.2", "--strict-form"}, 3, {}, 0, "success", "", "", true},
    // The simulator's option as scripts wrote it before --bootloader-version.
    {"OldVersionSpelling", {"--version", "1.1", "--strict-form"}, 3, {}, 0, "success", "", "", true},
    {"AllErasesAndNoRun", {}, 3, {"--ops", "bootloader,erase-flash,erase-eeprom,erase-ram,upload"},
     0, "success", "", "", false},
    {"RejectedRecord", {"--reject-record", "5"}, 3, {}, 1, "failed", "rejected record 5",
     "Flashwright: Failed Sx!", false},
    {"SilentAnalyserTimesOut", {"--silent"}, 3, {"--timeout", "1"}, 1, "failed", "timed out",
     "did not end within 1 s", false},
    {"BinaryRecordsThroughSer2net", {"--version", "1.2", "--strict-form"}, 3, {}, 0, "success", "",
     "", true, "raw"},
    {"BinaryRecordsThroughSer2netRfc2217", {"--version", "1.2", "--strict-form"}, 3, {"--save"}, 0,
     "success", "", "", true, "rfc2217"},
};
// clang-format on

class CliFlash : public CliE2e, public ::testing::WithParamInterface<FlashCase> {};

TEST_P(CliFlash, Run) {
    const FlashCase& c = GetParam();
    const std::string image = Image(rig, c.addressBytes);
    std::vector<std::string> simArgs{"--baud", "0"};
    simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
    ASSERT_EQ(rig.StartSim(simArgs), "");
    const std::string server = c.server;
    test::Ser2net ser2net;
    std::string address;
    std::vector<std::string> args{"flash", "--port", "COM7", "--file", image};
    if (!server.empty()) {
        ASSERT_EQ(ser2net.Start(rig.dir.File("."), rig.sim.Device(), server == "rfc2217"), "");
        address = (server == "rfc2217" ? "rfc2217://127.0.0.1:" : "127.0.0.1:") +
                  std::to_string(ser2net.Port());
        args = {"flash", "--address", address, "--file", image};
    }
    args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
    const auto start = Clock::now();
    ASSERT_EQ(rig.Run(args), c.exitCode) << rig.Both() << rig.sim.Stderr();

    // Not a terminal: plain lines, one per change of a row.
    const std::string out = rig.Out();
    EXPECT_FALSE(HasControlCharacters(out)) << out;
    EXPECT_NE(out.find("Connect to Analyser: OK\n"), std::string::npos) << out;
    if (c.stderrHas[0] == '\0') {
        EXPECT_EQ(rig.Err(), "") << rig.Both();
    } else {
        EXPECT_NE(rig.Err().find(c.stderrHas), std::string::npos) << rig.Both();
    }

    const std::vector<nlohmann::json> runs = rig.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["result"], c.result);
    if (server.empty()) {
        EXPECT_EQ(runs[0]["connection"]["port"], 7);
    } else {
        EXPECT_EQ(runs[0]["connection"]["type"], "TCP");
        EXPECT_EQ(runs[0]["connection"]["device"], address);
        // --save stores the type and the address, as the connection page's Next.
        FileRegistry registry(rig.Registry());
        Settings stored(registry);
        const bool saved =
            std::find(c.extraArgs.begin(), c.extraArgs.end(), "--save") != c.extraArgs.end();
        EXPECT_EQ(stored.GetSettingValue(kSection, kAddress, "<unset>"),
                  saved ? address : "<unset>");
        EXPECT_EQ(stored.GetSettingValue(kSection, kConnectionType, "<unset>"),
                  saved ? "TCP" : "<unset>");
    }
    EXPECT_EQ(runs[0]["firmware"]["path"], image);
    if (c.simArgs.size() > 1 && c.simArgs[0].ends_with("version")) {
        EXPECT_EQ(runs[0]["bootloader"], c.simArgs[1]);
    }
    if (c.reason[0] != '\0') {
        ASSERT_TRUE(runs[0]["reason"].is_string()) << runs[0];
        EXPECT_NE(runs[0]["reason"].get<std::string>().find(c.reason), std::string::npos)
            << runs[0];
    }

    if (c.imageArrives) {
        EXPECT_NE(out.find("Verify Upload: OK (128 records"), std::string::npos) << out;
        EXPECT_NE(out.find("Run Firmware: OK"), std::string::npos) << out;
        // The simulator answers every record, and the run listens until it has.
        EXPECT_EQ(runs[0]["records_passed"], kRecords);
        EXPECT_EQ(rig.sim.Wait(Millis(5000)), 0) << rig.sim.Stderr();
        EXPECT_EQ(WaitExit(Spawn({FW_SREC_CMP, image, rig.dir.File("received.srec")})), 0);
    } else {
        EXPECT_EQ(rig.sim.Stderr().find("run:"), std::string::npos) << "the firmware was started";
    }
    if (std::string(c.name) == "SilentAnalyserTimesOut") {
        EXPECT_LT(Clock::now() - start, Millis(5000));
        EXPECT_EQ(runs[0]["rows"]["Enter Bootloader"], "FAILED");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CliFlash, ::testing::ValuesIn(kFlashCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A refused file: the run ends before the first byte goes out.
TEST_F(CliE2e, RefusedFileSendsNothing) {
    std::string text = ReadFile(Image(rig, 2));
    const std::size_t third = text.find("\nS1", text.find("\nS1") + 1) + 1;
    text[third + 10] = text[third + 10] == '0' ? '1' : '0'; // a data digit: the checksum fails
    WriteFile(rig.dir.File("bad.sx"), text);
    ASSERT_EQ(rig.StartSim({"--baud", "0"}), "");
    ASSERT_EQ(rig.Run({"flash", "--port", "7", "--file", rig.dir.File("bad.sx")}), 1) << rig.Both();
    EXPECT_NE(rig.Err().find("Load Firmware Error: The firmware file cannot be loaded: line 3"),
              std::string::npos)
        << rig.Both();
    EXPECT_NE(rig.Out().find("Upload Firmware: FAILED"), std::string::npos) << rig.Out();
    rig.sim.Stop();
    EXPECT_EQ(rig.sim.Stderr(), "") << "the analyser heard something";
    ASSERT_EQ(rig.Runs().size(), 1u);
    EXPECT_EQ(rig.Runs()[0]["result"], "failed");
}

// The stored settings are the defaults; --save stores what was given.
TEST_F(CliE2e, StoredSettingsAndSave) {
    const std::string image = Image(rig, 3);
    {
        FileRegistry registry(rig.Registry());
        Settings settings(registry);
        settings.SaveSettingValue(kSection, kConnectionType, "USB");
        settings.SaveSettingValue(kSection, kComPort, "7");
        settings.SaveSettingValue(kSection, kFilename, image);
    }
    ASSERT_EQ(rig.StartSim({"--baud", "0"}), "");
    // --port makes it a serial run; without --save nothing is stored.
    ASSERT_EQ(rig.Run({"flash", "--port", "7", "--ops", "bootloader"}), 0) << rig.Both();
    EXPECT_EQ(rig.Runs().back()["connection"]["type"], "COM");
    FileRegistry registry(rig.Registry());
    Settings settings(registry);
    EXPECT_EQ(settings.GetSettingValue(kSection, kConnectionType, ""), "USB");

    // A relative --file is stored as an absolute path.
    const std::string cwd = fs::current_path().string();
    fs::current_path(rig.dir.File(""));
    const int code = rig.Run({"flash", "--type", "com", "--file", "fw.sx", "--ops", "", "--save"});
    fs::current_path(cwd);
    ASSERT_EQ(code, 0) << rig.Both();
    EXPECT_EQ(settings.GetSettingValue(kSection, kConnectionType, ""), "COM");
    EXPECT_EQ(settings.GetSettingValue(kSection, kComPort, ""), "7");
    EXPECT_EQ(fs::path(settings.GetSettingValue(kSection, kFilename, "")), fs::path(image));

    // Another program keeps the settings locked: after a wait of 3 s (not
    // much more even on a busy machine) the program says so, the file stays as
    // it was and nothing is sent. So too when a device path is to be registered.
    const std::string before = ReadFile(rig.Registry());
    const int holder = ::open((rig.Registry() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const std::size_t runs = rig.Runs().size();
    const auto start = Clock::now();
    EXPECT_EQ(rig.Run({"flash", "--port", "8", "--save"}, Millis(9000)), 1) << rig.Both();
    EXPECT_GE(Clock::now() - start, Millis(2900));
    EXPECT_NE(rig.Err().find("not saved: another program has kept " + rig.Registry() +
                             " locked for 3 s; nothing was sent"),
              std::string::npos)
        << rig.Err();
    const std::string unregistered = rig.dir.File("ttyUnregistered");
    EXPECT_EQ(rig.Run({"flash", "--port", unregistered, "--save"}, Millis(9000)), 1) << rig.Both();
    EXPECT_NE(rig.Err().find("cannot register " + unregistered + " as COM97"), std::string::npos)
        << rig.Err();
    ::close(holder);
    EXPECT_EQ(ReadFile(rig.Registry()), before);
    EXPECT_EQ(rig.Runs().size(), runs);
}

// --port DEVICE: a number for this run only, or registered with --save under
// the first free number, and found there the next time.
TEST_F(CliE2e, DevicePathPort) {
    const std::string image = Image(rig, 3);
    ASSERT_EQ(rig.StartSim({"--baud", "0", "--no-register"}), "");
    const std::string device = rig.sim.Device();
    FileRegistry registry(rig.Registry());
    Settings settings(registry);
    const auto registered = [&registry](const char* name) {
        return RegReadString(registry, "SOFTWARE\\Tarnvel\\Flashwright\\Ports", name, "<none>",
                             HKEY_LOCAL_MACHINE);
    };
    ASSERT_EQ(rig.Run({"flash", "--port", device, "--file", image, "--ops", "bootloader"}), 0)
        << rig.Both();
    EXPECT_EQ(rig.Runs().back()["connection"]["port"], 97);
    EXPECT_EQ(rig.Runs().back()["connection"]["device"], device);
    EXPECT_EQ(registered("COM97"), "<none>");
    EXPECT_EQ(settings.GetSettingValue(kSection, kComPort, "<none>"), "<none>");

    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(rig.Run({"flash", "--port", device, "--ops", "bootloader", "--save"}), 0)
            << rig.Both();
        EXPECT_EQ(registered("COM97"), device);
        EXPECT_EQ(registered("COM98"), "<none>");
        EXPECT_EQ(settings.GetSettingValue(kSection, kComPort, ""), "97");
        EXPECT_EQ(rig.Runs().back()["connection"]["port"], 97);
    }
    // Registered (here by hand under another number), it runs under that
    // number without --save too, and nothing more is registered.
    ASSERT_TRUE(RegWriteString(registry, "SOFTWARE\\Tarnvel\\Flashwright\\Ports", "COM97",
                               "/dev/ttyOther", HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(RegWriteString(registry, "SOFTWARE\\Tarnvel\\Flashwright\\Ports", "COM45", device,
                               HKEY_LOCAL_MACHINE));
    const std::string registeredBefore = ReadFile(rig.Registry());
    ASSERT_EQ(rig.Run({"flash", "--port", device, "--ops", "bootloader"}), 0) << rig.Both();
    EXPECT_EQ(rig.Runs().back()["connection"]["port"], 45);
    EXPECT_EQ(ReadFile(rig.Registry()), registeredBefore);
    EXPECT_EQ(rig.Runs().back()["connection"]["device"], device);
    EXPECT_EQ(rig.Err(), "");
}

// Ctrl-C, a kill, a closed terminal or Ctrl-\ mid-upload do what Previous does.
// Ctrl-Z for two seconds (or a loaded machine) does nothing of the kind: the
// verdicts that piled up meanwhile arrive at once, and every one counts.
struct StopCase {
    const char* name;
    int sig;
};
const StopCase kStopCases[] = {{"SIGINT", SIGINT},
                               {"SIGTERM", SIGTERM},
                               {"SIGHUP", SIGHUP},
                               {"SIGQUIT", SIGQUIT},
                               {"SIGSTOP", SIGSTOP}};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class CliStop : public CliE2e, public ::testing::WithParamInterface<StopCase> {};

TEST_P(CliStop, MidUpload) {
    // 16 KiB at 38400 baud: about five seconds on the line.
    const std::string image = Image(rig, 3, "big.sx", 0x4000);
    ASSERT_EQ(rig.StartSim({"--baud", "38400"}), "");
    const pid_t cli = rig.Start({"flash", "--port", "7", "--file", image});
    const auto end = Clock::now() + Millis(20000);
    while (rig.Out().find("Upload Firmware: 10% sent") == std::string::npos && Clock::now() < end)
        ::usleep(5000);
    ASSERT_NE(rig.Out().find("Upload Firmware: 10% sent"), std::string::npos) << rig.Both();
    ::kill(cli, GetParam().sig);
    if (GetParam().sig == SIGSTOP) {
        ::usleep(2'000'000);
        ::kill(cli, SIGCONT);
        ASSERT_EQ(rig.Finish(cli, Millis(20000)), 0) << rig.Both();
        ASSERT_EQ(rig.Runs().size(), 1u);
        EXPECT_EQ(rig.Runs()[0]["result"], "success");
        EXPECT_EQ(rig.Runs()[0]["records_passed"], 512);
        EXPECT_EQ(rig.sim.Wait(Millis(5000)), 0) << rig.sim.Stderr();
        EXPECT_EQ(WaitExit(Spawn({FW_SREC_CMP, image, rig.dir.File("received.srec")})), 0);
        return;
    }
    ASSERT_EQ(rig.Finish(cli, Millis(10000)), 128 + GetParam().sig) << rig.Both();
    EXPECT_NE(rig.Err().find("interrupted"), std::string::npos) << rig.Err();
    ASSERT_EQ(rig.Runs().size(), 1u);
    const nlohmann::json run = rig.Runs()[0];
    EXPECT_EQ(run["result"], "abandoned");
    EXPECT_GT(run["records_sent"].get<int>(), 0);
    EXPECT_LT(run["records_sent"].get<int>(), 512);
    EXPECT_EQ(rig.sim.Stderr().find("run:"), std::string::npos);
}

// Ctrl-C while a device server that never answers is being connected to:
// the run is abandoned at once, not when the connect gives up.
TEST_F(CliE2e, CtrlCDuringTheConnect) {
    const test::SilentListener off;
    const std::string image = Image(rig, 3);
    const pid_t cli = rig.Start(
        {"flash", "--address", "127.0.0.1:" + std::to_string(off.Port()), "--file", image});
    ::usleep(1'000'000);
    const auto stopped = Clock::now();
    ::kill(cli, SIGINT);
    ASSERT_EQ(rig.Finish(cli, Millis(5000)), 130) << rig.Both();
    EXPECT_LT(Clock::now() - stopped, Millis(1000));
    EXPECT_NE(rig.Err().find("interrupted"), std::string::npos) << rig.Err();
    ASSERT_EQ(rig.Runs().size(), 1u);
    EXPECT_EQ(rig.Runs()[0]["result"], "abandoned");
    EXPECT_EQ(rig.Runs()[0]["rows"]["Verify Upload"], ""); // no upload, nothing to verify
}

INSTANTIATE_TEST_SUITE_P(Signals, CliStop, ::testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

// `flashwright-cli flash ... 2>&1 | head -c 1`: the reader goes after one
// byte, and the run still ends as it would have.
TEST_F(CliE2e, OutputClosedEarly) {
    const std::string image = Image(rig, 3);
    ASSERT_EQ(rig.StartSim({"--baud", "115200"}), "");
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const std::string writeEnd = "/dev/fd/" + std::to_string(pipe[1]);
    const pid_t cli = rig.Start({"flash", "--port", "7", "--file", image}, writeEnd, writeEnd);
    ::close(pipe[1]);
    char first = 0;
    EXPECT_EQ(::read(pipe[0], &first, 1), 1);
    ::close(pipe[0]);
    ASSERT_EQ(rig.Finish(cli, Millis(30000)), 0);
    ASSERT_EQ(rig.Runs().size(), 1u);
    EXPECT_EQ(rig.Runs()[0]["result"], "success") << rig.Runs()[0];
    EXPECT_EQ(rig.sim.Wait(Millis(5000)), 0) << rig.sim.Stderr();
    EXPECT_EQ(WaitExit(Spawn({FW_SREC_CMP, image, rig.dir.File("received.srec")})), 0);
}

// A FIFO at the run log's place is refused at once, in one line; the run is
// not held up by it.
TEST_F(CliE2e, RunLogThatIsAFifo) {
    const std::string image = Image(rig, 3);
    fs::create_directories(fs::path(rig.RunLog()).parent_path());
    ASSERT_EQ(::mkfifo(rig.RunLog().c_str(), 0600), 0);
    ASSERT_EQ(rig.StartSim({"--baud", "0"}), "");
    const auto start = Clock::now();
    ASSERT_EQ(rig.Run({"flash", "--port", "7", "--file", image}, Millis(10000)), 0) << rig.Both();
    EXPECT_LT(Clock::now() - start, Millis(5000));
    const std::string err = rig.Err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("run log not written: " + rig.RunLog() + " is not a regular file"),
              std::string::npos)
        << err;
    EXPECT_NE(rig.Out().find("Run Firmware: OK"), std::string::npos) << rig.Out();
}

// --json: the record, the same object as the run log's line, alone on stdout.
TEST_F(CliE2e, JsonRecordOnStdout) {
    const std::string image = Image(rig, 3);
    ASSERT_EQ(rig.StartSim({"--baud", "0"}), "");
    ASSERT_EQ(rig.Run({"flash", "--port", "7", "--file", image, "--json"}), 0) << rig.Both();
    const nlohmann::json printed = nlohmann::json::parse(rig.Out());
    EXPECT_EQ(printed, rig.Runs().back());
    EXPECT_EQ(printed["result"], "success");
    EXPECT_EQ(printed["records_sent"], kRecords);
    EXPECT_NE(rig.Err().find("Run Firmware: OK"), std::string::npos) << rig.Err();
}

TEST_F(CliE2e, LinkThatDoesNotOpen) {
    const std::string nobody = "127.0.0.1:" + std::to_string(test::Ser2net::FreePort());
    const test::SilentListener off;
    const std::string silent = "127.0.0.1:" + std::to_string(off.Port());
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--port", "COM200"}, "Flashwright: Invalid Communications Port"},
        {{"--address", nobody}, "Flashwright: Unable to connect to " + nobody},
        {{"--address", silent}, "(no answer within 3 s)"},
        // The stored address of a fresh install has no port.
        {{"--type", "TCP"}, "Flashwright: Invalid Network Address \"192.168.0.1\""},
    };
    const std::string image = Image(rig, 3);
    for (const auto& [link, message] : cases) {
        std::vector<std::string> args{"flash", "--file", image, "--json"};
        args.insert(args.begin() + 1, link.begin(), link.end());
        const auto start = Clock::now();
        ASSERT_EQ(rig.Run(args), 3) << message << rig.Both();
        EXPECT_LT(Clock::now() - start, Millis(4000));
        EXPECT_NE(rig.Err().find(message), std::string::npos) << rig.Err();
        EXPECT_EQ(nlohmann::json::parse(rig.Out())["result"], "failed");
        EXPECT_EQ(rig.Runs().back()["rows"]["Connect to Analyser"], "FAILED");
    }
}

// An rfc2217:// address whose server takes the connection and says nothing
// (the kernel accepts it; nobody reads): after 1 s the run goes on with a
// warning on the connection line and in the record.
TEST_F(CliE2e, Rfc2217ServerThatStaysSilentIsAWarning) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size);
    const std::string address = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    const std::string warning =
        "the device server did not agree to COM-PORT-OPTION within 1 s; the line settings "
        "were not sent";
    EXPECT_EQ(rig.Run({"flash", "--address", address, "--file", Image(rig, 3), "--timeout", "2"}),
              1)
        << rig.Both();
    ::close(listener);
    EXPECT_NE(rig.Out().find("Connect to Analyser: OK (warning: " + warning + ")"),
              std::string::npos)
        << rig.Out();
    ASSERT_EQ(rig.Runs().size(), 1u);
    EXPECT_EQ(rig.Runs()[0]["connection"]["warning"], warning);
    EXPECT_EQ(rig.Runs()[0]["reason"], "timed out");
}

TEST_F(CliE2e, ListShowsTheSimulatorsPort) {
    ASSERT_EQ(rig.StartSim({"--baud", "0"}), "");
    ASSERT_EQ(rig.Run({"list"}), 0) << rig.Both();
    EXPECT_NE(rig.Out().find("COM7    " + rig.sim.Device() + "\n"), std::string::npos) << rig.Out();
    EXPECT_NE(rig.Out().find("USB converters:"), std::string::npos) << rig.Out();
}

TEST_F(CliE2e, CheckGoodAndBadFiles) {
    const std::string image = Image(rig, 3);
    ASSERT_EQ(rig.Run({"check", image}), 0) << rig.Both();
    const std::string sums = rig.dir.File("sha256sum.out");
    ASSERT_EQ(WaitExit(Spawn({"sha256sum", image}, sums)), 0);
    const std::string out = rig.Out();
    EXPECT_NE(out.find("records:    128 S2"), std::string::npos) << out;
    EXPECT_NE(out.find("addresses:  0x03F000 to 0x03FFFF"), std::string::npos) << out;
    EXPECT_NE(out.find("data bytes: 4096"), std::string::npos) << out;
    EXPECT_NE(out.find("sha256:     " + ReadFile(sums).substr(0, 64)), std::string::npos) << out;

    // A record that lost its "S" is refused, not skipped (which would leave a
    // hole of its 32 bytes in the analyser's image).
    std::string text = ReadFile(image);
    const std::size_t fifth = text.find("\nS2", text.find("\nS2", text.find("\nS2") + 1) + 1) + 1;
    text.erase(fifth, 1);
    WriteFile(rig.dir.File("lost.sx"), text);
    ASSERT_EQ(rig.Run({"check", rig.dir.File("lost.sx")}), 1) << rig.Both();
    EXPECT_NE(rig.Err().find("refused: line 4 is not an S-record: it starts with '2', not 'S'"),
              std::string::npos)
        << rig.Err();

    WriteFile(rig.dir.File("s3.sx"), "S00600004844521B\nS3090000100001020304DC\n");
    ASSERT_EQ(rig.Run({"check", rig.dir.File("s3.sx")}), 1) << rig.Both();
    EXPECT_NE(rig.Err().find("refused: line 2"), std::string::npos) << rig.Err();
    ASSERT_EQ(rig.Run({"check", rig.dir.File("missing.sx")}), 1) << rig.Both();
    EXPECT_NE(rig.Err().find("cannot be opened"), std::string::npos) << rig.Err();
}

// --- Many analysers from one command ---

// `count` simulators on COM10, COM11, ... of the rig's settings file; `args(i)`
// come first for the i-th, which writes what it received to received<i>.srec.
class Fleet {
public:
    explicit Fleet(CliRig& rig) : rig_(rig) {}

    std::string Start(int count, const std::function<std::vector<std::string>(int)>& args) {
        for (int i = 0; i < count; ++i) {
            std::vector<std::string> argv = args(i);
            argv.insert(argv.begin(), FW_ANALYSER_SIM);
            argv.insert(argv.end(), {"--registry", rig_.Registry(), "--com", std::to_string(10 + i),
                                     "--reboot-ms", "20", "--erase-ms", "20", "--out", Received(i),
                                     "--exit-after-run", "--verbose"});
            sims.push_back(std::make_unique<SimProcess>());
            if (std::string error = sims.back()->Start(argv, rig_.dir.File(Name(i)));
                !error.empty())
                return error;
        }
        return {};
    }
    static std::string Name(int i) { return "COM" + std::to_string(10 + i); }
    std::string Received(int i) const { return rig_.dir.File("received" + std::to_string(i)); }
    // "--port COM10 --port COM11 ..."
    std::vector<std::string> Ports() const {
        std::vector<std::string> args;
        for (std::size_t i = 0; i < sims.size(); ++i)
            args.insert(args.end(), {"--port", Name(static_cast<int>(i))});
        return args;
    }
    bool SameImage(int i, const std::string& image) const {
        return sims[static_cast<std::size_t>(i)]->Wait(Millis(5000)) == 0 &&
               WaitExit(Spawn({FW_SREC_CMP, image, Received(i)})) == 0;
    }
    // The records by analyser; each must carry the one batch id.
    std::map<std::string, nlohmann::json> Runs(std::string* batch) const {
        std::map<std::string, nlohmann::json> byName;
        for (const nlohmann::json& run : rig_.Runs()) {
            EXPECT_EQ(run["batch"], rig_.Runs().front()["batch"]) << run;
            byName[run["analyser"].get<std::string>()] = run;
        }
        *batch = rig_.Runs().empty() ? "" : rig_.Runs().front()["batch"].get<std::string>();
        return byName;
    }

    std::vector<std::unique_ptr<SimProcess>> sims;

private:
    CliRig& rig_;
};

std::string LastLine(const std::string& text) {
    const std::size_t end = text.find_last_not_of('\n');
    return end == std::string::npos
               ? ""
               : text.substr(text.rfind('\n', end) + 1, end - text.rfind('\n', end));
}

// The summary table's row of `name`: "NAME   RESULT   REASON".
std::string TableRow(const std::string& out, const std::string& name) {
    const std::size_t table = out.rfind("\nANALYSER ");
    const std::size_t row = out.find("\n" + name + " ", table);
    return table == std::string::npos || row == std::string::npos
               ? std::string()
               : out.substr(row + 1, out.find('\n', row + 1) - row - 1);
}

// Eight at once on a terminal of 70 columns and 6 rows, the last through
// ser2net: every image arrives whole; the live lines fit the width, show the
// runs going and a count of the others; --json prints the eight records, as
// the run log has them.
TEST_F(CliE2e, EightAtOnceOnATerminal) {
    const std::string image = Image(rig, 3);
    Fleet fleet(rig);
    ASSERT_EQ(fleet.Start(8, [](int) { return std::vector<std::string>{"--baud", "0"}; }), "");
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const winsize size{6, 70, 0, 0};
    ASSERT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    test::Ser2net ser2net;
    ASSERT_EQ(ser2net.Start(rig.dir.File("."), fleet.sims[7]->Device(), false), "");
    const std::string address = "127.0.0.1:" + std::to_string(ser2net.Port());
    std::vector<std::string> args{"flash", "--file", image, "--json", "--address", address};
    const std::vector<std::string> ports = fleet.Ports();
    args.insert(args.begin() + 1, ports.begin(), ports.end() - 2);
    const pid_t cli = rig.Start(args, {}, ::ptsname(master));
    std::string screen;
    int status = 0;
    const auto drain = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            screen.append(buffer, static_cast<std::size_t>(n));
    };
    for (const auto end = Clock::now() + Millis(60000);
         ::waitpid(cli, &status, WNOHANG) == 0 && Clock::now() < end; ::usleep(2000))
        drain();
    drain();
    ::close(master);
    rig.allErr += screen;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen << rig.Out();

    EXPECT_NE(screen.find("8 of 8 analysers OK\r\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find(" done"), std::string::npos) << "no count of the runs not shown";
    // Each line as it stands after its last carriage return, escapes taken out.
    std::string plain;
    for (std::size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] == '\033') {
            i = screen.find_first_of("ABCDHJKm", i);
            if (i == std::string::npos)
                break;
        } else {
            plain += screen[i];
        }
    }
    std::istringstream lines(plain);
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(line.rfind('\r', line.size() - 2) == std::string::npos
                               ? 0
                               : line.rfind('\r', line.size() - 2) + 1);
        EXPECT_LE(line.size(), 70u) << line;
    }

    const nlohmann::json printed = nlohmann::json::parse(rig.Out());
    ASSERT_EQ(printed.size(), 8u) << rig.Out();
    std::string batch;
    const auto runs = fleet.Runs(&batch);
    EXPECT_FALSE(batch.empty());
    for (int i = 0; i < 8; ++i) {
        const nlohmann::json& run = runs.at(i < 7 ? Fleet::Name(i) : address);
        EXPECT_EQ(run["result"], "success") << run;
        EXPECT_EQ(run["connection"]["type"], i < 7 ? "COM" : "TCP");
        if (i < 7) {
            EXPECT_EQ(run["connection"]["port"], 10 + i);
        }
        EXPECT_EQ(run["records_passed"], kRecords);
        EXPECT_EQ(printed[static_cast<std::size_t>(i)], run);
        EXPECT_TRUE(fleet.SameImage(i, image)) << Fleet::Name(i);
    }
}

// One analyser rejects a record, one vanishes mid-upload, one never answers:
// each ends alone, with its reason, and the others are not held up.
TEST_F(CliE2e, FailuresStayTheirOwn) {
    const std::string image = Image(rig, 3, "big.sx", 0x4000);
    Fleet fleet(rig);
    ASSERT_EQ(
        fleet.Start(8,
                    [](int i) {
                        switch (i) {
                        case 5:
                            return std::vector<std::string>{"--baud", "0", "--reject-record", "5"};
                        case 6: // about five seconds on the line
                            return std::vector<std::string>{"--baud", "38400"};
                        case 7:
                            return std::vector<std::string>{"--baud", "0", "--silent"};
                        default:
                            return std::vector<std::string>{"--baud", "0"};
                        }
                    }),
        "");
    // And a device server that takes no connection: its connect goes on at
    // the tick beside the others and ends as no link.
    const test::SilentListener off;
    const std::string silent = "127.0.0.1:" + std::to_string(off.Port());
    std::vector<std::string> args{"flash", "--file", image, "--timeout", "8"};
    const std::vector<std::string> ports = fleet.Ports();
    args.insert(args.begin() + 1, ports.begin(), ports.end());
    args.insert(args.end(), {"--address", silent});
    const pid_t cli = rig.Start(args);
    const auto end = Clock::now() + Millis(30000);
    while (rig.Out().find("COM16: Upload Firmware: 10% sent") == std::string::npos &&
           Clock::now() < end)
        ::usleep(5000);
    fleet.sims[6]->Signal(SIGKILL);
    // The good ones end while the silent one still waits for its time-out.
    const auto goodDone = [&] {
        for (int i = 0; i < 5; ++i)
            if (rig.Out().find(Fleet::Name(i) + ": Run Firmware: OK") == std::string::npos)
                return false;
        return true;
    };
    while (!goodDone() && Clock::now() < end)
        ::usleep(5000);
    EXPECT_TRUE(goodDone()) << rig.Both();
    EXPECT_EQ(::waitpid(cli, nullptr, WNOHANG), 0) << "the batch ended before the time-out";
    EXPECT_EQ(rig.Err().find("COM17: the run did not end"), std::string::npos) << rig.Err();
    ASSERT_EQ(rig.Finish(cli, Millis(30000)), 1) << rig.Both();

    const std::string out = rig.Out();
    EXPECT_FALSE(HasControlCharacters(out)) << out;
    EXPECT_EQ(LastLine(out), "5 of 9 analysers OK; not OK: COM15, COM16, COM17, " + silent) << out;
    EXPECT_NE(TableRow(out, silent).find(" NO LINK "), std::string::npos) << out;
    EXPECT_NE(TableRow(out, silent).find("no answer within 3 s"), std::string::npos) << out;
    EXPECT_NE(rig.Err().find("COM15: Flashwright: Failed Sx!"), std::string::npos) << rig.Err();
    EXPECT_NE(rig.Err().find("COM17: the run did not end within 8 s"), std::string::npos)
        << rig.Err();
    std::string batch;
    const auto runs = fleet.Runs(&batch);
    ASSERT_EQ(runs.size(), 9u) << rig.Both();
    EXPECT_EQ(runs.at(silent)["rows"]["Connect to Analyser"], "FAILED") << runs.at(silent);
    const std::pair<int, const char*> failures[] = {
        {5, "rejected record 5"}, {6, "connection to the analyser was lost"}, {7, "timed out"}};
    for (const auto& [i, reason] : failures) {
        const nlohmann::json& run = runs.at(Fleet::Name(i));
        EXPECT_EQ(run["result"], "failed") << run;
        EXPECT_NE(run["reason"].get<std::string>().find(reason), std::string::npos) << run;
        EXPECT_NE(TableRow(out, Fleet::Name(i)).find(" FAILED "), std::string::npos) << out;
        EXPECT_NE(TableRow(out, Fleet::Name(i)).find(reason), std::string::npos) << out;
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(runs.at(Fleet::Name(i))["result"], "success");
        EXPECT_EQ(
            TableRow(out, Fleet::Name(i)).substr(Fleet::Name(i).size()).find_first_not_of(' '),
            TableRow(out, Fleet::Name(i)).find("OK") - Fleet::Name(i).size())
            << out;
        EXPECT_TRUE(fleet.SameImage(i, image)) << Fleet::Name(i);
    }
}

// The file is checked once, before any analyser is touched: a refused file,
// or one whose digest is not the one --sha256 pins, reaches none of them,
// with one analyser as with several.
TEST_F(CliE2e, FileCheckedBeforeAnyAnalyser) {
    const std::string image = Image(rig, 2);
    std::string text = ReadFile(image);
    const std::size_t third = text.find("\nS1", text.find("\nS1") + 1) + 1;
    text[third + 10] = text[third + 10] == '0' ? '1' : '0';
    WriteFile(rig.dir.File("bad.sx"), text);
    ASSERT_EQ(WaitExit(Spawn({"sha256sum", image}, rig.dir.File("sum"))), 0);
    std::string digest = ReadFile(rig.dir.File("sum")).substr(0, 64);
    std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper); // either case
    const std::string other(64, 'a');
    struct FileCase {
        const char* name;
        std::string file;
        std::string sha256; // "": not given
        int analysers;
        int exitCode;
        std::string stderrHas;
    };
    const FileCase cases[] = {
        {"RefusedFile", rig.dir.File("bad.sx"), "", 2, 1, "refused: line 3"},
        {"DigestDiffers", image, other, 2, 1, "not " + other + " as --sha256 requires"},
        {"DigestDiffersOneAnalyser", image, other, 1, 1, "no analyser was touched"},
        {"DigestMatchesOneAnalyser", image, digest, 1, 0, ""},
    };
    for (const FileCase& c : cases) {
        Fleet fleet(rig);
        ASSERT_EQ(fleet.Start(c.analysers,
                              [](int) {
                                  return std::vector<std::string>{"--baud", "0"};
                              }),
                  "");
        std::vector<std::string> args{"flash", "--file", c.file};
        const std::vector<std::string> ports = fleet.Ports();
        args.insert(args.end(), ports.begin(), ports.end());
        if (!c.sha256.empty())
            args.insert(args.end(), {"--sha256", c.sha256});
        const std::size_t before = rig.Runs().size();
        ASSERT_EQ(rig.Run(args), c.exitCode) << c.name << rig.Both();
        if (c.exitCode == 0) {
            // One analyser is the one run of before: its lines, its record.
            EXPECT_EQ(rig.Err(), "") << c.name;
            EXPECT_NE(rig.Out().find("\nRun Firmware: OK\n"), std::string::npos) << rig.Out();
            ASSERT_EQ(rig.Runs().size(), before + 1) << c.name;
            EXPECT_FALSE(rig.Runs().back().contains("batch"));
            continue;
        }
        EXPECT_NE(rig.Err().find(c.stderrHas), std::string::npos) << c.name << rig.Err();
        EXPECT_EQ(rig.Out(), "") << c.name;
        EXPECT_EQ(rig.Runs().size(), before) << c.name;
        for (auto& sim : fleet.sims) {
            sim->Stop();
            EXPECT_EQ(sim->Stderr(), "") << c.name << ": an analyser heard something";
        }
    }
}

// The file is replaced while the batch runs (--jobs 1: the second run starts
// after it): the run that loaded the new file is not counted OK, though its
// own record says it was loaded.
TEST_F(CliE2e, FileReplacedDuringTheBatch) {
    const std::string image = Image(rig, 3, "big.sx", 0x2000);
    const std::string other = Image(rig, 3, "other.sx", 0x2000);
    Fleet fleet(rig);
    ASSERT_EQ(fleet.Start(2, [](int) { return std::vector<std::string>{"--baud", "38400"}; }), "");
    std::vector<std::string> args{"flash", "--file", image, "--jobs", "1"};
    const std::vector<std::string> ports = fleet.Ports();
    args.insert(args.end(), ports.begin(), ports.end());
    const pid_t cli = rig.Start(args);
    for (const auto end = Clock::now() + Millis(20000);
         rig.Out().find("COM10: Upload Firmware: 10% sent") == std::string::npos &&
         Clock::now() < end;)
        ::usleep(5000);
    fs::rename(other, image);
    ASSERT_EQ(rig.Finish(cli, Millis(60000)), 1) << rig.Both();
    EXPECT_NE(TableRow(rig.Out(), "COM11").find("FAILED"), std::string::npos) << rig.Out();
    EXPECT_NE(TableRow(rig.Out(), "COM11").find("the firmware file changed during the batch"),
              std::string::npos)
        << rig.Out();
    std::string batch;
    EXPECT_EQ(fleet.Runs(&batch).at("COM11")["result"], "success");
}

// Ctrl-C mid-upload abandons every run, each on record as such.
TEST_F(CliE2e, InterruptAbandonsEveryRun) {
    const std::string image = Image(rig, 3, "big.sx", 0x4000);
    Fleet fleet(rig);
    ASSERT_EQ(fleet.Start(3, [](int) { return std::vector<std::string>{"--baud", "38400"}; }), "");
    std::vector<std::string> args{"flash", "--file", image};
    const std::vector<std::string> ports = fleet.Ports();
    args.insert(args.end(), ports.begin(), ports.end());
    const pid_t cli = rig.Start(args);
    const auto allSending = [&] {
        for (int i = 0; i < 3; ++i)
            if (rig.Out().find(Fleet::Name(i) + ": Upload Firmware: 10% sent") == std::string::npos)
                return false;
        return true;
    };
    for (const auto end = Clock::now() + Millis(20000); !allSending() && Clock::now() < end;)
        ::usleep(5000);
    ASSERT_TRUE(allSending()) << rig.Both();
    ::kill(cli, SIGINT);
    ASSERT_EQ(rig.Finish(cli, Millis(10000)), 130) << rig.Both();
    EXPECT_NE(rig.Err().find("interrupted (Ctrl-C); 3 runs were abandoned"), std::string::npos)
        << rig.Err();
    EXPECT_EQ(LastLine(rig.Out()), "0 of 3 analysers OK; not OK: COM10, COM11, COM12");
    std::string batch;
    const auto runs = fleet.Runs(&batch);
    ASSERT_EQ(runs.size(), 3u);
    for (const auto& [name, run] : runs) {
        EXPECT_EQ(run["result"], "abandoned") << run;
        EXPECT_GT(run["records_sent"].get<int>(), 0) << run;
        EXPECT_LT(run["records_sent"].get<int>(), 512) << run;
    }
    for (auto& sim : fleet.sims)
        EXPECT_EQ(sim->Stderr().find("run:"), std::string::npos);
}

// --jobs 2: never more than two links open at once, and all four flashed.
TEST_F(CliE2e, JobsLimitsTheLinksOpen) {
    const std::string image = Image(rig, 3); // about a second each at 38400
    Fleet fleet(rig);
    ASSERT_EQ(fleet.Start(4, [](int) { return std::vector<std::string>{"--baud", "38400"}; }), "");
    std::vector<std::string> args{"flash", "--file", image, "--jobs", "2"};
    const std::vector<std::string> ports = fleet.Ports();
    args.insert(args.end(), ports.begin(), ports.end());
    const pid_t cli = rig.Start(args);
    const std::string fds = "/proc/" + std::to_string(cli) + "/fd";
    std::size_t most = 0;
    int status = 0;
    for (const auto end = Clock::now() + Millis(60000);
         ::waitpid(cli, &status, WNOHANG) == 0 && Clock::now() < end; ::usleep(1000)) {
        std::size_t open = 0;
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator(fds, ec)) {
            std::error_code link;
            if (fs::read_symlink(fd.path(), link).string().rfind("/dev/pts/", 0) == 0)
                ++open;
        }
        most = std::max(most, open);
    }
    rig.allErr += rig.Err();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rig.Both();
    EXPECT_EQ(most, 2u);
    EXPECT_EQ(LastLine(rig.Out()), "4 of 4 analysers OK");
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(fleet.SameImage(i, image)) << Fleet::Name(i);
}

TEST_F(CliE2e, UsageErrors) {
    const std::vector<std::vector<std::string>> cases{
        {},
        {"frobnicate"},
        {"--no-such-option"},
        {"check"},
        {"list", "--json"},
        {"flash", "--ops", "bootloader,format"},
        {"flash", "--port", "0"},
        {"flash", "--port", "COM256"},
        {"flash", "--port", "dev/ttyUSB0"},
        {"flash", "--port", ""},
        {"flash", "--port", "/dev/"},
        {"help", "frobnicate"},
        {"help", "list", "check"},
        {"flash", "--type", "IRDA"},
        {"flash", "--address", "192.168.0.1"}, // an option that cannot be parsed
        {"flash", "--address", "[::1]x2000"},
        {"check", "--address", "127.0.0.1:2000"},
        {"flash", "--timeout", "-1"},
        {"flash", "extra"},
        {"flash", "--port", "7", "--port", "8", "--type", "COM"},
        {"flash", "--port", "7", "--port", "8", "--save"},
        {"flash", "--port", "7", "--port", "COM7"},
        {"flash", "--port", "7", "--port", "COM256"},
        {"flash", "--port", "7", "--jobs", "0"},
        {"flash", "--jobs", "2"},
        {"flash", "--sha256", "0123"},
        {"flash", "--analysers", rig.dir.File("missing")},
        {"flash", "--analysers", rig.dir.File("analysers")},
    };
    WriteFile(rig.dir.File("analysers"), "# bench\nCOM7\nCOM7x\n");
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(rig.Run(args), 2) << joined << rig.Both();
        EXPECT_NE(rig.Err().find("flashwright-cli: "), std::string::npos) << joined;
    }
    EXPECT_FALSE(fs::exists(rig.RunLog())) << "a usage error started a run";
    EXPECT_NE(rig.Err().find(rig.dir.File("analysers") + ":3: \"COM7x\""), std::string::npos)
        << rig.Err();
    // A stored type that is none of COM, USB, TCP would wait without end; a
    // --type given stands in for it.
    for (const char* type : {"com", "COM ", ""}) {
        {
            FileRegistry registry(rig.Registry());
            Settings(registry).SaveSettingValue(kSection, kConnectionType, type);
        }
        EXPECT_EQ(rig.Run({"flash", "--ops", ""}), 2) << rig.Both();
        EXPECT_NE(rig.Err().find("\"" + std::string(type) + "\" in " + rig.Registry()),
                  std::string::npos)
            << rig.Err();
    }
    EXPECT_FALSE(fs::exists(rig.RunLog())) << "an unknown stored type started a run";
    // (and then connects: the stored default address has no port, so that fails)
    EXPECT_EQ(rig.Run({"flash", "--type", "tcp", "--ops", ""}), 3) << rig.Both();
    EXPECT_NE(rig.Err().find("Invalid Network Address \"192.168.0.1\""), std::string::npos)
        << rig.Err();
    ASSERT_EQ(rig.Run({"--version"}), 0);
    EXPECT_NE(rig.Out().find("flashwright-cli 4."), std::string::npos) << rig.Out();
    // The simulator's --version alone is its own, as the other programs'.
    ASSERT_EQ(WaitExit(Spawn({FW_ANALYSER_SIM, "--version"}, rig.dir.File("sim.out"))), 0);
    EXPECT_EQ(ReadFile(rig.dir.File("sim.out")).rfind("analyser-sim 4.", 0), 0u)
        << ReadFile(rig.dir.File("sim.out"));
}

// "help COMMAND" and "COMMAND --help" show that command alone.
TEST_F(CliE2e, HelpPerCommand) {
    struct HelpCase {
        std::vector<std::string> args;
        const char* has;
        const char* hasNot;
    };
    const HelpCase cases[] = {
        {{"help"}, "help [COMMAND]", "Usage: flashwright-cli flash"},
        {{"--help"}, "--timeout", "Usage: flashwright-cli flash"},
        {{"help", "flash"}, "Usage: flashwright-cli flash [options]", "--help"},
        {{"flash", "--help"}, "  --timeout SECONDS\n", "check FILE"},
        {{"help", "check"}, "Usage: flashwright-cli check FILE", "--port"},
        {{"list", "--help"}, "Usage: flashwright-cli list", "--port"},
    };
    for (const HelpCase& c : cases) {
        ASSERT_EQ(rig.Run(c.args), 0) << c.args[0] << rig.Both();
        EXPECT_NE(rig.Out().find(c.has), std::string::npos) << c.args[0] << rig.Out();
        EXPECT_EQ(rig.Out().find(c.hasNot), std::string::npos) << c.args[0] << rig.Out();
    }
}

} // namespace
} // namespace fw::e2e

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
