// Whole runs of the update engine against the analyser simulator on a
// pseudo-terminal: the real serial port (or converter driver), link, settings
// file and engine, driven by a Qt timer as the progress page drives them.
#include "tests/e2e/E2eRig.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>

namespace fw::e2e {
namespace {

namespace fs = std::filesystem;

constexpr Millis kSimExit{5000};

// Firmware files for the runs, made once per process (each test runs in a
// process of its own, so only the images a test asks for are made).
struct Firmware {
    std::string file;   // what the wizard sends
    std::string source; // the image srec_cmp compares the result with
    int records = 0;    // S1/S2 lines in the file
};

enum class Kind { S1, S2, LowerCaseS2, LoneCrS1 };

int CountRecords(const std::string& text) {
    int n = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        if (line.size() >= 2 && (line[0] == 'S' || line[0] == 's') &&
            (line[1] == '1' || line[1] == '2')) {
            ++n;
        }
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return n;
}

class Images {
public:
    static Images& Get() {
        static Images images;
        return images;
    }
    // Fails the test (fatally) when srec_cat cannot make it.
    const Firmware& Of(Kind kind) {
        auto it = made_.find(kind);
        if (it != made_.end()) {
            return it->second;
        }
        Firmware f;
        const bool s2 = kind == Kind::S2 || kind == Kind::LowerCaseS2;
        f.source = dir_.File(Name(kind) + ".src.srec");
        // 4 KiB: 128 records, a fraction of a second on an unpaced line.
        const std::string error =
            MakeImage(FW_SREC_CAT, f.source, s2 ? 0x3F000 : 0x1000, 0x1000, s2 ? 3 : 2);
        if (!error.empty()) {
            throw std::runtime_error(error);
        }
        std::string text = ReadFile(f.source);
        if (kind == Kind::LowerCaseS2) {
            std::transform(text.begin(), text.end(), text.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        } else if (kind == Kind::LoneCrS1) {
            std::replace(text.begin(), text.end(), '\n', '\r');
        }
        f.file = dir_.File(Name(kind) + ".sx");
        WriteFile(f.file, text);
        f.records = CountRecords(text);
        return made_.emplace(kind, f).first->second;
    }
    static std::string Name(Kind kind) {
        switch (kind) {
        case Kind::S1:
            return "S1";
        case Kind::S2:
            return "S2";
        case Kind::LowerCaseS2:
            return "LowerCaseS2";
        case Kind::LoneCrS1:
            return "LoneCrS1";
        }
        return "?";
    }

private:
    TempDir dir_;
    std::map<Kind, Firmware> made_;
};

// getrusage's user + system time of this process, in seconds.
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class FlashE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(FW_SREC_CAT).empty() || std::string(FW_SREC_CMP).empty()) {
            GTEST_SKIP() << "srec_cat / srec_cmp (Debian srecord) not installed";
        }
    }

    // Starts the simulator; "--out" and "--verbose" are always given.
    void StartSim(std::vector<std::string> args, Rig& r) {
        args.insert(args.end(), {"--out", Out(r), "--verbose"});
        const std::string error = r.StartSim(args);
        ASSERT_TRUE(error.empty()) << error;
    }
    void StartSim(std::vector<std::string> args) { StartSim(std::move(args), rig); }
    static std::string Out(const Rig& r) { return r.dir.File("received.srec"); }

    // Waits for a simulator started with --exit-after-run to finish writing the
    // image, then compares it with `source`.
    static void ExpectReceived(Rig& r, const std::string& source) {
        const std::optional<int> status = r.sim.Wait(kSimExit);
        ASSERT_TRUE(status.has_value()) << "the simulator did not finish: " << r.sim.Stderr();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        std::string output;
        EXPECT_EQ(RunProgram({FW_SREC_CMP, source, Out(r)}, &output), 0)
            << output << r.sim.Stderr();
    }

    static void ExpectLabel(const Rig& r, StatusLabel label, const std::string& caption,
                            std::optional<Rgb> colour = std::nullopt) {
        const auto& l = r.view.At(label);
        EXPECT_EQ(l.caption, caption) << "label " << static_cast<int>(label);
        if (colour) {
            EXPECT_EQ(l.colour, *colour) << "label " << static_cast<int>(label);
        }
    }

    // What every completed default run shows.
    static void ExpectCompleted(Rig& r, const Firmware& f) {
        EXPECT_EQ(r.State(), kStateFinished) << r.sim.Stderr();
        ExpectLabel(r, StatusLabel::Bootloader, "OK", kGreen);
        ExpectLabel(r, StatusLabel::Erase, "OK", kGreen);
        ExpectLabel(r, StatusLabel::EraseEEPROM, "SKIPPED");
        ExpectLabel(r, StatusLabel::EraseRAM, "SKIPPED");
        ExpectLabel(r, StatusLabel::Upload, "OK", kGreen);
        ExpectLabel(r, StatusLabel::Verify, "OK", kGreen);
        ExpectLabel(r, StatusLabel::RUN, "OK", kGreen);
        EXPECT_EQ(r.fields.nRecordsSent, f.records);
        EXPECT_GE(r.fields.nRecordsPassed, f.records - 2);
        EXPECT_EQ(r.fields.nRecordsOther, 0);
        EXPECT_FALSE(r.engine.FirmwareOpen());
        EXPECT_FALSE(r.view.afComm1().PortOpen()); // state 14 closed the link
        EXPECT_TRUE(r.box.shown.empty()) << r.box.shown.front().text;
    }

    Rig rig{FW_ANALYSER_SIM};
};

// --- Every image in both record forms ----------------------------------------

struct FormCase {
    Kind kind;
    const char* version; // 1.1: text records, 1.2: binary records
};

void PrintTo(const FormCase& c, std::ostream* os) {
    *os << Images::Name(c.kind) << " V" << c.version;
}

class FlashForms : public FlashE2e, public ::testing::WithParamInterface<FormCase> {};

TEST_P(FlashForms, ImageArrivesWhole) {
    const Firmware& f = Images::Get().Of(GetParam().kind);
    const std::string version = GetParam().version;
    // --strict-form: a record in the other form would be rejected.
    StartSim({"--baud", "0", "--version", version, "--strict-form", "--reboot-ms", "20",
              "--erase-ms", "20", "--exit-after-run"});
    rig.Store("COM", "7", f.file);
    rig.Next();
    ExpectLabel(rig, StatusLabel::Connection, "OK", kGreen);
    ASSERT_TRUE(rig.RunToEnd()) << "stalled in state " << rig.State() << "\n" << rig.sim.Stderr();

    ExpectCompleted(rig, f);
    EXPECT_EQ(rig.mod.nAnalyserKind, version == "1.2" ? 2 : 1);
    const std::vector<std::int32_t> walk{1, 2, 3, 4, 5, 6, 7, 9, 11, 12, 13, 14, 15};
    EXPECT_EQ(rig.states, walk);
    ExpectReceived(rig, f.source);
}

INSTANTIATE_TEST_SUITE_P(
    Images, FlashForms,
    ::testing::Values(FormCase{Kind::S1, "1.1"}, FormCase{Kind::S1, "1.2"},
                      FormCase{Kind::S2, "1.1"}, FormCase{Kind::S2, "1.2"},
                      FormCase{Kind::LowerCaseS2, "1.1"}, FormCase{Kind::LowerCaseS2, "1.2"},
                      FormCase{Kind::LoneCrS1, "1.1"}, FormCase{Kind::LoneCrS1, "1.2"}),
    [](const auto& info) {
        return Images::Name(info.param.kind) +
               (std::string(info.param.version) == "1.2" ? "_Binary" : "_Text");
    });

// --- An awkward but working analyser -----------------------------------------

TEST_F(FlashE2e, NoisyLineChecksumFailStartAndSplitBannerStillComplete) {
    const Firmware& f = Images::Get().Of(Kind::S2);
    StartSim({"--baud", "0", "--garbage", "--checksum-fail", "--split-banner", "--reboot-ms", "20",
              "--erase-ms", "20", "--exit-after-run"});
    rig.Store("COM", "7", f.file);
    rig.Next();
    ASSERT_TRUE(rig.RunToEnd()) << "stalled in state " << rig.State() << "\n" << rig.sim.Stderr();
    ExpectCompleted(rig, f);
    EXPECT_FALSE(rig.Saw(kStateEnterBootloader)); // the bootloader started on its own
    EXPECT_EQ(rig.mod.nAnalyserKind, 2);
    ExpectReceived(rig, f.source);
}

TEST_F(FlashE2e, TwoMissingAcknowledgementsPassThreeStall) {
    const Firmware& f = Images::Get().Of(Kind::S1);
    StartSim({"--baud", "0", "--withhold-last", "2", "--reboot-ms", "20", "--erase-ms", "20",
              "--exit-after-run"});
    rig.Store("COM", "7", f.file);
    rig.Next();
    ASSERT_TRUE(rig.RunToEnd()) << "stalled in state " << rig.State();
    EXPECT_EQ(rig.State(), kStateFinished);
    EXPECT_EQ(rig.fields.nRecordsPassed, f.records - 2);
    ExpectLabel(rig, StatusLabel::Verify, "OK", kGreen);

    Rig three(FW_ANALYSER_SIM);
    StartSim({"--baud", "0", "--withhold-last", "3", "--reboot-ms", "20", "--erase-ms", "20"},
             three);
    three.Store("COM", "7", f.file);
    three.Next();
    ASSERT_TRUE(three.RunUntil([&] { return three.State() == kStateWaitAcks; }, Millis(20000)));
    three.RunFor(Millis(300));
    EXPECT_EQ(three.State(), kStateWaitAcks);
    EXPECT_EQ(three.fields.nRecordsPassed, f.records - 3);
    EXPECT_TRUE(three.view.afComm1().PortOpen());
}

// An unknown verdict is reported and the upload goes on; the run still ends
// with "Verify Upload" OK although the analyser did not take that record.
TEST_F(FlashE2e, UnknownVerdictIsReportedAndTheUploadGoesOn) {
    const Firmware& f = Images::Get().Of(Kind::S1);
    StartSim({"--baud", "0", "--unknown-verdict", "3", "--reboot-ms", "20", "--erase-ms", "20"});
    rig.Store("COM", "7", f.file);
    rig.Next();
    ASSERT_TRUE(rig.RunToEnd());
    EXPECT_EQ(rig.State(), kStateFinished);
    EXPECT_EQ(rig.fields.nRecordsOther, 1);
    EXPECT_EQ(rig.fields.nRecordsSent, f.records);
    ASSERT_EQ(rig.box.shown.size(), 1u);
    EXPECT_EQ(rig.box.shown[0].text, kMsgFailedSx);
    EXPECT_EQ(rig.box.shown[0].icon, MsgIcon::Critical);
}

// --- Failures -----------------------------------------------------------------

TEST_F(FlashE2e, RejectedRecordFailsTheRunAndKeepsTheLinkOpen) {
    const Firmware& f = Images::Get().Of(Kind::S2);
    StartSim({"--baud", "0", "--reject-record", "5", "--reboot-ms", "20", "--erase-ms", "20"});
    rig.Store("COM", "7", f.file);
    rig.Next();
    ASSERT_TRUE(rig.RunToEnd());
    ASSERT_EQ(rig.State(), kStateFailed);
    // The reply interpreter set the state; the next ticks show the failure.
    const std::size_t sent = rig.view.Port().bytesOut;
    rig.RunFor(Millis(200));

    ASSERT_EQ(rig.box.shown.size(), 1u);
    EXPECT_EQ(rig.box.shown[0].text, "Failed Sx!");
    EXPECT_EQ(rig.box.shown[0].icon, MsgIcon::Critical);
    ExpectLabel(rig, StatusLabel::Verify, "FAILED", kRed);
    EXPECT_TRUE(rig.view.At(StatusLabel::Verify).visible);
    EXPECT_EQ(rig.view.At(StatusLabel::RUN).caption, "FAILED");
    EXPECT_FALSE(rig.view.barVisible[1]);
    EXPECT_FALSE(rig.engine.FirmwareOpen());
    EXPECT_TRUE(rig.view.afComm1().PortOpen());
    EXPECT_GE(rig.fields.nRecordsSent, 5);
    EXPECT_LT(rig.fields.nRecordsSent, f.records);

    // Nothing more went out once the rejection arrived.
    EXPECT_EQ(rig.view.Port().bytesOut, sent);
    EXPECT_EQ(rig.State(), kStateFailed);
}

TEST_F(FlashE2e, PreviousDuringTheUploadThenANewRunCompletes) {
    const Firmware& f = Images::Get().Of(Kind::S1);
    StartSim({"--baud", "0", "--reboot-ms", "20", "--erase-ms", "20", "--exit-after-run"});
    rig.Store("COM", "7", f.file);
    rig.Next();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.fields.nRecordsSent >= 30; }, Millis(20000)))
        << rig.State();
    ASSERT_EQ(rig.State(), kStateUploading);
    ASSERT_TRUE(rig.engine.FirmwareOpen());

    rig.Previous();
    EXPECT_EQ(rig.State(), kStateIdle);
    EXPECT_FALSE(rig.engine.FirmwareOpen());
    rig.RunFor(Millis(100));
    EXPECT_EQ(rig.State(), kStateIdle);

    rig.states.clear();
    rig.Next();
    ASSERT_TRUE(rig.RunToEnd()) << "stalled in state " << rig.State() << "\n" << rig.sim.Stderr();
    ExpectCompleted(rig, f);
    EXPECT_EQ(rig.states.front(), kStateStart);
    ExpectReceived(rig, f.source);
}

TEST_F(FlashE2e, SimulatorKilledDuringTheUploadStallsQuietly) {
    const Firmware& f = Images::Get().Of(Kind::S2);
    // Paced, so that the upload is still going when the analyser dies.
    StartSim({"--baud", "38400", "--reboot-ms", "20", "--erase-ms", "20"});
    rig.Store("COM", "7", f.file);
    rig.Next();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.fields.nRecordsPassed >= 10; }, Millis(20000)))
        << rig.State();
    rig.sim.Signal(SIGKILL);
    ASSERT_TRUE(rig.sim.Wait(Millis(2000)).has_value());

    rig.RunFor(Millis(200)); // the hang-up is noticed
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    rig.RunFor(Millis(1000));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double share = (CpuSeconds() - cpu0) / wall;
    RecordProperty("cpu_percent", std::to_string(share * 100.0));
    EXPECT_LT(share, 0.15) << "CPU share of one core while stalled";

    EXPECT_TRUE(rig.State() == kStateUploading || rig.State() == kStateWaitAcks) << rig.State();
    EXPECT_LT(rig.fields.nRecordsPassed, f.records - 2);
    EXPECT_NE(rig.view.At(StatusLabel::Verify).caption, "OK");
}

TEST_F(FlashE2e, MissingFirmwareFileSendsNothing) {
    StartSim({"--baud", "0", "--reboot-ms", "20"});
    rig.Store("COM", "7", rig.dir.File("no-such-file.sx"));
    rig.Next();
    rig.RunFor(Millis(300));

    ASSERT_EQ(rig.box.shown.size(), 1u);
    EXPECT_EQ(rig.box.shown[0].text, "Invalid File - please select a firmware file.");
    EXPECT_EQ(rig.box.shown[0].title, "Load Firmware Error");
    EXPECT_EQ(rig.box.shown[0].icon, MsgIcon::Critical);
    EXPECT_EQ(rig.State(), kStateIdle);
    ExpectLabel(rig, StatusLabel::Upload, "FAILED", kRed);
    EXPECT_EQ(rig.view.Port().bytesOut, 0u);
    EXPECT_EQ(rig.sim.Stderr(), ""); // --verbose logs every command it hears
}

// --- Operations off, the TCP type, the converter --------------------------------

TEST_F(FlashE2e, EveryOperationOffWalksToIdleAndSkipsAll) {
    StartSim({"--baud", "0"});
    rig.Store("COM", "7", Images::Get().Of(Kind::S1).file);
    rig.mod.bOpBootloader = rig.mod.bOpEraseFlash = rig.mod.bOpUpload = rig.mod.bOpRun = kFalse;
    rig.Next();
    ASSERT_TRUE(rig.RunToEnd());
    EXPECT_EQ(rig.states, (std::vector<std::int32_t>{1, 5, 7, 9, 11, 14, 0}));
    for (StatusLabel label : {StatusLabel::Bootloader, StatusLabel::Erase, StatusLabel::EraseEEPROM,
                              StatusLabel::EraseRAM, StatusLabel::Upload, StatusLabel::RUN}) {
        ExpectLabel(rig, label, "SKIPPED");
    }
    ExpectLabel(rig, StatusLabel::Verify, "SKIPPED", kBlack);
    EXPECT_FALSE(rig.view.afComm1().PortOpen());
    EXPECT_EQ(rig.view.Port().bytesOut, 0u);
    rig.RunFor(Millis(100));
    EXPECT_EQ(rig.sim.Stderr(), "");
}

TEST_F(FlashE2e, OnlyRunFirmwareSendsRunAnyway) {
    StartSim({"--baud", "0", "--start-in-bootloader", "--exit-after-run"});
    rig.Store("COM", "7", rig.dir.File("not-needed.sx"));
    rig.mod.bOpBootloader = rig.mod.bOpEraseFlash = rig.mod.bOpUpload = kFalse;
    rig.Next();
    ASSERT_TRUE(rig.RunToEnd());
    EXPECT_EQ(rig.State(), kStateFinished);
    ExpectLabel(rig, StatusLabel::Verify, "SKIPPED", kBlack);
    ExpectLabel(rig, StatusLabel::RUN, "OK", kGreen);
    EXPECT_EQ(rig.view.Port().sent, "RUNANYWAY\r\n");
    EXPECT_FALSE(rig.view.afComm1().PortOpen());
    // The analyser heard it: it ran and wrote its (empty) image.
    ASSERT_TRUE(rig.sim.Wait(kSimExit).has_value()) << rig.sim.Stderr();
    EXPECT_NE(rig.sim.Stderr().find("run: 0 bytes programmed"), std::string::npos)
        << rig.sim.Stderr();
    EXPECT_TRUE(fs::exists(Out(rig)));
}

TEST_F(FlashE2e, TcpTypeSendsNothingAndWaitsForTheReboot) {
    StartSim({"--baud", "0"});
    rig.Store("TCP", "7", Images::Get().Of(Kind::S1).file);
    rig.Next();
    EXPECT_EQ(rig.State(), kStateStart);
    rig.RunFor(Millis(300));
    EXPECT_EQ(rig.State(), kStateWaitReboot);
    EXPECT_EQ(rig.view.At(StatusLabel::Bootloader).caption.rfind("Waiting for Reboot", 0), 0u);
    EXPECT_EQ(rig.view.At(StatusLabel::Connection).caption, "Connecting..."); // unchanged
    EXPECT_FALSE(rig.view.afComm1().PortOpen());
    EXPECT_EQ(rig.view.Port().bytesOut, 0u);
    EXPECT_EQ(rig.sim.Stderr(), "");
}

// A USB converter whose terminal is the simulator's pty, found through a fake
// sysfs tree laid out as the kernel lays out an ftdi_sio port.
void FakeConverter(const TempDir& dir, const std::string& ttyTarget) {
    const fs::path sys = dir.File("sys");
    const fs::path usbDevice = sys / "devices/pci0000:00/usb1/1-1";
    const fs::path interface = usbDevice / "1-1:1.0";
    const fs::path port = interface / "ttyUSB0";
    const fs::path classDir = port / "tty/ttyUSB0";
    fs::create_directories(sys / "bus/usb-serial");
    fs::create_directories(sys / "bus/usb/drivers/ftdi_sio");
    fs::create_directories(classDir);
    fs::create_directories(sys / "class/tty");
    fs::create_directories(dir.File("dev"));
    WriteFile((usbDevice / "product").string(), "Merlane Analyser\n");
    WriteFile((usbDevice / "serial").string(), "MA0042\n");
    WriteFile((interface / "bInterfaceNumber").string(), "00\n");
    WriteFile((classDir / "dev").string(), "188:0\n");
    fs::create_directory_symlink(sys / "bus/usb/drivers/ftdi_sio", interface / "driver");
    fs::create_directory_symlink(sys / "bus/usb-serial", port / "subsystem");
    fs::create_directory_symlink(port, classDir / "device");
    fs::create_directory_symlink(classDir, sys / "class/tty/ttyUSB0");
    fs::create_symlink(ttyTarget, dir.File("dev/ttyUSB0"));
}

TEST_F(FlashE2e, UsbConverterRunCompletesThroughThePoll) {
    const Firmware& f = Images::Get().Of(Kind::S2);
    StartSim({"--baud", "0", "--reboot-ms", "20", "--erase-ms", "20", "--exit-after-run"});
    FakeConverter(rig.dir, rig.sim.Device());
    rig.Store("USB", "7", f.file);
    rig.settings.SaveSettingValue(kSection, kUsbAnalyser, "MA00");
    rig.Next();
    ASSERT_NE(rig.mod.nUsbHandle, 0u) << rig.view.At(StatusLabel::Connection).caption;
    EXPECT_EQ(rig.view.At(StatusLabel::Connection).caption, "Connected...");
    EXPECT_EQ(rig.mod.nAnalyserKind, 2); // a Merlane converter
    ASSERT_TRUE(rig.RunToEnd()) << "stalled in state " << rig.State() << "\n" << rig.sim.Stderr();

    EXPECT_EQ(rig.State(), kStateFinished);
    ExpectLabel(rig, StatusLabel::Upload, "OK", kGreen);
    ExpectLabel(rig, StatusLabel::Verify, "OK", kGreen);
    EXPECT_EQ(rig.fields.nRecordsSent, f.records);
    EXPECT_EQ(rig.mod.nUsbHandle, 0u); // state 14 closed the converter
    EXPECT_EQ(rig.view.Port().bytesOut, 0u);
    EXPECT_TRUE(rig.box.shown.empty());
    ExpectReceived(rig, f.source);
}

} // namespace
} // namespace fw::e2e

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
