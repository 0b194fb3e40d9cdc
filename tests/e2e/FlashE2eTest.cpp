// Whole runs of the update engine against the analyser simulator on a
// pseudo-terminal: the real serial port (or converter driver), link, settings
// file and engine, driven by a Qt timer as the progress page drives them.
#include "app/Wizard.h"
#include "link/net/QtNetPort.h"
#include "link/serial/QtSerialPort.h"
#include "pages/BenchNames.h"
#include "tests/e2e/E2eRig.h"
#include "tests/link_devices/DeviceFixtures.h"
#include "tests/support/Ser2net.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include <csignal>
#include <ctime>
#include <set>
#include <unistd.h>

namespace fw::e2e {
namespace {

constexpr int kRecords = 128; // 4 KiB in 32-byte records
const std::vector<std::int32_t> kFullWalk{1, 2, 3, 4, 5, 6, 7, 9, 11, 12, 13, 14, 15};

// A firmware file <kind>.sx in `dir`, a copy of <kind>.src.srec that srec_cat
// made (and srec_cmp compares the analyser's image with): "S1" or "S2".
std::string Image(const TempDir& dir, const std::string& kind) {
    const bool s2 = kind.back() == '2';
    const std::string source = dir.File(kind + ".src.srec");
    if (!MakeImage(FW_SREC_CAT, source, s2 ? 0x3F000 : 0x1000, 0x1000, s2 ? 3 : 2))
        throw std::runtime_error("srec_cat failed");
    WriteFile(dir.File(kind + ".sx"), ReadFile(source));
    return dir.File(kind + ".sx");
}

// A USB converter whose terminal is the simulator's pty, found through a fake
// sysfs tree laid out as the kernel lays out a usb-serial port.
void FakeConverter(Rig& rig) {
    test::AddSysfsConverter(rig.dir.File("sys"), "ttyUSB0", "1-1", 0, "Merlane Analyser", "MA0042");
    test::Link(rig.sim.Device(), rig.dir.File("dev/ttyUSB0"));
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

        // On record. (What else the record says of a run, and the digest of
        // the file: RunOutcomeTest.SuccessfulRunIsRecordedWithWhatWentWhere,
        // UploadTest.FileChangedAfterTheCheckChangesNothingSent, and the digest
        // against sha256sum's: CliE2e.ListCheckHelpAndVersion.)
        EXPECT_EQ(r.Runs().back()["result"], "success");
        EXPECT_EQ(r.Runs().back()["records_passed"], kRecords - withheld);
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

    Rig rig;
};

// --- Runs that complete: every image in both record forms, an awkward line ---
// (Records in lower case or ended by a lone CR: UploadTest.TextRecordsGoOutAsTheyStand,
// BinaryForm.OddLengthsAndDigitsThatAreNotHex, and the simulator's own test.)

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
    {"NoiseChecksumFailSplitBanner", "S2", {"--garbage", "--checksum-fail", "--split-banner"}},
    {"TwoAcksWithheld", "S1", {"--withhold-last", "2"}},
    // The analyser's serial interface re-enumerates while it restarts: the
    // wait for the restart goes on, on the device that comes back.
    {"DeviceGoneDuringTheRestart", "S1", {"--vanish-ms", "300", "--reboot-ms", "500"}},
};
INSTANTIATE_TEST_SUITE_P(E2e, FlashRuns, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Runs that stop -------------------------------------------------------------

// The line goes dead mid-upload (the simulator killed behind the serial port,
// the converter gone, which fails its poll, or the device server killed): the
// run ends at once with the line named, nothing more counts as sent, and the
// page does not spin. A TCP connection lost while the analyser restarts does
// not come back as a re-enumerated USB device does: the run fails there.
TEST_F(FlashE2e, LineGoneIsReportedAsALostLink) {
    const struct {
        const char* type; // "TCP": through ser2net
        const char* scheme;
        bool inRestart; // else mid-upload
    } cases[] = {{"COM", "", false},
                 {"USB", "", false},
                 {"TCP", "", false},
                 {"TCP", "rfc2217://", false},
                 {"TCP", "", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.scheme + (c.inRestart ? " in restart" : ""));
        const std::string type = c.type;
        Rig r;
        // Paced, so that the upload is still going when the line dies.
        StartSim(r, {c.inRestart ? "--reboot-ms" : "--baud", c.inRestart ? "5000" : "38400"});
        test::Ser2net server;
        std::string named = "COM7 (" + r.sim.Device() + ")";
        if (type == "USB") {
            FakeConverter(r);
            r.settings.SaveSettingValue(kSection, kUsbAnalyser, "MA00");
            named = "USB converter MA0042 (Merlane Analyser)";
        } else if (type == "TCP") {
            ASSERT_EQ(server.Start(r.dir.File("."), r.sim.Device(), *c.scheme != 0), "");
            named = std::string(c.scheme) + "127.0.0.1:" + std::to_string(server.Port());
            r.settings.SaveSettingValue(kSection, kAddress, named);
            named = "TCP " + named;
        }
        r.Store(type, Image(r.dir, "S2"));
        r.Next();
        ASSERT_TRUE(r.RunUntil(
            [&] { return c.inRestart ? r.State() == WaitReboot : r.fields.nRecordsPassed >= 10; },
            Millis(20000)));
        type == "TCP" ? server.Stop(SIGKILL) : r.sim.Signal(SIGKILL);
        // Before the analyser's 5 s restart is over.
        ASSERT_TRUE(r.RunUntil([&] { return r.State() == Failed; }, Millis(4000)));
        const std::int32_t sent = r.fields.nRecordsSent;

        const std::clock_t cpu0 = std::clock();
        const auto t0 = Clock::now();
        r.RunFor(Millis(1000));
        const double share = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC /
                             std::chrono::duration<double>(Clock::now() - t0).count();
        // A few percent when quiet; a loop that spins on the dead line takes a
        // whole core. Half of one holds under sanitizers and a busy machine.
        EXPECT_LT(share, 0.5) << "CPU share of one core after the loss";
        EXPECT_EQ(r.fields.nRecordsSent, sent);
        EXPECT_LT(sent, kRecords);
        ASSERT_EQ(r.box.shown.size(), 1u);
        EXPECT_EQ(
            r.box.shown[0].text.rfind("The connection to the analyser was lost.\n\n" + named, 0),
            0u)
            << r.box.shown[0].text; // a device server's connection adds why it ended
        EXPECT_EQ(r.box.shown[0].icon, MsgIcon::Critical);
        for (StatusLabel row :
             {StatusLabel::Connection, c.inRestart ? StatusLabel::Bootloader : StatusLabel::Upload,
              c.inRestart ? StatusLabel::Connection : StatusLabel::Verify}) {
            EXPECT_EQ(r.view.At(row).caption, "FAILED");
            EXPECT_EQ(r.view.At(row).colour, kRed);
        }
        EXPECT_EQ(r.Runs().back()["result"], "failed");
        EXPECT_EQ(r.Runs().back()["reason"], r.box.shown[0].text);
        EXPECT_EQ(r.Runs().back()["rows"]["Verify Upload"], c.inRestart ? "" : "FAILED");
        EXPECT_FALSE(r.link.IsOpen());
        if (type == "USB") {
            EXPECT_EQ(r.Runs().back()["connection"]["usb_serial"], "MA00");
        } else if (type == "COM") {
            // Previous, and a new Next on a new analyser, runs again.
            r.Previous();
            StartSim(r, {});
            r.box.shown.clear();
            r.Next();
            ExpectCompleted(r, "S2");
        }
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

// Only what the operations page ticks goes out: Run Firmware alone sends
// RUNANYWAY to an analyser already in its bootloader, which runs; with nothing
// ticked the run walks through to idle and the analyser, which logs every
// command it hears, hears none.
TEST_F(FlashE2e, OnlyTheTickedOperationsSendAnything) {
    for (const bool run : {true, false}) {
        SCOPED_TRACE(run ? "Run Firmware alone" : "nothing ticked");
        Rig r;
        StartSim(r, {"--start-in-bootloader"});
        r.Store("COM", r.dir.File("not-needed.sx"));
        r.operations.bOpBootloader = r.operations.bOpEraseFlash = r.operations.bOpUpload = kFalse;
        r.operations.bOpRun = run ? kTrue : kFalse;
        r.Next();
        r.RunToEnd();
        r.RunFor(Millis(100)); // and no step after those
        const std::vector<std::int32_t> walk{1, 5, 7, 9, 11, 14, run ? 15 : 0};
        EXPECT_EQ(r.states, walk);
        EXPECT_EQ(r.view.At(StatusLabel::Upload).caption, "SKIPPED");
        EXPECT_EQ(r.view.At(StatusLabel::RUN).caption, run ? "OK" : "SKIPPED");
        EXPECT_EQ(r.Port().sent, run ? "RUNANYWAY\r\n" : "");
        EXPECT_FALSE(r.LinkOpen());
        EXPECT_TRUE(r.box.shown.empty());
        if (run) { // the analyser heard it: it ran and wrote its (empty) image
            ASSERT_TRUE(r.sim.Wait(Millis(5000)).has_value()) << r.sim.Stderr();
            EXPECT_NE(r.sim.Stderr().find("run: 0 bytes programmed"), std::string::npos);
        } else {
            EXPECT_EQ(r.sim.Stderr(), "");
        }
    }
}

// The wizard itself (its pages, wiring and Qt controls) through a serial
// device server over RFC 2217: three clicks of Next. (Raw TCP, and what a
// device server that refuses or stays silent does, are the command line's:
// tests/cli.)
TEST_F(FlashE2e, WizardFlashesThroughADeviceServer) {
    StartSim(rig, {});
    test::Ser2net server;
    ASSERT_EQ(server.Start(rig.dir.File("."), rig.sim.Device(), true), "");
    rig.Store("TCP", Image(rig.dir, "S2"));
    rig.settings.SaveSettingValue(kSection, kAddress,
                                  "rfc2217://127.0.0.1:" + std::to_string(server.Port()));
    const auto wizard = StartWizard(rig, true);
    ClickNext(wizard->connection);
    ClickNext(wizard->firmware);
    ClickNext(wizard->operations);
    ASSERT_TRUE(rig.RunUntil([&] { return wizard->run.engine.State().nUpdateState == Finished; },
                             Millis(20000)))
        << rig.sim.Stderr();
    EXPECT_EQ(wizard->progress.Window()->findChild<QLabel*>("lblProgress_Verify")->text(), "OK");
    EXPECT_TRUE(rig.box.shown.empty());
    EXPECT_EQ(rig.sim.Wait(Millis(5000)), 0) << rig.sim.Stderr();
    EXPECT_EQ(
        WaitExit(Spawn({FW_SREC_CMP, rig.dir.File("S2.src.srec"), rig.dir.File("received.srec")})),
        0);
    EXPECT_EQ(rig.Runs().back()["result"], "success");
}

// --- The wizard's bench ------------------------------------------------------------

class WizardBench : public FlashE2e {
protected:
    // An analyser on COM`n` of the rig's registry, writing its image to
    // received-`n`.srec; paced at `baud` (0: as fast as the pty goes).
    void Plug(int n, std::vector<std::string> args = {}, bool exitAfterRun = true) {
        const std::string com = std::to_string(n);
        const std::string registry = rig.dir.File("flashwright.reg");
        const std::string out = rig.dir.File("received-" + com + ".srec");
        std::vector<std::string> argv{
            FW_ANALYSER_SIM, "--registry", registry,     "--com", com,     "--baud", "0",
            "--reboot-ms",   "20",         "--erase-ms", "20",    "--out", out};
        if (exitAfterRun)
            argv.push_back("--exit-after-run");
        argv.insert(argv.end(), args.begin(), args.end());
        sims[n] = std::make_unique<SimProcess>();
        ASSERT_EQ(sims[n]->Start(argv, rig.dir.File("sim-" + com)), "");
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
