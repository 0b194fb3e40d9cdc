// Whole runs of the update engine against the analyser simulator on a
// pseudo-terminal: the real serial port (or converter driver), link, settings
// file and engine, driven by a Qt timer as the progress page drives them.
#include "app/Wizard.h"
#include "link/net/QtNetPort.h"
#include "link/serial/QtSerialPort.h"
#include "pages/BenchNames.h"
#include "tests/e2e/E2eRig.h"
#include "tests/support/Ser2net.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fw::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRecords = 128; // 4 KiB in 32-byte records
const std::vector<std::int32_t> kFullWalk{1, 2, 3, 4, 5, 6, 7, 9, 11, 12, 13, 14, 15};

// A firmware file <kind>.sx in `dir`, rewritten from <kind>.src.srec that
// srec_cat made (and srec_cmp compares the analyser's image with): "S1"/"S2"
// as made, "LowerCaseS2" all in lower case, "LoneCrS1" with CR line ends.
std::string Image(const TempDir& dir, const std::string& kind) {
    const bool s2 = kind.back() == '2';
    const std::string source = dir.File(kind + ".src.srec");
    if (!MakeImage(FW_SREC_CAT, source, s2 ? 0x3F000 : 0x1000, 0x1000, s2 ? 3 : 2))
        throw std::runtime_error("srec_cat failed");
    std::string text = ReadFile(source);
    for (char& c : text) {
        if (kind == "LowerCaseS2")
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (kind == "LoneCrS1" && c == '\n')
            c = '\r';
    }
    WriteFile(dir.File(kind + ".sx"), text);
    return dir.File(kind + ".sx");
}

// A USB converter whose terminal is the simulator's pty, found through a fake
// sysfs tree laid out as the kernel lays out an ftdi_sio port.
void FakeConverter(Rig& rig) {
    const fs::path sys = rig.dir.File("sys");
    const fs::path device = sys / "devices/pci0000:00/usb1/1-1";
    const fs::path interface = device / "1-1:1.0";
    const fs::path port = interface / "ttyUSB0";
    const fs::path tty = port / "tty/ttyUSB0";
    for (const fs::path& p : {sys / "bus/usb-serial", sys / "bus/usb/drivers/ftdi_sio", tty,
                              sys / "class/tty", fs::path(rig.dir.File("dev"))})
        fs::create_directories(p);
    WriteFile(device / "product", "Merlane Analyser\n");
    WriteFile(device / "serial", "MA0042\n");
    WriteFile(interface / "bInterfaceNumber", "00\n");
    WriteFile(tty / "dev", "188:0\n");
    fs::create_directory_symlink(sys / "bus/usb/drivers/ftdi_sio", interface / "driver");
    fs::create_directory_symlink(sys / "bus/usb-serial", port / "subsystem");
    fs::create_directory_symlink(port, tty / "device");
    fs::create_directory_symlink(tty, sys / "class/tty/ttyUSB0");
    fs::create_symlink(rig.sim.Device(), rig.dir.File("dev/ttyUSB0"));
}

// Peak resident memory of this process so far, in kB.
long PeakRssKb() {
    const std::string status = ReadFile("/proc/self/status");
    const std::size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::stol(status.substr(at + 6));
}

class FlashE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(FW_SREC_CAT).empty() || std::string(FW_SREC_CMP).empty())
            GTEST_SKIP() << "srec_cat / srec_cmp (Debian srecord) not installed";
    }

    // Starts the simulator unpaced with short delays (`args` may override
    // them), logging every command it hears and ending after RUNANYWAY.
    static void StartSim(Rig& r, std::vector<std::string> args) {
        args.insert(args.begin(), {"--baud", "0", "--reboot-ms", "20", "--erase-ms", "20", "--out",
                                   r.dir.File("received.srec"), "--verbose", "--exit-after-run"});
        const std::string error = r.StartSim(FW_ANALYSER_SIM, args);
        ASSERT_TRUE(error.empty()) << error;
    }

    // A completed run, and the image the analyser wrote is the one `kind`
    // was made from. Every record has its verdict, but those the simulator
    // withholds to the end.
    static void ExpectCompleted(Rig& r, const std::string& kind, int withheld = 0) {
        r.RunToEnd();
        ASSERT_EQ(r.State(), Finished) << r.sim.Stderr();
        EXPECT_EQ(r.view.At(StatusLabel::Verify).caption, "OK");
        EXPECT_EQ(r.view.At(StatusLabel::RUN).caption, "OK");
        EXPECT_EQ(r.fields.nRecordsSent, kRecords);
        EXPECT_EQ(r.fields.nRecordsPassed, kRecords - withheld);
        EXPECT_FALSE(r.engine.FirmwareOpen());
        EXPECT_FALSE(r.LinkOpen()); // state 14 closed the link
        EXPECT_TRUE(r.box.shown.empty()) << r.box.shown.front().text;

        EXPECT_EQ(r.sim.Wait(Millis(5000)), 0) << "the simulator's exit: " << r.sim.Stderr();
        // srec_cmp reports any difference on the test's own output.
        const std::string source = r.dir.File(kind + ".src.srec");
        EXPECT_EQ(WaitExit(Spawn({FW_SREC_CMP, source, r.dir.File("received.srec")})), 0);

        // The run record names the file that went, by the digest of its bytes.
        const nlohmann::json run = r.Runs().back();
        EXPECT_EQ(run["result"], "success");
        const std::string file = r.settings.GetSettingValue(kSection, kFilename, "");
        EXPECT_EQ(run["firmware"]["path"], file);
        EXPECT_EQ(run["firmware"]["sha256"], Sha256Sum(r.dir, file));
        EXPECT_EQ(run["firmware"]["records"], kRecords);
        EXPECT_EQ(run["records_sent"], kRecords);
        EXPECT_EQ(run["records_passed"], kRecords - withheld);
        EXPECT_EQ(run["rows"]["Verify Upload"], "OK");
    }

    // sha256sum's digest of a file.
    static std::string Sha256Sum(const TempDir& dir, const std::string& file) {
        const std::string out = dir.File("sha256sum.out");
        EXPECT_EQ(WaitExit(Spawn({"sha256sum", file}, out)), 0);
        return ReadFile(out).substr(0, 64);
    }

    // The run ended in the failed state with the firmware never started.
    static void ExpectFailedNotRun(Rig& r) {
        r.RunToEnd();
        ASSERT_EQ(r.State(), Failed) << r.sim.Stderr();
        r.RunFor(Millis(100));
        EXPECT_EQ(r.view.At(StatusLabel::Verify).caption, "FAILED");
        EXPECT_EQ(r.view.At(StatusLabel::Verify).colour, kRed);
        EXPECT_EQ(r.sim.Stderr().find("run:"), std::string::npos) << "the firmware was started";
        ASSERT_FALSE(r.Runs().empty());
        EXPECT_EQ(r.Runs().back()["result"], "failed");
    }

    // The wizard itself over the rig's settings and devices, started.
    // `bench`: what the connection page's bench checklist answers.
    // `ticked` takes the names the checklist came up with ticked.
    static std::unique_ptr<Wizard> StartWizard(Rig& r, bool net = false,
                                               std::vector<std::string> bench = {},
                                               std::vector<std::string>* ticked = nullptr) {
        auto wizard = std::make_unique<Wizard>(WizardServices{
            r.registry, r.usb, r.box, [&r] { return std::make_unique<QtSerialPort>(r.names); },
            net ? NetPortFactory([] { return std::make_unique<QtNetPort>(); }) : nullptr,
            [&r] { return r.names.PlatformList(); },
            [&r] { return MakePlatformVersionFacility(r.registry); }, ChooseFileWithDialog,
            &r.runLog, nullptr,
            [bench, ticked](QWidget*, const std::vector<BenchEntry>& entries) {
                std::vector<std::string> offered;
                for (const BenchEntry& e : entries) {
                    offered.push_back(e.label);
                    if (ticked != nullptr && e.chosen)
                        ticked->push_back(e.name);
                }
                EXPECT_TRUE(std::all_of(bench.begin(), bench.end(), [&](const std::string& n) {
                    return std::find(offered.begin(), offered.end(), n) != offered.end();
                })) << "not offered";
                return std::optional(bench);
            }});
        wizard->Start();
        return wizard;
    }
    static void ClickNext(QtPage& page) {
        page.Window()->findChild<QPushButton*>("btnNext")->click();
    }
    static void NextThroughThePages(Wizard& w) {
        ClickNext(w.connection);
        ClickNext(w.firmware);
        ClickNext(w.operations);
    }
    // A second analyser, on COM1 of the same registry, that logs what it hears.
    static void StartOther(Rig& r, SimProcess& other) {
        ASSERT_EQ(other.Start({FW_ANALYSER_SIM, "--registry", r.dir.File("flashwright.reg"),
                               "--com", "1", "--baud", "0", "--verbose"},
                              r.dir.File("other")),
                  "");
    }

    Rig rig;
};

// --- Runs that complete: every image in both record forms, an awkward line ---

struct Run {
    const char* name;
    const char* kind;
    std::vector<std::string> args;
    friend void PrintTo(const Run& run, std::ostream* os) { *os << run.name; }
};

class FlashRuns : public FlashE2e, public ::testing::WithParamInterface<Run> {};

TEST_P(FlashRuns, ImageArrivesWhole) {
    const std::vector<std::string>& args = GetParam().args;
    StartSim(rig, args);
    rig.Store("COM", Image(rig.dir, GetParam().kind));
    rig.Next();
    const auto withhold = std::find(args.begin(), args.end(), "--withhold-last");
    ExpectCompleted(rig, GetParam().kind, withhold == args.end() ? 0 : std::stoi(*(withhold + 1)));
    const bool text = std::find(args.begin(), args.end(), "1.1") != args.end();
    EXPECT_EQ(rig.engine.State().nAnalyserKind, text ? 1 : 2);
    if (std::find(args.begin(), args.end(), "--split-banner") != args.end()) {
        EXPECT_FALSE(rig.Saw(EnterBootloader)); // the bootloader started on its own
    } else {
        EXPECT_EQ(rig.states, kFullWalk);
    }
    EXPECT_EQ(rig.Runs().back()["records_unconfirmed"], withhold == args.end() ? 0 : 2);
    if (std::find(args.begin(), args.end(), "--vanish-ms") != args.end()) {
        EXPECT_NE(rig.sim.Stderr().find("back"), std::string::npos) << rig.sim.Stderr();
    }
}

// --strict-form: a record in the other form (1.1 text, 1.2 binary) is failed.
const std::vector<Run> kRuns{
    {"S1_Text", "S1", {"--bootloader-version", "1.1", "--strict-form"}},
    {"S1_Binary", "S1", {"--bootloader-version", "1.2", "--strict-form"}},
    {"S2_Text", "S2", {"--bootloader-version", "1.1", "--strict-form"}},
    {"S2_Binary", "S2", {"--bootloader-version", "1.2", "--strict-form"}},
    {"LowerCaseS2_Text", "LowerCaseS2", {"--bootloader-version", "1.1", "--strict-form"}},
    {"LowerCaseS2_Binary", "LowerCaseS2", {"--bootloader-version", "1.2", "--strict-form"}},
    {"LoneCrS1_Text", "LoneCrS1", {"--bootloader-version", "1.1", "--strict-form"}},
    {"LoneCrS1_Binary", "LoneCrS1", {"--bootloader-version", "1.2", "--strict-form"}},
    {"NoiseChecksumFailSplitBanner", "S2", {"--garbage", "--checksum-fail", "--split-banner"}},
    {"TwoAcksWithheld", "S1", {"--withhold-last", "2"}},
    // The analyser's serial interface re-enumerates while it restarts: the
    // wait for the restart goes on, on the device that comes back.
    {"DeviceGoneDuringTheRestart", "S1", {"--vanish-ms", "300", "--reboot-ms", "500"}},
};
INSTANTIATE_TEST_SUITE_P(E2e, FlashRuns, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The last verdicts: all in one write, a rejection after the others -----------

struct Verdicts {
    const char* name;
    std::vector<std::string> args;
    bool completes; // else the run fails and the firmware is never started
    const char* box = "Failed Sx!";
    bool stopsEarly = false; // the upload ends at the rejection, before the last record
    friend void PrintTo(const Verdicts& v, std::ostream* os) { *os << v.name; }
};

class LastVerdicts : public FlashE2e, public ::testing::WithParamInterface<Verdicts> {};

// 512 records (16 KiB): all 512 verdicts in one write are 4 KiB, four times
// the reply buffer.
TEST_P(LastVerdicts, CountEveryOne) {
    StartSim(rig, GetParam().args);
    const std::string file = rig.dir.File("big.sx");
    ASSERT_TRUE(MakeImage(FW_SREC_CAT, file, 0x1000, 0x4000, 2));
    rig.Store("COM", file);
    rig.Next();
    if (!GetParam().completes) {
        rig.RunToEnd();
        const std::size_t sent = rig.Port().bytesOut; // nothing more goes out after the failure
        ExpectFailedNotRun(rig);
        ASSERT_EQ(rig.box.shown.size(), 1u);
        EXPECT_EQ(rig.box.shown[0].text, GetParam().box);
        EXPECT_EQ(rig.Port().bytesOut, sent);
        EXPECT_TRUE(!GetParam().stopsEarly || rig.fields.nRecordsSent < 512);
        EXPECT_FALSE(rig.engine.FirmwareOpen());
        // A rejection fails the run at once; an unknown verdict at the end, which closes the link.
        EXPECT_EQ(rig.LinkOpen(), GetParam().args[0] != "--unknown-verdict");
        return;
    }
    rig.RunToEnd();
    ASSERT_EQ(rig.State(), Finished) << rig.sim.Stderr();
    EXPECT_EQ(rig.fields.nRecordsPassed, 512);
    EXPECT_EQ(rig.Runs().back()["records_unconfirmed"], 0);
    EXPECT_EQ(rig.sim.Wait(Millis(5000)), 0) << rig.sim.Stderr();
    EXPECT_EQ(WaitExit(Spawn({FW_SREC_CMP, file, rig.dir.File("received.srec")})), 0);
}

const std::vector<Verdicts> kVerdicts{
    {"AllInOneWrite", {"--verdicts-at-once", "300"}, true},
    // Paced, so that the records still go out ahead of their verdicts.
    {"LastRecordRejected", {"--baud", "115200", "--reject-record", "512"}, false},
    {"NextToLastRejected", {"--baud", "115200", "--reject-record", "511"}, false},
    // Late, but well inside the quiet second even on a busy machine.
    {"LastRejected100msLate", {"--reject-record", "512", "--verdict-delay-ms", "100"}, false},
    {"EveryVerdictTwice", {"--verdicts-twice"}, false, kMsgTooManyVerdicts},
    {"FifthRejected", {"--reject-record", "5"}, false, kMsgFailedSx, true},
    {"FifthAnsweredNeitherPassNorFail", {"--unknown-verdict", "5"}, false},
};
INSTANTIATE_TEST_SUITE_P(E2e, LastVerdicts, ::testing::ValuesIn(kVerdicts),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Runs that stop -------------------------------------------------------------

TEST_F(FlashE2e, PreviousDuringTheUploadThenANewRunCompletes) {
    StartSim(rig, {});
    rig.Store("COM", Image(rig.dir, "S1"));
    rig.Next();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.fields.nRecordsSent >= 30; }, Millis(20000)));
    ASSERT_EQ(rig.State(), Uploading);
    ASSERT_TRUE(rig.engine.FirmwareOpen());
    rig.Previous();
    EXPECT_FALSE(rig.engine.FirmwareOpen());
    rig.RunFor(Millis(100));
    EXPECT_EQ(rig.State(), Idle);

    rig.states.clear();
    rig.Next();
    ExpectCompleted(rig, "S1");
    EXPECT_EQ(rig.states.front(), 1); // Start
}

// The line goes dead mid-upload (the simulator killed behind the serial port,
// or the converter gone, which fails its poll): the run ends at once with the
// line named, nothing more counts as sent, and the page does not spin.
TEST_F(FlashE2e, LineGoneDuringTheUploadIsReportedAsALostLink) {
    for (const bool usb : {false, true}) {
        SCOPED_TRACE(usb ? "converter" : "serial port");
        Rig r;
        StartSim(r, {"--baud", "38400"}); // paced: the upload is still going when it dies
        if (usb) {
            FakeConverter(r);
            r.settings.SaveSettingValue(kSection, kUsbAnalyser, "MA00");
        }
        r.Store(usb ? "USB" : "COM", Image(r.dir, "S2"));
        r.Next();
        ASSERT_TRUE(r.RunUntil([&] { return r.fields.nRecordsPassed >= 10; }, Millis(20000)));
        const std::string device = r.sim.Device();
        r.sim.Signal(SIGKILL);
        ASSERT_TRUE(r.sim.Wait(Millis(2000)).has_value());
        ASSERT_TRUE(r.RunUntil([&] { return r.State() == Failed; }, Millis(3000)));
        const std::int32_t sent = r.fields.nRecordsSent;

        const std::clock_t cpu0 = std::clock();
        const auto t0 = Clock::now();
        r.RunFor(Millis(1000));
        const double share = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC /
                             std::chrono::duration<double>(Clock::now() - t0).count();
        RecordProperty(usb ? "cpu_percent_converter" : "cpu_percent",
                       std::to_string(share * 100.0));
        // A few percent when quiet; a loop that spins on the dead line takes a
        // whole core. Half of one holds under sanitizers and a busy machine.
        EXPECT_LT(share, 0.5) << "CPU share of one core after the loss";
        EXPECT_EQ(r.fields.nRecordsSent, sent);
        EXPECT_LT(sent, kRecords);
        ASSERT_EQ(r.box.shown.size(), 1u);
        EXPECT_EQ(r.box.shown[0].text,
                  "The connection to the analyser was lost.\n\n" +
                      (usb ? "USB converter MA0042 (Merlane Analyser)" : "COM7 (" + device + ")"));
        EXPECT_EQ(r.box.shown[0].icon, MsgIcon::Critical);
        for (StatusLabel row :
             {StatusLabel::Connection, StatusLabel::Upload, StatusLabel::Verify}) {
            EXPECT_EQ(r.view.At(row).caption, "FAILED");
            EXPECT_EQ(r.view.At(row).colour, kRed);
        }
        EXPECT_EQ(r.Runs().back()["reason"], r.box.shown[0].text);
        if (usb) {
            EXPECT_FALSE(r.link.IsOpen());
            EXPECT_EQ(r.Runs().back()["connection"]["usb_serial"], "MA00");
            continue;
        }
        // Previous, and a new Next on a new analyser, runs again.
        r.Previous();
        StartSim(r, {});
        r.box.shown.clear();
        r.Next();
        ExpectCompleted(r, "S2");
    }
}

// Megabytes from the analyser while the "Failed Sx!" box is open wait in the
// kernel, not in the program's memory; once it closes the whole flood is read
// and dropped while the page goes on answering. How fast it drains is
// flash-bench's "flood" line.
TEST_F(FlashE2e, FloodWhileAMessageBoxIsOpenKeepsMemoryBounded) {
    constexpr std::size_t kFlood = 20'000'000;
    StartSim(rig, {"--reject-record", "3", "--flood-after-reject", std::to_string(kFlood)});
    rig.Store("COM", Image(rig.dir, "S1"));
    [[maybe_unused]] const long before = PeakRssKb();
    // The page ticks on while the rest is read (and dropped): a page that read
    // the flood first would take all of it between two ticks (here under 2 MB
    // come between them).
    bool boxClosed = false;
    int ticksAfterBox = 0;
    std::size_t atTick = 0;
    std::size_t mostBetweenTicks = 0;
    const auto read = [&] {
        mostBetweenTicks = std::max(mostBetweenTicks, rig.Port().bytesIn - atTick);
        atTick = rig.Port().bytesIn;
    };
    rig.afterTick = [&] {
        ticksAfterBox += boxClosed ? 1 : 0;
        read();
    };
    rig.box.whileOpen = [&] { // the modal box's own event loop, for a while
        const auto end = Clock::now() + Millis(1500);
        while (Clock::now() < end) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            ::usleep(1000);
        }
        boxClosed = true;
    };
    rig.Next();
    // Everything the analyser sent arrives: the flood and the replies before it.
    EXPECT_TRUE(rig.RunUntil([&] { return rig.Port().bytesIn >= kFlood; }, Millis(240'000)))
        << rig.Port().bytesIn;
    read();
    ASSERT_TRUE(boxClosed);
    EXPECT_GT(ticksAfterBox, 0);
    EXPECT_LT(mostBetweenTicks, kFlood / 2) << "bytes read between two ticks";
    EXPECT_EQ(rig.State(), Failed);
#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer holds freed memory back: no measure there
    EXPECT_LT(PeakRssKb() - before, 32 * 1024) << "kB more at the peak";
#endif
}

// --- Runs that must send nothing -------------------------------------------------

// No firmware file (refused, and the link it opened closes again) and every
// operation off (walks through to idle). The simulator, which logs every
// command it hears, heard none.
TEST_F(FlashE2e, RunsThatSendNothing) {
    struct Case {
        const char* content; // of the firmware file; null: the made image; "-": no file
        bool opsOff;
        std::vector<std::int32_t> walk;
        const char* upload;  // the Upload label's caption
        const char* message; // part of the one message shown, if any
    };
    const std::vector<Case> cases{
        {"-", false, {1, 0}, "FAILED", "Invalid File - please select a firmware file."},
        {"S1051000AA55EB\nR1051000AA55EB\nS9030000FC\n",
         false,
         {1, 0},
         "FAILED",
         "line 2 is not an S-record: it starts with 'R', not 'S'"},
        {nullptr, true, {1, 5, 7, 9, 11, 14, 0}, "SKIPPED", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message ? c.message : c.upload);
        Rig r;
        StartSim(r, {});
        std::string file = r.dir.File("given.sx");
        if (c.content == nullptr) {
            file = Image(r.dir, "S1");
        } else if (std::string(c.content) != "-") {
            WriteFile(file, c.content);
        }
        r.Store("COM", file);
        if (c.opsOff)
            r.operations.bOpBootloader = r.operations.bOpEraseFlash = r.operations.bOpUpload =
                r.operations.bOpRun = kFalse;
        r.Next();
        r.RunUntil([&] { return r.states.size() >= c.walk.size(); }, Millis(10000));
        r.RunFor(Millis(100)); // and no step after those
        EXPECT_EQ(r.states, c.walk);
        EXPECT_EQ(r.view.At(StatusLabel::Upload).caption, c.upload);
        EXPECT_FALSE(r.LinkOpen());
        EXPECT_TRUE(r.Control() == nullptr || r.Control()->bytesOut == 0);
        EXPECT_EQ(r.sim.Stderr(), "");
        ASSERT_EQ(r.box.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_NE(r.box.shown[0].text.find(c.message), std::string::npos)
                << r.box.shown[0].text;
            EXPECT_EQ(r.box.shown[0].title, "Load Firmware Error");
            EXPECT_EQ(r.Runs().back()["result"], "failed");
            EXPECT_EQ(r.view.At(StatusLabel::Upload).colour, kRed);
        }
    }
}

// The analyser behind a serial device server (ser2net on the simulator's
// pty): whole flashes raw and over RFC 2217 with binary records full of 0xFF
// bytes; an address that is refused at once; the server killed mid-upload.
TEST_F(FlashE2e, SerialDeviceServer) {
    enum class Outcome { Completes, Refused, ServerKilled, KilledInRestart };
    struct Case {
        const char* name;
        const char* scheme;  // before 127.0.0.1:PORT; null: `address` as it stands
        bool serve;          // ser2net listens on PORT
        const char* address; // when scheme is null
        Outcome outcome;
        const char* message; // the start of the one message shown
    };
    const std::vector<Case> cases{
        {"raw", "", true, nullptr, Outcome::Completes, nullptr},
        {"rfc2217", "rfc2217://", true, nullptr, Outcome::Completes, nullptr},
        {"nothing listening", "", false, nullptr, Outcome::Refused,
         "Unable to connect to 127.0.0.1:"},
        {"the page's default, no port", nullptr, false, "192.168.0.1", Outcome::Refused,
         "Invalid Network Address \"192.168.0.1\""},
        {"IPv6 without brackets", nullptr, false, "::1:2000", Outcome::Refused,
         "Invalid Network Address \"::1:2000\""},
        {"raw, killed", "", true, nullptr, Outcome::ServerKilled,
         "The connection to the analyser was lost.\n\nTCP 127.0.0.1:"},
        {"rfc2217, killed", "rfc2217://", true, nullptr, Outcome::ServerKilled,
         "The connection to the analyser was lost.\n\nTCP rfc2217://127.0.0.1:"},
        // A TCP connection does not come back as a re-enumerated USB device does.
        {"raw, killed while the analyser restarts", "", true, nullptr, Outcome::KilledInRestart,
         "The connection to the analyser was lost.\n\nTCP 127.0.0.1:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        const bool killed = c.outcome == Outcome::ServerKilled;
        const bool restarting = c.outcome == Outcome::KilledInRestart;
        StartSim(r, killed       ? std::vector<std::string>{"--baud", "38400"}
                    : restarting ? std::vector<std::string>{"--reboot-ms", "5000"}
                                 : std::vector<std::string>{});
        test::Ser2net server;
        if (c.serve) {
            const std::string error = server.Start(r.dir.File("."), r.sim.Device(), *c.scheme != 0);
            ASSERT_EQ(error, "");
        }
        const std::string address =
            c.scheme ? c.scheme + std::string("127.0.0.1:") +
                           std::to_string(c.serve ? server.Port() : test::Ser2net::FreePort())
                     : c.address;
        r.Store("TCP", Image(r.dir, "S2"));
        r.settings.SaveSettingValue(kSection, kAddress, address);
        // The image's binary records carry 0xFF bytes, which RFC 2217 escapes.
        ASSERT_NE(ReadFile(r.dir.File("S2.src.srec")).find("FF"), std::string::npos);

        const auto t0 = Clock::now();
        r.Next();
        // The connect goes on at the tick: Next does not wait out its 3 s
        // time-out (the margin is for a busy machine).
        EXPECT_LT(Clock::now() - t0, Millis(2500));
        ASSERT_TRUE(r.RunUntil(
            [&] { return r.view.At(StatusLabel::Connection).caption != "Connecting..."; },
            Millis(6000)));
        if (c.outcome == Outcome::Completes) {
            EXPECT_EQ(r.view.At(StatusLabel::Connection).caption, "OK");
            ExpectCompleted(r, "S2");
            EXPECT_EQ(r.Runs().back()["connection"]["device"], address);
            continue;
        }
        if (restarting) {
            ASSERT_TRUE(r.RunUntil([&] { return r.State() == WaitReboot; }, Millis(2000)));
            server.Stop(SIGKILL);
            // Before the analyser's 5 s restart is over; the message says why.
            ASSERT_TRUE(r.RunUntil([&] { return r.State() == Failed; }, Millis(4000)));
            EXPECT_EQ(r.view.At(StatusLabel::Bootloader).caption, "FAILED");
            EXPECT_EQ(r.Runs().back()["rows"]["Verify Upload"], ""); // nothing was uploaded
        } else if (killed) {
            ASSERT_TRUE(r.RunUntil([&] { return r.fields.nRecordsPassed >= 10; }, Millis(20000)));
            server.Stop(SIGKILL);
            ASSERT_TRUE(r.RunUntil([&] { return r.State() == Failed; }, Millis(5000)));
            const std::int32_t sent = r.fields.nRecordsSent;
            r.RunFor(Millis(200));
            EXPECT_EQ(r.fields.nRecordsSent, sent);
            EXPECT_LT(sent, kRecords);
            EXPECT_EQ(r.view.At(StatusLabel::Upload).caption, "FAILED");
        } else {
            r.RunFor(Millis(100));
            EXPECT_EQ(r.State(), Idle);    // never started
            EXPECT_EQ(r.sim.Stderr(), ""); // heard nothing
        }
        EXPECT_EQ(r.view.At(StatusLabel::Connection).caption, "FAILED");
        EXPECT_EQ(r.view.At(StatusLabel::Connection).colour, kRed);
        ASSERT_EQ(r.box.shown.size(), 1u);
        EXPECT_EQ(r.box.shown[0].text.rfind(c.message, 0), 0u) << r.box.shown[0].text;
        EXPECT_EQ(r.box.shown[0].icon, MsgIcon::Critical);
        EXPECT_EQ(r.Runs().back()["result"], "failed");
        EXPECT_EQ(r.Runs().back()["reason"], r.box.shown[0].text);
    }
}

TEST_F(FlashE2e, OnlyRunFirmwareSendsRunAnyway) {
    StartSim(rig, {"--start-in-bootloader"});
    rig.Store("COM", rig.dir.File("not-needed.sx"));
    rig.operations.bOpBootloader = rig.operations.bOpEraseFlash = rig.operations.bOpUpload = kFalse;
    rig.Next();
    rig.RunToEnd();
    ASSERT_EQ(rig.State(), Finished);
    EXPECT_EQ(rig.view.At(StatusLabel::RUN).caption, "OK");
    EXPECT_EQ(rig.Port().sent, "RUNANYWAY\r\n");
    EXPECT_FALSE(rig.LinkOpen());
    // The analyser heard it: it ran and wrote its (empty) image.
    ASSERT_TRUE(rig.sim.Wait(Millis(5000)).has_value()) << rig.sim.Stderr();
    EXPECT_NE(rig.sim.Stderr().find("run: 0 bytes programmed"), std::string::npos);
}

TEST_F(FlashE2e, UsbConverterRunCompletesThroughThePoll) {
    StartSim(rig, {});
    FakeConverter(rig);
    rig.Store("USB", Image(rig.dir, "S2"));
    rig.settings.SaveSettingValue(kSection, kUsbAnalyser, "MA00");
    rig.Next();
    ASSERT_TRUE(rig.link.IsOpen()) << rig.view.At(StatusLabel::Connection).caption;
    EXPECT_EQ(rig.view.At(StatusLabel::Connection).caption, "Connected...");
    EXPECT_EQ(rig.engine.State().nAnalyserKind, 2); // a Merlane converter
    ExpectCompleted(rig, "S2");
    EXPECT_FALSE(rig.link.IsOpen());   // state 14 closed the converter
    EXPECT_EQ(rig.Control(), nullptr); // no serial control was made for the run
}

// The wizard itself (its pages, wiring and Qt controls) through a serial
// device server: three clicks of Next, raw and over RFC 2217.
TEST_F(FlashE2e, WizardFlashesThroughADeviceServer) {
    for (const bool rfc2217 : {false, true}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "raw");
        Rig r;
        StartSim(r, {});
        test::Ser2net server;
        ASSERT_EQ(server.Start(r.dir.File("."), r.sim.Device(), rfc2217), "");
        r.Store("TCP", Image(r.dir, "S2"));
        r.settings.SaveSettingValue(kSection, kAddress,
                                    std::string(rfc2217 ? "rfc2217://" : "") +
                                        "127.0.0.1:" + std::to_string(server.Port()));
        const auto wizard = StartWizard(r, true);
        NextThroughThePages(*wizard);
        ASSERT_TRUE(r.RunUntil([&] { return wizard->run.engine.State().nUpdateState == Finished; },
                               Millis(20000)))
            << r.sim.Stderr();
        EXPECT_EQ(wizard->progress.Window()->findChild<QLabel*>("lblProgress_Verify")->text(),
                  "OK");
        EXPECT_TRUE(r.box.shown.empty());
        EXPECT_EQ(r.sim.Wait(Millis(5000)), 0) << r.sim.Stderr();
        EXPECT_EQ(
            WaitExit(Spawn({FW_SREC_CMP, r.dir.File("S2.src.srec"), r.dir.File("received.srec")})),
            0);
        EXPECT_EQ(r.Runs().back()["result"], "success");
    }
}

// The wizard while its connect to a device server that never answers waits
// out the 3 s bound: keys pressed on the progress page reach it at once, and
// the page shows "Connecting..." until the connect gives up.
TEST_F(FlashE2e, WizardAnswersKeysWhileTheConnectWaits) {
    const test::SilentListener off;
    rig.Store("TCP", Image(rig.dir, "S2"));
    rig.settings.SaveSettingValue(kSection, kAddress, "127.0.0.1:" + std::to_string(off.Port()));
    const auto wizard = StartWizard(rig, true);
    QElapsedTimer clicks;
    clicks.start();
    NextThroughThePages(*wizard);
    // The last Next does not wait out the connect's 3 s (the label below still
    // says "Connecting..."); the margin is for a busy machine.
    EXPECT_LT(clicks.elapsed(), 2500);
    QWidget* page = wizard->progress.Window();
    QLabel* connection = page->findChild<QLabel*>("lblProgress_Connection");
    struct KeyCount : QObject {
        int keys = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            keys += event->type() == QEvent::KeyPress ? 1 : 0;
            return false;
        }
    } count;
    page->installEventFilter(&count);
    qint64 slowest = 0;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(connection->text(), "Connecting...");
        const int before = count.keys;
        QElapsedTimer t;
        t.start();
        QCoreApplication::postEvent(page, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, {}));
        ASSERT_TRUE(rig.RunUntil([&] { return count.keys > before; }, Millis(3000)));
        slowest = std::max(slowest, t.elapsed());
        rig.RunFor(Millis(200));
    }
    std::printf("bench: slowest key press during a silent connect: %lld ms\n",
                static_cast<long long>(slowest));
    // A loop held by the connect would hold a key for up to its 3 s; a loaded
    // machine delays one by some 100 ms.
    EXPECT_LT(slowest, 1500);
    ASSERT_TRUE(rig.RunUntil([&] { return connection->text() == "FAILED"; }, Millis(3000)));
    ASSERT_EQ(rig.box.shown.size(), 1u);
    EXPECT_NE(rig.box.shown[0].text.find("(no answer within 3 s)"), std::string::npos);
}

// The run takes what the pages show. The settings cannot be written (the
// place of their lock file is taken by a folder, which stops root as well): the
// analyser on the chosen COM7 gets the typed file, not the stored COM1 and
// file. Mid-upload another copy of the program saves other choices; the run
// keeps to its own.
TEST_F(FlashE2e, WizardRunTakesTheShownChoicesWhenTheSettingsCannotBeSaved) {
    StartSim(rig, {"--baud", "38400"});
    SimProcess other;
    StartOther(rig, other);
    const std::string stored = Image(rig.dir, "S1");
    const std::string typed = Image(rig.dir, "S2");
    rig.Store("COM", stored);
    rig.settings.SaveSettingValue(kSection, kComPort, "1");
    const std::string lock = rig.dir.File("flashwright.reg.lock");
    ::unlink(lock.c_str());
    ASSERT_EQ(::mkdir(lock.c_str(), 0700), 0);

    const auto w = StartWizard(rig);
    Wizard& wizard = *w;
    auto* ports = wizard.connection.Window()->findChild<QComboBox*>("cboConnection_Serial");
    ASSERT_EQ(ports->currentText().toStdString(), "COM1");
    ports->setCurrentIndex(ports->findText("COM7"));
    ClickNext(wizard.connection);
    wizard.firmware.Window()
        ->findChild<QLineEdit*>("txtFullFileName")
        ->setText(QString::fromStdString(typed));
    ClickNext(wizard.firmware);
    ClickNext(wizard.operations);

    ASSERT_EQ(::rmdir(lock.c_str()), 0);
    ASSERT_TRUE(
        rig.RunUntil([&] { return wizard.progress.Fields().nRecordsSent >= 10; }, Millis(20000)))
        << rig.sim.Stderr();
    {
        FileRegistry second(rig.dir.File("flashwright.reg"));
        Settings secondSettings(second);
        EXPECT_TRUE(secondSettings.SaveSettingValue(kSection, kComPort, "1"));
        EXPECT_TRUE(secondSettings.SaveSettingValue(kSection, kFilename, stored));
    }
    ASSERT_TRUE(rig.RunUntil([&] { return wizard.run.engine.State().nUpdateState == Finished; },
                             Millis(20000)))
        << rig.sim.Stderr();
    EXPECT_EQ(rig.sim.Wait(Millis(5000)), 0) << rig.sim.Stderr();
    EXPECT_EQ(
        WaitExit(Spawn({FW_SREC_CMP, rig.dir.File("S2.src.srec"), rig.dir.File("received.srec")})),
        0);
    EXPECT_EQ(other.Stderr(), ""); // the analyser on COM1 heard nothing
    const nlohmann::json run = rig.Runs().back();
    EXPECT_EQ(run["result"], "success");
    EXPECT_EQ(run["connection"]["port"], 7);
    EXPECT_EQ(run["firmware"]["path"], typed);
    EXPECT_EQ(rig.settings.GetSettingValue(kSection, kFilename, ""), stored);
    // Each page said once which choices it could not keep, and why.
    const std::string why =
        " could not be kept for the next start: " + rig.dir.File("flashwright.reg") +
        " is not writable: Is a directory.\n\nThis run uses what the page shows.";
    ASSERT_EQ(rig.box.shown.size(), 2u);
    EXPECT_EQ(rig.box.shown[0].text, "The connection type and COM port" + why);
    EXPECT_EQ(rig.box.shown[1].text, "The firmware file" + why);
}

// Several analysers on one bench: the stored COM7 is held by another program
// (an exclusive open and an flock, as a terminal program takes them). The
// wizard's connection page keeps COM7, marked in use, and three clicks of Next
// end at "Connect to Analyser" naming it: the analyser on COM1 hears nothing.
TEST_F(FlashE2e, PortHeldByAnotherProgramStaysChosenAndTheRunNamesIt) {
    StartSim(rig, {});
    SimProcess other;
    StartOther(rig, other);
    rig.Store("COM", Image(rig.dir, "S1"));

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(rig.sim.Device().c_str(), O_RDWR | O_NOCTTY);
        const bool held = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 && ::flock(fd, LOCK_EX) == 0;
        [[maybe_unused]] const ssize_t n = ::write(ready[1], held ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_EQ(answer, 'y');

    const auto w = StartWizard(rig);
    Wizard& wizard = *w;
    const QString shown =
        wizard.connection.Window()->findChild<QComboBox*>("cboConnection_Serial")->currentText();
    EXPECT_EQ(shown.toStdString(), "COM7 (In Use)");
    NextThroughThePages(wizard);
    rig.RunUntil([&] { return !rig.box.shown.empty(); }, Millis(10000));
    rig.RunFor(Millis(100));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);

    EXPECT_EQ(wizard.progress.Window()->findChild<QLabel*>("lblProgress_Connection")->text(),
              "FAILED");
    EXPECT_EQ(wizard.run.engine.State().nUpdateState, Idle);
    ASSERT_EQ(rig.box.shown.size(), 1u);
    EXPECT_EQ(rig.box.shown[0].text, std::string(kMsgPortBusy) + "\n\nCOM7: Port " +
                                         rig.sim.Device() + " is in use by another program");
    EXPECT_EQ(other.Stderr(), "");
    EXPECT_EQ(rig.sim.Stderr(), "");
    EXPECT_EQ(rig.Runs().back()["rows"]["Connect to Analyser"], "FAILED");
}

// --- The wizard's bench ------------------------------------------------------------

class WizardBench : public FlashE2e {
protected:
    // An analyser on COM`n` of the rig's registry, writing its image to
    // received-`n`.srec; paced at `baud` (0: as fast as the pty goes).
    void Plug(int n, std::vector<std::string> args = {}, bool exitAfterRun = true) {
        auto& sim = sims[n];
        sim = std::make_unique<SimProcess>();
        std::vector<std::string> argv{FW_ANALYSER_SIM,
                                      "--registry",
                                      rig.dir.File("flashwright.reg"),
                                      "--com",
                                      std::to_string(n),
                                      "--baud",
                                      "0",
                                      "--reboot-ms",
                                      "20",
                                      "--erase-ms",
                                      "20",
                                      "--out",
                                      rig.dir.File("received-" + std::to_string(n) + ".srec")};
        if (exitAfterRun)
            argv.push_back("--exit-after-run");
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_EQ(sim->Start(argv, rig.dir.File("sim-" + std::to_string(n))), "");
    }
    bool SameImage(int n) {
        return WaitExit(Spawn({FW_SREC_CMP, rig.dir.File("S1.src.srec"),
                               rig.dir.File("received-" + std::to_string(n) + ".srec")})) == 0;
    }
    // The wizard through its bench: the checklist answers `names`.
    BenchPage& StartBench(std::vector<std::string> names) {
        ticked.clear();
        wizard = StartWizard(rig, false, std::move(names), &ticked);
        wizard->connection.Window()->findChild<QPushButton*>("btnBench")->click();
        ClickNext(wizard->firmware);
        ClickNext(wizard->operations);
        return wizard->bench;
    }
    bool RunToIdle(Millis timeout = Millis(30000)) {
        return rig.RunUntil([&] { return wizard->bench.Done(); }, timeout);
    }
    // Each row as "NAME RESULT", the result cut at its reason.
    std::vector<std::string> Results() {
        std::vector<std::string> rows;
        for (const BenchPage::RowText& row : wizard->bench.Rows())
            rows.push_back(row.name + " " + row.result.substr(0, row.result.find(" (")));
        return rows;
    }

    std::map<int, std::unique_ptr<SimProcess>> sims;
    std::unique_ptr<Wizard> wizard;
    std::vector<std::string> ticked; // in the checklist as it came up
};

// Eight analysers: six complete byte for byte, one rejects the fifth record,
// one goes away mid-upload. Each ends alone, the rows and the records say
// which; "Flash Again" runs only the two again.
TEST_F(WizardBench, EightAtOnceEachEndsAloneAndAgainRunsOnlyTheFailed) {
    rig.Store("COM", Image(rig.dir, "S1"));
    for (int n = 1; n <= 6; ++n)
        Plug(n);
    Plug(7, {"--reject-record", "5"});
    Plug(8, {"--baud", "38400"}); // paced: still uploading when it dies
    const std::vector<std::string> names{"COM1", "COM2", "COM3", "COM4",
                                         "COM5", "COM6", "COM7", "COM8"};
    BenchPage& page = StartBench(names);
    EXPECT_EQ(rig.settings.GetSettingValue(kSection, kBench, ""), JoinBenchNames(names));
    ASSERT_TRUE(rig.RunUntil([&] { return page.Runs()->Runs().size() == 8; }, Millis(2000)));
    const fw::BenchRun& eighth = page.Runs()->Runs()[7];
    ASSERT_TRUE(rig.RunUntil([&] { return eighth.Upload().confirmed >= 10; }, Millis(20000)));
    sims[8]->Signal(SIGKILL);
    ASSERT_TRUE(RunToIdle());
    rig.RunFor(Millis(200)); // the redraw

    EXPECT_EQ(Results(),
              (std::vector<std::string>{"COM1 OK", "COM2 OK", "COM3 OK", "COM4 OK", "COM5 OK",
                                        "COM6 OK", "COM7 FAILED", "COM8 FAILED"}));
    const auto rows = page.Rows();
    EXPECT_EQ(rows[6].result, "FAILED (Failed Sx! The analyser rejected record 5.)");
    EXPECT_EQ(rows[7].result.rfind("FAILED (The connection to the analyser was lost. COM8", 0), 0u)
        << rows[7].result;
    EXPECT_EQ(rows[0].step, "Run Firmware: OK");
    EXPECT_EQ(rows[0].bar.substr(0, 7), "128/128");
    EXPECT_EQ(page.CountText(), "6 of 8 analysers OK; not OK: COM7, COM8");
    EXPECT_TRUE(rig.box.shown.empty()) << "a modal box: " << rig.box.shown.front().text;
    for (int n = 1; n <= 6; ++n)
        EXPECT_TRUE(SameImage(n)) << "COM" << n;
    const std::vector<nlohmann::json> records = rig.Runs();
    ASSERT_EQ(records.size(), 8u);
    // In the order they ended, one each, of the one batch.
    std::map<std::string, std::string> results;
    for (const auto& record : records) {
        EXPECT_EQ(record["batch"], page.Runs()->Id());
        results[record["analyser"]] = record["result"];
    }
    EXPECT_EQ(results.size(), 8u);
    EXPECT_EQ(results["COM1"], "success");
    EXPECT_EQ(results["COM7"], "failed");
    EXPECT_EQ(results["COM8"], "failed");

    // New units where the two failed; only they are flashed again.
    Plug(7);
    Plug(8);
    auto* again = page.Window()->findChild<QPushButton*>("btnAgain");
    ASSERT_TRUE(again->isEnabled());
    again->click();
    ASSERT_TRUE(RunToIdle());
    rig.RunFor(Millis(200));
    EXPECT_EQ(page.CountText(), "8 of 8 analysers OK");
    EXPECT_FALSE(again->isEnabled());
    ASSERT_EQ(rig.Runs().size(), 10u);
    std::set<std::string> flashedAgain;
    for (std::size_t i = 8; i < 10; ++i) {
        flashedAgain.insert(rig.Runs()[i]["analyser"].get<std::string>());
        EXPECT_EQ(rig.Runs()[i]["result"], "success");
    }
    EXPECT_EQ(flashedAgain, (std::set<std::string>{"COM7", "COM8"}));
    EXPECT_TRUE(SameImage(7) && SameImage(8));
}

// A refused file reaches no analyser; Previous mid-run abandons every run and
// records each; the close box does the same.
TEST_F(WizardBench, RefusedFileReachesNoneAndPreviousAbandonsEach) {
    const std::string image = Image(rig.dir, "S1");
    WriteFile(rig.dir.File("bad.sx"), "S1051000AA55EB\nR1051000AA55EB\n");
    rig.Store("COM", rig.dir.File("bad.sx"));
    for (int n = 1; n <= 3; ++n)
        Plug(n, {"--baud", "38400"});
    BenchPage& page = StartBench({"COM1", "COM2", "COM3"});
    rig.RunFor(Millis(300));
    ASSERT_EQ(rig.box.shown.size(), 1u);
    EXPECT_NE(rig.box.shown[0].text.find("line 2 is not an S-record"), std::string::npos);
    EXPECT_EQ(rig.box.shown[0].title, "Load Firmware Error");
    EXPECT_EQ(page.CountText(), kBenchRefused);
    EXPECT_TRUE(rig.Runs().empty());
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(sims[n]->Stderr(), "") << "COM" << n << " heard something";

    for (const bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "close box" : "Previous");
        rig.box.shown.clear();
        rig.Store("COM", image);
        if (closeBox) {
            for (int n = 1; n <= 3; ++n)
                Plug(n, {"--baud", "38400"});
            StartBench({"COM1", "COM2", "COM3"});
            // The choice kept as "Bench" comes back ticked at the next start.
            EXPECT_EQ(ticked, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
        } else {
            page.Window()->findChild<QPushButton*>("btnPrevious")->click();
            // Back to the firmware page, which shows the stored file again.
            wizard->operations.Window()->findChild<QPushButton*>("btnPrevious")->click();
            ClickNext(wizard->firmware);
            ClickNext(wizard->operations);
        }
        const std::size_t before = rig.Runs().size();
        ASSERT_TRUE(rig.RunUntil(
            [&] {
                const auto& runs = wizard->bench.Runs()->Runs();
                return runs.size() == 3 &&
                       std::all_of(runs.begin(), runs.end(),
                                   [](const fw::BenchRun& r) { return r.Upload().sent >= 5; });
            },
            Millis(20000)));
        if (closeBox) {
            wizard->bench.Window()->close();
            EXPECT_FALSE(wizard->AnyPageLoaded());
        } else {
            wizard->bench.Window()->findChild<QPushButton*>("btnPrevious")->click();
            EXPECT_TRUE(wizard->operations.IsLoaded());
        }
        rig.RunFor(Millis(100));
        const std::vector<nlohmann::json> records = rig.Runs();
        ASSERT_EQ(records.size(), before + 3);
        for (std::size_t i = before; i < records.size(); ++i)
            EXPECT_EQ(records[i]["result"], "abandoned") << records[i]["analyser"];
        EXPECT_TRUE(rig.box.shown.empty());
    }
}

// The station: analysers plugged in one after another are each flashed once,
// in the order they came, none twice while it stays; an unplugged unit's row
// goes; a converter is flashed by its serial number.
TEST_F(WizardBench, StationFlashesEachUnitPluggedInOnce) {
    rig.Store("COM", Image(rig.dir, "S1"));
    Plug(1, {}, false);               // there before the station looks: left alone
    BenchPage& page = StartBench({}); // a bench of none is a station
    ASSERT_TRUE(page.Window()->findChild<QCheckBox*>("chkStation")->isChecked());
    std::size_t seen = 0;
    for (int n : {12, 10, 11}) { // each seen before the next comes
        Plug(n, {}, false);
        ASSERT_TRUE(rig.RunUntil([&] { return page.Rows().size() > seen; }, Millis(10000)));
        seen = page.Rows().size();
    }
    ASSERT_TRUE(rig.RunUntil([&] { return page.StationDone() == 3; }, Millis(20000)));
    rig.RunFor(Millis(1500)); // still plugged: not again
    EXPECT_EQ(page.StationDone(), 3);
    EXPECT_EQ(Results(), (std::vector<std::string>{"COM12 OK", "COM10 OK", "COM11 OK"}));
    EXPECT_EQ(page.CountText(), "Station: 3 units done, 3 OK");
    std::vector<std::string> order;
    for (const auto& record : rig.Runs()) {
        order.push_back(record["analyser"]);
        EXPECT_EQ(record["batch"], page.Runs()->Id());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"COM12", "COM10", "COM11"}));
    EXPECT_EQ(sims[1]->Stderr(), "");
    sims[10]->Stop();
    ASSERT_TRUE(rig.RunUntil([&] { return page.Rows().size() == 2; }, Millis(3000)));
    Plug(10, {}, false); // back: flashed again
    ASSERT_TRUE(rig.RunUntil([&] { return page.StationDone() == 4; }, Millis(20000)));
    EXPECT_EQ(rig.Runs().back()["analyser"], "COM10");
    EXPECT_EQ(rig.Runs().back()["result"], "success");

    // Watching converters: one plugged in is flashed under its serial number.
    page.SetStation(true, true);
    StartSim(rig, {});
    FakeConverter(rig);
    ASSERT_TRUE(rig.RunUntil([&] { return page.StationDone() == 5; }, Millis(20000)));
    EXPECT_EQ(rig.Runs().back()["analyser"], "usb:MA0042");
    EXPECT_EQ(rig.Runs().back()["connection"]["usb_serial"], "MA0042");
    EXPECT_EQ(rig.Runs().back()["result"], "success");
}

} // namespace
} // namespace fw::e2e

int main(int argc, char** argv) {
    // The wizard's pages, offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
