// flashwright-cli as a process against the analyser simulator on a
// pseudo-terminal: settings below XDG_CONFIG_HOME and the run log below
// XDG_STATE_HOME, both in the test's own folder.
#include "settings/FileRegistry.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"
#include "tests/e2e/E2eRig.h"
#include "tests/link_devices/DeviceFixtures.h"
#include "tests/support/Ser2net.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
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

    // The simulator on COM7 (or `com`) of the program's settings file, logging
    // what it hears; `args` come first.
    std::string StartSim(std::vector<std::string> args, int com = 7) {
        args.insert(args.begin(), FW_ANALYSER_SIM);
        args.insert(args.end(), {"--registry", Registry(), "--com", std::to_string(com),
                                 "--reboot-ms", "20", "--erase-ms", "20", "--out",
                                 dir.File("received.srec"), "--exit-after-run", "--verbose"});
        return sim.Start(args, dir.File("sim"));
    }

    // Standard output and error go to files unless other paths are given.
    pid_t Start(const std::vector<std::string>& args, const std::string& out = {},
                const std::string& err = {}) {
        std::vector<std::string> argv{"env", "XDG_CONFIG_HOME=" + dir.File("config"),
                                      "XDG_STATE_HOME=" + dir.File("state")};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.push_back(FW_CLI);
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
    // The record of the one run, or an empty object unless there is just one.
    nlohmann::json OnlyRun() const {
        const std::vector<nlohmann::json> runs = Runs();
        return runs.size() == 1 ? runs[0] : nlohmann::json::object();
    }
    // Whether the simulator ended, having received `image` whole.
    bool Received(const std::string& image) {
        return sim.Wait(Millis(5000)) == 0 &&
               WaitExit(Spawn({FW_SREC_CMP, image, dir.File("received.srec")})) == 0;
    }

    // A setting as the file holds it now ("<unset>" when it holds none), and
    // one stored as the wizard would.
    std::string Setting(const std::string& name) const {
        FileRegistry registry(Registry());
        return Settings(registry).GetSettingValue(kSection, name, "<unset>");
    }
    void Store(const std::string& name, const std::string& value) const {
        FileRegistry registry(Registry());
        Settings(registry).SaveSettingValue(kSection, name, value);
    }

    TempDir dir;
    SimProcess sim;
    std::string allErr;           // every run's standard error
    std::vector<std::string> env; // more of the program's environment: "NAME=VALUE"
};

// A firmware file from srec_cat, 4 KiB in S1 (at 0x1000) or S2 (at 0x3F000).
std::string Image(const CliRig& r, int addressBytes, const std::string& name = "fw.sx",
                  std::uint32_t size = 0x1000) {
    const std::string path = r.dir.File(name);
    if (!MakeImage(FW_SREC_CAT, path, addressBytes == 2 ? 0x1000 : 0x3F000, size, addressBytes))
        throw std::runtime_error("srec_cat failed");
    return path;
}

// The same file with a data digit of its third line changed: its checksum fails.
std::string BadImage(const CliRig& r) {
    std::string text = ReadFile(Image(r, 2));
    const std::size_t third = text.find("\nS1", text.find("\nS1") + 1) + 1;
    text[third + 10] = text[third + 10] == '0' ? '1' : '0';
    WriteFile(r.dir.File("bad.sx"), text);
    return r.dir.File("bad.sx");
}

// Whether `text` holds `part`; the text is shown either way.
::testing::AssertionResult Has(const std::string& text, const std::string& part) {
    return (text.find(part) != std::string::npos ? ::testing::AssertionSuccess()
                                                 : ::testing::AssertionFailure())
           << "\"" << part << "\" in:\n"
           << text;
}

// Polls until `done` or `limit` has passed; whether it is done.
bool WaitUntil(const std::function<bool()>& done, Millis limit = Millis(20000)) {
    for (const auto end = Clock::now() + limit; !done(); ::usleep(5000))
        if (Clock::now() > end)
            return false;
    return true;
}

// The summary table's row of `name`: "NAME   RESULT   REASON".
std::string TableRow(const std::string& out, const std::string& name) {
    const std::size_t table = out.rfind("\nANALYSER ");
    const std::size_t row = out.find("\n" + name + " ", table);
    return table == std::string::npos || row == std::string::npos
               ? std::string()
               : out.substr(row + 1, out.find('\n', row + 1) - row - 1);
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
            EXPECT_FALSE(Has(rig.allErr, report));
    }
    CliRig rig;
};

// --- Single runs that never start the firmware: exit code, output, the record ---
// (Whole flashes by this program: FleetOnATerminal, CliPipe, SignalMidUpload;
// through a device server: FleetOnATerminal raw, the wizard's e2e test over
// RFC 2217.)

struct FlashCase {
    const char* name;
    std::vector<std::string> simArgs; // after --baud 0
    int addressBytes;
    std::vector<std::string> extraArgs;
    int exitCode;
    const char* result;
    const char* reason;    // part of the record's reason; "" for none
    const char* stderrHas; // "": standard error stays empty
};

// ctest lists a case by its name, not its bytes.
void PrintTo(const FlashCase& c, std::ostream* os) {
    *os << c.name;
}

// clang-format off
const FlashCase kFlashCases[] = {
    {"AllErasesAndNoRun", {}, 3, {"--ops", "bootloader,erase-flash,erase-eeprom,erase-ram,upload"},
     0, "success", "", ""},
    // Paced, so that the records still go out well after the fifth's verdict.
    {"RejectedRecord", {"--baud", "38400", "--reject-record", "5"}, 3, {}, 1, "failed",
     "rejected record 5", "Flashwright: Failed Sx!"},
    {"SilentAnalyserTimesOut", {"--silent"}, 3, {"--timeout", "1"}, 1, "failed", "timed out",
     "did not end within 1 s"},
};
// clang-format on

class CliFlash : public CliE2e, public ::testing::WithParamInterface<FlashCase> {};

TEST_P(CliFlash, Run) {
    const FlashCase& c = GetParam();
    const std::string image = Image(rig, c.addressBytes);
    std::vector<std::string> simArgs{"--baud", "0"};
    simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
    ASSERT_EQ(rig.StartSim(simArgs), "");
    std::vector<std::string> args{"flash", "--port", "COM7", "--file", image};
    args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
    const auto start = Clock::now();
    ASSERT_EQ(rig.Run(args), c.exitCode) << rig.Both() << rig.sim.Stderr();

    EXPECT_TRUE(Has(rig.Out(), "Connect to Analyser: OK\n"));
    if (c.stderrHas[0] == '\0') {
        EXPECT_EQ(rig.Err(), "") << rig.Both();
    } else {
        EXPECT_TRUE(Has(rig.Err(), c.stderrHas));
    }

    const std::vector<nlohmann::json> runs = rig.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["result"], c.result);
    EXPECT_EQ(runs[0]["connection"]["port"], 7);
    EXPECT_EQ(runs[0]["firmware"]["path"], image);
    if (c.reason[0] != '\0') {
        ASSERT_TRUE(runs[0]["reason"].is_string()) << runs[0];
        EXPECT_TRUE(Has(runs[0]["reason"].get<std::string>(), c.reason)) << runs[0];
    }

    EXPECT_FALSE(Has(rig.sim.Stderr(), "run:")) << "the firmware was started";
    if (std::string(c.name) == "RejectedRecord") {
        EXPECT_LT(runs[0]["records_sent"], kRecords) << "the upload went on after the rejection";
    }
    if (std::string(c.name) == "SilentAnalyserTimesOut") {
        EXPECT_LT(Clock::now() - start, Millis(5000));
        EXPECT_EQ(runs[0]["rows"]["Enter Bootloader"], "FAILED");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CliFlash, ::testing::ValuesIn(kFlashCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The stored settings are the defaults; --save stores what was given.
TEST_F(CliE2e, StoredSettingsAndSave) {
    // A COM type stored without a port runs on COM1, as the wizard's page does.
    rig.Store(kConnectionType, "COM");
    ASSERT_EQ(rig.StartSim({"--baud", "0"}, 1), "");
    ASSERT_EQ(rig.Run({"flash", "--ops", "bootloader"}), 0) << rig.Both();
    EXPECT_EQ(rig.Runs().back()["connection"]["port"], 1);
    rig.sim.Stop();

    const std::string image = Image(rig, 3);
    rig.Store(kConnectionType, "USB");
    rig.Store(kComPort, "7");
    rig.Store(kFilename, image);
    ASSERT_EQ(rig.StartSim({"--baud", "0"}), "");
    // --port makes it a serial run; without --save nothing is stored.
    ASSERT_EQ(rig.Run({"flash", "--port", "7", "--ops", "bootloader"}), 0) << rig.Both();
    EXPECT_EQ(rig.Runs().back()["connection"]["type"], "COM");
    EXPECT_EQ(rig.Setting(kConnectionType), "USB");

    // A relative --file is stored as an absolute path.
    const std::string cwd = fs::current_path().string();
    fs::current_path(rig.dir.File(""));
    const int code = rig.Run({"flash", "--type", "com", "--file", "fw.sx", "--ops", "", "--save"});
    fs::current_path(cwd);
    ASSERT_EQ(code, 0) << rig.Both();
    EXPECT_EQ(rig.Setting(kConnectionType), "COM");
    EXPECT_EQ(rig.Setting(kComPort), "7");
    EXPECT_EQ(fs::path(rig.Setting(kFilename)), fs::path(image));
    // An address is stored with its type, before the run (which finds nobody there).
    const std::string nobody = "127.0.0.1:" + std::to_string(test::Ser2net::FreePort());
    EXPECT_EQ(rig.Run({"flash", "--address", nobody, "--ops", "", "--save"}), 3) << rig.Both();
    EXPECT_EQ(rig.Setting(kConnectionType), "TCP");
    EXPECT_EQ(rig.Setting(kAddress), nobody);

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
    EXPECT_TRUE(Has(rig.Err(), "not saved: another program has kept " + rig.Registry() +
                                   " locked for 3 s; nothing was sent"));
    const std::string unregistered = rig.dir.File("ttyUnregistered");
    EXPECT_EQ(rig.Run({"flash", "--port", unregistered, "--save"}, Millis(9000)), 1) << rig.Both();
    EXPECT_TRUE(Has(rig.Err(), "cannot register " + unregistered + " as COM97"));
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
    const char* const ports = "SOFTWARE\\Tarnvel\\Flashwright\\Ports";
    const auto registered = [&](const char* name) {
        return RegReadString(registry, ports, name, "<none>", HKEY_LOCAL_MACHINE);
    };
    ASSERT_EQ(rig.Run({"flash", "--port", device, "--file", image, "--ops", "bootloader"}), 0)
        << rig.Both();
    EXPECT_EQ(rig.Runs().back()["connection"]["port"], 97);
    EXPECT_EQ(rig.Runs().back()["connection"]["device"], device);
    EXPECT_EQ(registered("COM97"), "<none>");
    EXPECT_EQ(rig.Setting(kComPort), "<unset>");

    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(rig.Run({"flash", "--port", device, "--ops", "bootloader", "--save"}), 0)
            << rig.Both();
        EXPECT_EQ(registered("COM97"), device);
        EXPECT_EQ(registered("COM98"), "<none>");
        EXPECT_EQ(rig.Setting(kComPort), "97");
        EXPECT_EQ(rig.Runs().back()["connection"]["port"], 97);
    }
}

// A closed terminal mid-upload does what Previous does. (Ctrl-C, a kill and
// Ctrl-\\ are caught alike, by the same code as the wizard's: tests/gui's
// wizard_flash.sh sends all four, CliPipe and ConnectThatHangsHoldsNoExit
// two of them to this program.) Ctrl-Z for two seconds (or a loaded machine)
// does nothing of the kind: the verdicts that piled up meanwhile arrive at
// once, and every one counts.
TEST_F(CliE2e, SignalMidUpload) {
    // 16 KiB at 38400 baud: about five seconds on the line.
    const std::string image = Image(rig, 3, "big.sx", 0x4000);
    for (const int sig : {SIGHUP, SIGSTOP}) {
        SCOPED_TRACE(sig);
        ASSERT_EQ(rig.StartSim({"--baud", "38400"}), "");
        const std::size_t before = rig.Runs().size();
        const pid_t cli = rig.Start({"flash", "--port", "7", "--file", image});
        ASSERT_TRUE(WaitUntil([&] {
            return rig.Out().find("Upload Firmware: 10% sent") != std::string::npos;
        })) << rig.Both();
        ::kill(cli, sig);
        if (sig == SIGSTOP) {
            ::usleep(2'000'000);
            ::kill(cli, SIGCONT);
        }
        ASSERT_EQ(rig.Finish(cli, Millis(20000)), sig == SIGSTOP ? 0 : 128 + sig) << rig.Both();
        ASSERT_EQ(rig.Runs().size(), before + 1);
        const nlohmann::json run = rig.Runs().back();
        if (sig == SIGSTOP) {
            EXPECT_EQ(run["result"], "success");
            EXPECT_EQ(run["records_passed"], 512);
            EXPECT_TRUE(rig.Received(image)) << rig.sim.Stderr();
            continue;
        }
        EXPECT_TRUE(Has(rig.Err(), "interrupted (SIGHUP, the terminal closed)"));
        EXPECT_EQ(run["result"], "abandoned");
        EXPECT_GT(run["records_sent"].get<int>(), 0);
        EXPECT_LT(run["records_sent"].get<int>(), 512);
        rig.sim.Stop();
        EXPECT_FALSE(Has(rig.sim.Stderr(), "run:"));
    }
}

// A bench wider than the file handles the process may have: the analysers it
// cannot open end with that reason, and every one of them is on record (the
// log was opened before the runs took the handles). The default --jobs keeps
// within the limit and runs out of nothing.
TEST_F(CliE2e, ShortOfFileHandlesEveryAnalyserIsRecorded) {
    // Sixty ports nothing listens on, each once: the system may hand the same
    // free port out twice, and a name given twice is a usage error.
    std::set<int> ports;
    while (ports.size() < 60)
        ports.insert(test::Ser2net::FreePort());
    std::string list;
    for (const int port : ports)
        list += "127.0.0.1:" + std::to_string(port) + "\n";
    WriteFile(rig.dir.File("bench.txt"), list);
    rig.env = {"prlimit", "--nofile=48", "--"};
    for (const bool wide : {true, false}) {
#ifdef FW_SANITIZED
        // The sanitizer's own check of a virtual call opens a pipe; in a
        // process with no handle left that check fails and reports a fault
        // that is not there. The plain build runs this case.
        if (wide)
            continue;
#endif
        std::vector<std::string> args{"flash", "--analysers", rig.dir.File("bench.txt"), "--file",
                                      Image(rig, 3)};
        if (wide)
            args.insert(args.end(), {"--jobs", "60"});
        const std::size_t before = rig.Runs().size();
        ASSERT_EQ(rig.Run(args), 1) << rig.Both();
        EXPECT_EQ(rig.Runs().size(), before + 60) << rig.Err();
        EXPECT_EQ(Has(rig.Out(), "no file handle left for the connection"), wide);
        EXPECT_FALSE(Has(rig.Err(), "run log not written"));
        EXPECT_TRUE(Has(rig.Out(), "0 of 60 analysers OK"));
    }
}

// A connect that is still under way, to a device server that takes no
// connection or behind a name the name server never answers: Ctrl-C ends the
// run at once, and neither the connect nor the unanswered lookup (which the
// system would wait 30 s for here) holds the exit; nor does the lookup once
// its run has ended as no link, alone or in a batch.
TEST_F(CliE2e, ConnectThatHangsHoldsNoExit) {
    const test::SilentListener off;
    const std::string silent = "127.0.0.1:" + std::to_string(off.Port());
    const std::string hangs = "analyser.hang.test:4001";
    const std::string image = Image(rig, 3);
    // A sanitized program wants its runtime loaded first; the preloaded name
    // server comes before it, which is sound here.
    const char* asan = std::getenv("ASAN_OPTIONS");
    rig.env = {std::string("LD_PRELOAD=") + FW_SLOW_RESOLVER,
               std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
    const struct {
        std::vector<std::string> addresses;
        bool interrupt;
        int exitCode;
    } cases[] = {{{silent}, true, 130},
                 {{hangs}, true, 130},
                 {{hangs}, false, 3},
                 {{hangs, silent}, false, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addresses[0] + (c.interrupt ? " interrupted" : ""));
        std::vector<std::string> args{"flash", "--file", image};
        for (const std::string& address : c.addresses)
            args.insert(args.end(), {"--address", address});
        const auto start = Clock::now();
        const pid_t cli = rig.Start(args);
        if (c.interrupt) {
            ASSERT_TRUE(WaitUntil([&] { return Has(rig.Out(), "Connecting..."); })) << rig.Both();
            ::kill(cli, SIGINT);
        }
        const auto stopped = Clock::now();
        ASSERT_EQ(rig.Finish(cli, Millis(25000)), c.exitCode) << rig.Both();
        // The connect's 3 s bound (or the signal) and a margin for a busy
        // machine, far short of the lookup's 30 s.
        EXPECT_LT(Clock::now() - (c.interrupt ? stopped : start),
                  Millis(c.interrupt ? 2500 : 9000));
        const nlohmann::json last = rig.Runs().back();
        EXPECT_EQ(last["result"], c.interrupt ? "abandoned" : "failed") << last;
        EXPECT_EQ(last["rows"]["Verify Upload"], ""); // no upload, nothing to verify
        if (c.interrupt) {
            EXPECT_FALSE(Has(rig.Both(), "no answer within"));
        }
    }
}

// Standard output and error into one pipe, and what its reader does: `| head
// -c 1` goes after one byte; a `| less` that stopped reading leaves the pipe
// full. Neither holds the upload up or keeps a stop signal from ending it; the
// progress that could not be written waits, whole lines only, or is dropped.
struct PipeCase {
    const char* name;
    bool closesAfterOneByte; // else: full before the program starts, never read
    int sig;                 // sent mid-upload; 0: none
};
const PipeCase kPipeCases[] = {
    {"ClosedAfterOneByte", true, 0},
    {"FullAndUnread", false, 0},
    {"FullAndUnreadThenSigterm", false, SIGTERM},
};

void PrintTo(const PipeCase& c, std::ostream* os) {
    *os << c.name;
}

class CliPipe : public CliE2e, public ::testing::WithParamInterface<PipeCase> {};

TEST_P(CliPipe, NeverHoldsTheRunUp) {
    const PipeCase& c = GetParam();
    // 16 KiB at 38400 baud: 5.3 s on the wire.
    const std::string image = Image(rig, 3, "big.sx", 0x4000);
    ASSERT_EQ(rig.StartSim({"--baud", "38400"}), "");
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    if (!c.closesAfterOneByte) {
        ASSERT_EQ(::fcntl(pipe[1], F_SETFL, O_NONBLOCK), 0);
        const std::string lines(4096, '\n');
        while (::write(pipe[1], lines.data(), lines.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
    }
    const std::string writeEnd = "/dev/fd/" + std::to_string(pipe[1]);
    const auto began = Clock::now();
    const pid_t cli = rig.Start({"flash", "--port", "7", "--file", image}, writeEnd, writeEnd);
    ::close(pipe[1]);
    if (c.closesAfterOneByte) {
        char first = 0;
        EXPECT_EQ(::read(pipe[0], &first, 1), 1);
        ::close(pipe[0]);
        ASSERT_EQ(rig.Finish(cli, Millis(30000)), 0);
        EXPECT_EQ(rig.OnlyRun()["result"], "success") << rig.OnlyRun();
        EXPECT_TRUE(rig.Received(image)) << rig.sim.Stderr();
        return;
    }
    if (c.sig != 0) {
        ASSERT_TRUE(WaitUntil([&] { return Has(rig.sim.Stderr(), "record 100 "); }))
            << rig.sim.Stderr();
        const auto stopped = Clock::now();
        ::kill(cli, c.sig);
        EXPECT_EQ(rig.Finish(cli, Millis(10000)), 128 + c.sig);
        // At once, not when the pipe is read; the margin is for a busy machine.
        EXPECT_LT(Clock::now() - stopped, Millis(3000));
        EXPECT_EQ(rig.OnlyRun()["result"], "abandoned") << rig.OnlyRun();
        ::close(pipe[0]);
        return;
    }
    // The whole upload while nobody reads: a run held up by its output would
    // not end at all. The margin is for a busy machine.
    ASSERT_TRUE(WaitUntil([&] { return rig.Runs().size() == 1; }, Millis(30000)));
    EXPECT_LT(Clock::now() - began, Millis(20000));
    EXPECT_EQ(rig.OnlyRun()["result"], "success") << rig.OnlyRun();
    EXPECT_EQ(rig.OnlyRun()["records_passed"], 512);
    // Only what comes after the run waits for the reader: every line whole.
    std::string out;
    char bytes[4096];
    for (ssize_t n; (n = ::read(pipe[0], bytes, sizeof bytes)) > 0;) {
        out.append(bytes, static_cast<std::size_t>(n));
    }
    ::close(pipe[0]);
    EXPECT_EQ(rig.Finish(cli, Millis(10000)), 0);
    EXPECT_TRUE(rig.Received(image)) << rig.sim.Stderr();
    const std::regex whole("(Connect to Analyser|Enter Bootloader|Erase Flash ROM|Erase EEPROM|"
                           "Erase RAM|Upload Firmware|Verify Upload|Run Firmware): [^:]*");
    std::istringstream lines(out);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            EXPECT_TRUE(std::regex_match(line, whole)) << line;
            ++count;
        }
    }
    EXPECT_TRUE(Has(out, "Run Firmware: OK\n"));
    EXPECT_GT(count, 10);
}

INSTANTIATE_TEST_SUITE_P(Readers, CliPipe, ::testing::ValuesIn(kPipeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A link that does not open: exit code 3, and with --json the record (the
// same object as the run log's line) alone on standard output, the rows on
// standard error.
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
        // At most the connect's 3 s, with room for a busy machine.
        EXPECT_LT(Clock::now() - start, Millis(8000));
        EXPECT_TRUE(Has(rig.Err(), message));
        EXPECT_TRUE(Has(rig.Err(), "Connect to Analyser: FAILED"));
        const nlohmann::json printed = nlohmann::json::parse(rig.Out());
        EXPECT_EQ(printed, rig.Runs().back());
        EXPECT_EQ(printed["result"], "failed");
        EXPECT_EQ(printed["rows"]["Connect to Analyser"], "FAILED");
    }
    // Names with escape sequences in them reach no terminal raw: in the lines,
    // the messages and the table they are shown escaped.
    const std::string clear = "/dev/fw-none-\033[2J", title = "/dev/fw-none-\033]0;x\a";
    ASSERT_EQ(rig.Run({"flash", "--file", image, "--port", clear, "--port", title}), 1);
    EXPECT_FALSE(HasControlCharacters(rig.Out() + rig.Err())) << rig.Both();
    EXPECT_TRUE(Has(TableRow(rig.Out(), "/dev/fw-none-\\x1B[2J"), " NO LINK "));
    EXPECT_TRUE(Has(rig.Err(), "/dev/fw-none-\\x1B]0;x\\x07: Flashwright: "));
    EXPECT_EQ(rig.Runs().back()["analyser"], title); // the record keeps the name as given
}

// An rfc2217:// address whose server takes the connection and says nothing
// (the kernel accepts it; nobody reads): after 1 s the run goes on with a
// warning on the connection line and in the record.
TEST_F(CliE2e, Rfc2217ServerThatStaysSilentIsAWarning) {
    const test::SilentListener listener("127.0.0.1", false);
    const std::string address = "rfc2217://127.0.0.1:" + std::to_string(listener.Port());
    const std::string warning =
        "the device server did not agree to COM-PORT-OPTION within 1 s; the line settings "
        "were not sent";
    EXPECT_EQ(rig.Run({"flash", "--address", address, "--file", Image(rig, 3), "--timeout", "2"}),
              1)
        << rig.Both();
    EXPECT_TRUE(Has(rig.Out(), "Connect to Analyser: OK (warning: " + warning + ")"));
    EXPECT_EQ(rig.OnlyRun()["connection"]["warning"], warning);
    EXPECT_EQ(rig.OnlyRun()["reason"], "timed out");
}

// The commands besides flash: each one's exit code, and what it prints (to
// standard output when it succeeds, else to standard error) and what not.
// "COMMAND --help" shows that command alone ("help COMMAND" for each command:
// options_agree.sh). Which files check refuses, and why, is FirmwareCheckTest's.
TEST_F(CliE2e, ListCheckHelpAndVersion) {
    ASSERT_EQ(rig.StartSim({"--baud", "0"}), "");
    const std::string image = Image(rig, 3);
    // (A file that is no file is refused at once: Run() kills what hangs.)
    ASSERT_EQ(WaitExit(Spawn({"sha256sum", image}, rig.dir.File("sum"))), 0);
    ASSERT_EQ(::mkfifo(rig.dir.File("fifo").c_str(), 0600), 0); // nobody writes it
    struct CommandCase {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> has;
        std::string hasNot; // "": nothing
    };
    // clang-format off
    const CommandCase cases[] = {
        {{"list"}, 0, {"COM7    " + rig.sim.Device() + "\n", "USB converters:"}, ""},
        {{"check", image}, 0, {"records:    128 S2", "addresses:  0x03F000 to 0x03FFFF",
                               "data bytes: 4096",
                               "sha256:     " + ReadFile(rig.dir.File("sum")).substr(0, 64)}, ""},
        {{"check", rig.dir.File("missing.sx")}, 1, {"missing.sx: refused: does not exist"}, ""},
        {{"check", rig.dir.File("fifo")}, 1, {"refused: is a FIFO (a named pipe), not a file"}, ""},
        {{"check", rig.dir.File("")}, 1, {"refused: is a folder, not a file"}, ""},
        {{"help"}, 0, {"help [COMMAND]"}, "Usage: flashwright-cli flash"},
        {{"--help"}, 0, {"--timeout"}, "Usage: flashwright-cli flash"},
        {{"flash", "--help"}, 0, {"  --timeout SECONDS\n"}, "check FILE"},
        {{"list", "--help"}, 0, {"Usage: flashwright-cli list"}, "--port"},
        {{"--version"}, 0, {"flashwright-cli 4."}, ""},
    };
    // clang-format on
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        ASSERT_EQ(rig.Run(c.args), c.code) << rig.Both();
        const std::string shown = c.code == 0 ? rig.Out() : rig.Err();
        for (const std::string& part : c.has)
            EXPECT_TRUE(Has(shown, part));
        if (!c.hasNot.empty()) {
            EXPECT_FALSE(Has(shown, c.hasNot));
        }
    }
}

// --- Many analysers from one command ---

// `count` simulators on COM10, COM11, ... of the rig's settings file; `args`
// come first (`own[i]` instead for the i-th), which writes what it received to
// received<i>.srec.
class Fleet {
public:
    explicit Fleet(CliRig& rig) : rig_(rig) {}

    std::string Start(int count, const std::vector<std::string>& args,
                      const std::map<int, std::vector<std::string>>& own = {}) {
        for (int i = 0; i < count; ++i) {
            std::vector<std::string> argv = own.count(i) != 0 ? own.at(i) : args;
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
    // "flash ARGS --port COM10 --port COM11 ... AFTER", the first `count` analysers.
    std::vector<std::string> Flash(std::vector<std::string> args,
                                   const std::vector<std::string>& after = {},
                                   std::size_t count = SIZE_MAX) const {
        args.insert(args.begin(), "flash");
        for (std::size_t i = 0; i < std::min(count, sims.size()); ++i)
            args.insert(args.end(), {"--port", Name(static_cast<int>(i))});
        args.insert(args.end(), after.begin(), after.end());
        return args;
    }
    bool SameImage(int i, const std::string& image) const {
        return sims[static_cast<std::size_t>(i)]->Wait(Millis(5000)) == 0 &&
               WaitExit(Spawn({FW_SREC_CMP, image, Received(i)})) == 0;
    }
    // The records by analyser; each must carry the one batch id, a text.
    std::map<std::string, nlohmann::json> Runs() const {
        std::map<std::string, nlohmann::json> byName;
        for (const nlohmann::json& run : rig_.Runs()) {
            EXPECT_EQ(run["batch"], rig_.Runs().front()["batch"]) << run;
            EXPECT_NE(run.value("batch", ""), "") << run;
            byName[run["analyser"].get<std::string>()] = run;
        }
        return byName;
    }

    std::vector<std::unique_ptr<SimProcess>> sims;

private:
    CliRig& rig_;
};

// A fleet from one process on a terminal of 70 columns and 6 rows: six good
// analysers (the last through ser2net), one rejecting a record and a device
// server that takes no connection. Every good image arrives whole; the live
// lines fit the width and count the runs not shown; the table and the count
// name the two that failed; --json prints every record as the run log has it.
// (How runs are scheduled, limited, timed out and stopped is the bench's, and
// tested in process in tests/run.)
TEST_F(CliE2e, FleetOnATerminal) {
    const std::string image = Image(rig, 3);
    Fleet fleet(rig);
    ASSERT_EQ(fleet.Start(7, {"--baud", "0"}, {{6, {"--baud", "0", "--reject-record", "5"}}}), "");
    const test::Pty terminal;
    const winsize size{6, 70, 0, 0};
    ASSERT_EQ(::ioctl(terminal.master, TIOCSWINSZ, &size), 0);
    test::Ser2net ser2net;
    ASSERT_EQ(ser2net.Start(rig.dir.File("."), fleet.sims[5]->Device(), false), "");
    const std::string address = "127.0.0.1:" + std::to_string(ser2net.Port());
    const test::SilentListener off;
    const std::string silent = "127.0.0.1:" + std::to_string(off.Port());
    const pid_t cli = rig.Start(
        fleet.Flash({"--file", image, "--json"},
                    {"--address", address, "--port", Fleet::Name(6), "--address", silent}, 5),
        {}, terminal.slave);
    std::string screen;
    int status = 0;
    const auto drain = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(terminal.master, buffer, sizeof buffer)) > 0;)
            screen.append(buffer, static_cast<std::size_t>(n));
    };
    for (const auto end = Clock::now() + Millis(60000);
         ::waitpid(cli, &status, WNOHANG) == 0 && Clock::now() < end; ::usleep(2000))
        drain();
    drain();
    rig.allErr += screen;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << screen << rig.Out();

    EXPECT_TRUE(Has(screen, "6 of 8 analysers OK; not OK: COM16, " + silent + "\r\n"));
    EXPECT_TRUE(Has(screen, " done")) << "no count of the runs not shown";
    EXPECT_TRUE(Has(screen, "COM16: Flashwright: Failed Sx!"));
    // Each live line as it stands after its last carriage return, escapes
    // taken out (messages and the table are lines of their own, not fitted).
    const std::string plain = std::regex_replace(screen, std::regex("\033\\[[0-9;]*[A-Za-z]"), "");
    std::istringstream lines(plain.substr(0, plain.rfind("\nANALYSER ")));
    for (std::string line; std::getline(lines, line);) {
        line.erase(line.find_last_not_of('\r') + 1);
        if (line.find(": Flashwright: ") == std::string::npos) {
            EXPECT_LE(line.size() - (line.rfind('\r') + 1), 70u) << line;
        }
    }
    EXPECT_TRUE(Has(TableRow(plain, "COM16"), " FAILED "));
    EXPECT_TRUE(Has(TableRow(plain, "COM16"), "rejected record 5"));
    EXPECT_TRUE(Has(TableRow(plain, silent), " NO LINK "));
    EXPECT_TRUE(Has(TableRow(plain, silent), "no answer within 3 s"));

    const nlohmann::json printed = nlohmann::json::parse(rig.Out());
    const auto runs = fleet.Runs();
    ASSERT_EQ(printed.size(), 8u) << rig.Out();
    ASSERT_EQ(runs.size(), 8u);
    // In the order named: the ports, then the addresses.
    const std::vector<std::pair<std::string, int>> named{
        {Fleet::Name(0), 0}, {Fleet::Name(1), 1},  {Fleet::Name(2), 2}, {Fleet::Name(3), 3},
        {Fleet::Name(4), 4}, {Fleet::Name(6), -1}, {address, 5},        {silent, -1}};
    for (std::size_t i = 0; i < named.size(); ++i) {
        const auto& [name, sim] = named[i];
        const nlohmann::json& run = runs.at(name);
        EXPECT_EQ(printed[i], run);
        EXPECT_EQ(run["connection"]["type"], i >= 6 ? "TCP" : "COM");
        EXPECT_EQ(run["result"], sim < 0 ? "failed" : "success") << run;
        if (sim >= 0) {
            EXPECT_EQ(run["records_passed"], kRecords);
            EXPECT_TRUE(fleet.SameImage(sim, image)) << name;
        }
    }
    EXPECT_EQ(runs.at(silent)["rows"]["Connect to Analyser"], "FAILED") << runs.at(silent);
}

// flash --watch: a unit there at the start is left alone; units plugged in one
// after another are flashed once each, in the order they came, none twice
// while it stays; Ctrl-C ends it with the table. One record a unit.
TEST_F(CliE2e, WatchFlashesEachUnitPluggedIn) {
    const std::string image = Image(rig, 2);
    std::vector<std::unique_ptr<SimProcess>> units;
    const auto plug = [&](int com) {
        units.push_back(std::make_unique<SimProcess>());
        return units.back()->Start({FW_ANALYSER_SIM, "--registry", rig.Registry(), "--com",
                                    std::to_string(com), "--baud", "0", "--reboot-ms", "20",
                                    "--erase-ms", "20", "--verbose", "--out",
                                    rig.dir.File("received" + std::to_string(com))},
                                   rig.dir.File("unit" + std::to_string(com)));
    };
    ASSERT_EQ(plug(30), "");
    const pid_t cli = rig.Start({"flash", "--watch", "--file", image});
    ASSERT_TRUE(WaitUntil([&] { return rig.Out().find("watching") != std::string::npos; }))
        << rig.Both();
    for (int com : {12, 10, 11}) {
        ASSERT_EQ(plug(com), "");
        ASSERT_TRUE(WaitUntil([&] { return rig.Runs().size() == units.size() - 1; })) << rig.Both();
    }
    ::usleep(1'500'000); // still plugged: not again
    ::kill(cli, SIGINT);
    EXPECT_EQ(rig.Finish(cli, Millis(10000)), 0) << rig.Both();
    std::vector<std::string> order;
    for (const nlohmann::json& run : rig.Runs()) {
        order.push_back(run["analyser"]);
        EXPECT_EQ(run["batch"], rig.Runs().front()["batch"]);
        EXPECT_EQ(run["result"], "success");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"COM12", "COM10", "COM11"}));
    for (int com : {10, 11, 12})
        EXPECT_EQ(
            WaitExit(Spawn({FW_SREC_CMP, image, rig.dir.File("received" + std::to_string(com))})),
            0);
    EXPECT_EQ(units[0]->Stderr(), ""); // COM30 heard nothing
    EXPECT_TRUE(Has(rig.Out(), "3 of 3 units OK"));
    EXPECT_EQ(TableRow(rig.Out(), "COM10").substr(0, 12), "COM10     OK");
}

// The file is checked once, before any analyser is touched: a refused file,
// or one whose digest is not the one --sha256 pins, reaches none of them,
// with one analyser as with several.
TEST_F(CliE2e, FileCheckedBeforeAnyAnalyser) {
    const std::string bad = BadImage(rig), image = rig.dir.File("fw.sx");
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
        {"RefusedFile", bad, "", 2, 1, "refused: line 3"},
        {"DigestDiffersOneAnalyser", image, other, 1, 1, "no analyser was touched"},
        {"DigestMatchesOneAnalyser", image, digest, 1, 0, ""},
    };
    for (const FileCase& c : cases) {
        Fleet fleet(rig);
        ASSERT_EQ(fleet.Start(c.analysers, {"--baud", "0"}), "");
        std::vector<std::string> args = fleet.Flash({"--file", c.file});
        if (!c.sha256.empty())
            args.insert(args.end(), {"--sha256", c.sha256});
        const std::size_t before = rig.Runs().size();
        ASSERT_EQ(rig.Run(args), c.exitCode) << c.name << rig.Both();
        if (c.exitCode == 0) {
            // One analyser is the one run of before: its lines, its record.
            EXPECT_EQ(rig.Err(), "") << c.name;
            EXPECT_TRUE(Has(rig.Out(), "\nRun Firmware: OK\n"));
            ASSERT_EQ(rig.Runs().size(), before + 1) << c.name;
            EXPECT_FALSE(rig.Runs().back().contains("batch"));
            continue;
        }
        EXPECT_TRUE(Has(rig.Err(), c.stderrHas)) << c.name;
        EXPECT_EQ(rig.Out(), "") << c.name;
        EXPECT_EQ(rig.Runs().size(), before) << c.name;
        for (auto& sim : fleet.sims) {
            sim->Stop();
            EXPECT_EQ(sim->Stderr(), "") << c.name << ": an analyser heard something";
        }
    }
}

// The file is replaced by a rename, or rewritten in place, while the batch
// runs (--jobs 1: the others start after the first): every analyser gets the
// bytes the batch checked against its --sha256, and the table, the records
// and --json say so alike.
TEST_F(CliE2e, FileReplacedDuringTheBatchChangesNothingSent) {
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "rewritten in place" : "replaced by rename");
        const std::string image = Image(rig, 3, "big.sx", 0x2000);
        const std::string kept = rig.dir.File("kept.sx");
        fs::copy_file(image, kept, fs::copy_options::overwrite_existing);
        const std::string other = Image(rig, 3, "other.sx", 0x2000);
        ASSERT_EQ(WaitExit(Spawn({"sha256sum", image}, rig.dir.File("sum"))), 0);
        const std::string digest = ReadFile(rig.dir.File("sum")).substr(0, 64);
        Fleet fleet(rig);
        ASSERT_EQ(fleet.Start(3, {"--baud", "38400"}), "");
        const std::size_t before = rig.Runs().size();
        const pid_t cli =
            rig.Start(fleet.Flash({"--file", image, "--jobs", "1", "--sha256", digest, "--json"}),
                      {}, rig.dir.File("progress"));
        WaitUntil([&] { return Has(ReadFile(rig.dir.File("progress")), "Upload Firmware: 10%"); });
        if (inPlace)
            WriteFile(image, ReadFile(other));
        else
            fs::rename(other, image);
        ASSERT_EQ(rig.Finish(cli, Millis(90000)), 0)
            << rig.Out() << ReadFile(rig.dir.File("progress"));
        const std::string table = ReadFile(rig.dir.File("progress"));
        const nlohmann::json printed = nlohmann::json::parse(rig.Out());
        const std::vector<nlohmann::json> runs = rig.Runs();
        ASSERT_EQ(printed.size(), 3u);
        ASSERT_EQ(runs.size(), before + 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(Has(TableRow(table, Fleet::Name(i)), " OK"));
            const nlohmann::json& run = runs[before + static_cast<std::size_t>(i)];
            EXPECT_EQ(run, printed[static_cast<std::size_t>(i)]);
            EXPECT_EQ(run["result"], "success");
            EXPECT_EQ(run["firmware"]["sha256"], digest);
            EXPECT_TRUE(fleet.SameImage(i, kept)) << Fleet::Name(i);
        }
    }
}

TEST_F(CliE2e, UsageErrors) {
    // clang-format off
    const std::vector<std::vector<std::string>> cases{
        {}, {"frobnicate"}, {"--no-such-option"}, {"check"}, {"list", "--json"},
        {"help", "frobnicate"}, {"help", "list", "check"}, {"check", "--address", "127.0.0.1:2000"},
        // An option that cannot be read (each reader's cases: FlashOptions.Readers).
        {"flash", "--ops", "bootloader,format"}, {"flash", "--port", "0"},
        {"flash", "--type", "IRDA"}, {"flash", "--address", "192.168.0.1"},
        {"flash", "--timeout", "-1"}, {"flash", "extra"},
        {"flash", "--port", "7", "--port", "8", "--type", "COM"},
        {"flash", "--port", "7", "--port", "8", "--save"},
        {"flash", "--port", "7", "--port", "COM7"},
        {"flash", "--port", "7", "--port", "COM256"}, {"flash", "--port", "7", "--jobs", "0"},
        {"flash", "--jobs", "2"}, {"flash", "--sha256", "0123"},
        {"flash", "--analysers", rig.dir.File("missing")},
        {"flash", "--analysers", rig.dir.File("analysers")},
    };
    // clang-format on
    WriteFile(rig.dir.File("analysers"), "# bench\nCOM7\nCOM7x\n");
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(rig.Run(args), 2) << joined << rig.Both();
        EXPECT_TRUE(Has(rig.Err(), "flashwright-cli: ")) << joined;
    }
    EXPECT_FALSE(fs::exists(rig.RunLog())) << "a usage error started a run";
    EXPECT_TRUE(Has(rig.Err(), rig.dir.File("analysers") + ":3: \"COM7x\""));
    // A stored type that is none of COM, USB, TCP would wait without end; a
    // --type given stands in for it.
    for (const char* type : {"com", "COM ", ""}) {
        rig.Store(kConnectionType, type);
        EXPECT_EQ(rig.Run({"flash", "--ops", ""}), 2) << rig.Both();
        EXPECT_TRUE(Has(rig.Err(), "\"" + std::string(type) + "\" in " + rig.Registry()));
    }
    EXPECT_FALSE(fs::exists(rig.RunLog())) << "an unknown stored type started a run";
    // The simulator's --version alone is its own, as the other programs'.
    ASSERT_EQ(WaitExit(Spawn({FW_ANALYSER_SIM, "--version"}, rig.dir.File("sim.out"))), 0);
    EXPECT_EQ(ReadFile(rig.dir.File("sim.out")).rfind("analyser-sim 4.", 0), 0u)
        << ReadFile(rig.dir.File("sim.out"));
}

} // namespace
} // namespace fw::e2e
