#include "tests/engine/EngineRig.h"

#include "engine/RecordForm.h"

namespace fw::test {
namespace {

TEST(RecordForm, TextAndBinaryForms) {
    const std::string example = "S1137AF00A0A0D0000000000000000000000000061";
    EXPECT_EQ(TextForm(example), example + "\r");
    Bytes expected{0x46, 0x31, 0x13, 0x7A, 0xF0, 0x0A, 0x0A, 0x0D};
    expected.insert(expected.end(), 13, 0x00);
    expected.insert(expected.end(), {0x61, 0x0D});
    EXPECT_EQ(BinaryForm(example), expected);

    EXPECT_EQ(BinaryForm("s2ff"), (Bytes{0x46, 0x32, 0xFF, 0x0D}));
    EXPECT_EQ(BinaryForm("S1"), (Bytes{0x46, 0x31, 0x0D}));
    EXPECT_EQ(BinaryForm("S1A"), (Bytes{0x46, 0x31, 0x0D}));                 // 0.5 -> 0
    EXPECT_EQ(BinaryForm("S1ABC"), (Bytes{0x46, 0x31, 0xAB, 0x0C, 0x0D}));   // 1.5 -> 2
    EXPECT_EQ(BinaryForm("S1ABCDE"), (Bytes{0x46, 0x31, 0xAB, 0xCD, 0x0D})); // 2.5 -> 2
    for (const char* bad : {"S1G0", "S1 1", "S10x", "S1ABCDEG0", "S1ABC?", "S3001122", ""}) {
        EXPECT_FALSE(BinaryForm(bad).has_value()) << bad;
    }
    EXPECT_TRUE(IsRecordLine("s1"));
    EXPECT_TRUE(IsRecordLine("S2xyz"));
    EXPECT_FALSE(IsRecordLine("S0"));
    EXPECT_FALSE(IsRecordLine("S"));
    EXPECT_FALSE(IsRecordLine(" S1"));
}

struct FirmwareFileTest : ::testing::Test, EngineRig {};

TEST_F(FirmwareFileTest, EveryLineEndCountsAndThePositionIsExact) {
    FirmwareFile file;
    ASSERT_TRUE(file.Open(Firmware("a\r\nbb\rccc\n\r\nlast")));
    EXPECT_EQ(file.Length(), 16);
    std::vector<std::pair<std::string, std::int64_t>> lines;
    std::string line;
    while (!file.AtEnd()) {
        ASSERT_EQ(file.ReadLine(line), FirmwareFile::ReadResult::Line);
        lines.emplace_back(line, file.Position());
    }
    EXPECT_EQ(lines, (std::vector<std::pair<std::string, std::int64_t>>{
                         {"a", 3}, {"bb", 6}, {"ccc", 10}, {"", 12}, {"last", 16}}));
    EXPECT_EQ(file.ReadLine(line), FirmwareFile::ReadResult::End);
}

TEST_F(FirmwareFileTest, RefusesWhatIsNoFirmwareFile) {
    EXPECT_FALSE(FirmwareFile::IsReadable(""));
    EXPECT_FALSE(FirmwareFile::IsReadable(dir.string()));
    EXPECT_FALSE(FirmwareFile::IsReadable((dir / "missing.sx").string()));
    FirmwareFile file;
    ASSERT_TRUE(file.Open(Firmware(std::string(FirmwareFile::kMaxLine + 1, 'S') + "\n")));
    std::string line;
    EXPECT_EQ(file.ReadLine(line), FirmwareFile::ReadResult::TooLong);
    EXPECT_LE(line.size(), FirmwareFile::kMaxLine);
    ASSERT_TRUE(file.Open(Firmware(""))); // an empty file is fine, and at its end
    EXPECT_TRUE(file.AtEnd());
}

struct UploadTest : ::testing::Test, EngineRig {
    UploadTest() {
        view.port.open = true;
        Flags(false, false, false, false, true, true);
        mod.nAnalyserKind = 1;
    }
    // Runs from the upload's start until the state leaves `state` (at most n ticks).
    void TickWhile(std::int32_t state, int n = 50) {
        for (int i = 0; i < n && mod.nUpdateState == state; ++i) {
            Tick();
        }
    }
    void StartUpload() {
        mod.nUpdateState = kStateUploadStart;
        Tick();
    }
    void ExpectUploadFailed(const std::string& message) {
        EXPECT_EQ(mod.nUpdateState, kStateFailed);
        EXPECT_FALSE(engine.FirmwareOpen());
        for (StatusLabel l : {StatusLabel::Upload, StatusLabel::Verify}) {
            EXPECT_EQ(Caption(l), "FAILED");
            EXPECT_EQ(Colour(l), kRed);
            EXPECT_TRUE(view.At(l).visible);
        }
        ASSERT_EQ(box.shown.size(), 1u);
        EXPECT_EQ(box.shown[0].text, message);
        EXPECT_EQ(box.shown[0].icon, MsgIcon::Critical);
        EXPECT_EQ(box.shown[0].title, "Load Firmware Error");
        view.At(StatusLabel::Verify) = {};
        view.interval = 2;
        Tick(3); // the run stays failed: nothing read, the firmware not started
        EXPECT_EQ(mod.nUpdateState, kStateFailed);
        EXPECT_EQ(Caption(StatusLabel::Verify), "FAILED"); // rewritten every tick
        EXPECT_EQ(view.interval, 10);
        EXPECT_EQ(view.port.OutputText().find("RUNANYWAY"), std::string::npos);
    }
};

TEST_F(UploadTest, EmptyFileAndFileWithoutRecordsPassAtOnce) {
    for (const char* content : {"", "S0030000FC\r\nS9030000FC\r\nS5030001FB\r\n"}) {
        view.port.open = true;
        Firmware(content);
        StartUpload();
        TickWhile(kStateUploading);
        EXPECT_EQ(mod.nUpdateState, kStateWaitAcks);
        EXPECT_EQ(Caption(StatusLabel::Upload), "OK");
        EXPECT_EQ(Colour(StatusLabel::Upload), kGreen);
        Tick(2);
        EXPECT_EQ(Caption(StatusLabel::Verify), "OK");
        EXPECT_EQ(TakeSent(), B("RUNANYWAY\r\n"));
    }
}

TEST_F(UploadTest, TextFormKeepsLowerCaseAndPassesBadDigitsOn) {
    Firmware("s1030000FC\rS1zz\r");
    StartUpload();
    TickWhile(kStateUploading);
    EXPECT_EQ(TakeSent(), B("s1030000FC\rS1zz\r"));
    EXPECT_EQ(fields.nRecordsSent, 2);
}

TEST_F(UploadTest, UnreadableFileStopsTheRunBeforeAnythingIsSent) {
    mod.bOpBootloader = kTrue;
    for (const std::string& path : {std::string(), (dir / "gone.sx").string(), dir.string()}) {
        box.shown.clear();
        view.port.open = true;
        Set(kFilename, path);
        mod.nUpdateState = kStateStart;
        Tick();
        EXPECT_EQ(mod.nUpdateState, kStateIdle);
        EXPECT_TRUE(view.port.output.empty());
        EXPECT_EQ(Caption(StatusLabel::Upload), "FAILED");
        EXPECT_EQ(Colour(StatusLabel::Upload), kRed);
        ASSERT_EQ(box.shown.size(), 1u);
        EXPECT_EQ(box.shown[0].text, kMsgInvalidFile);
        EXPECT_EQ(box.shown[0].title, "Load Firmware Error");
        EXPECT_EQ(box.shown[0].icon, MsgIcon::Critical);
        EXPECT_FALSE(view.port.open);
        // Even a banner that got in would send nothing over the closed link.
        engine.RecData("V1.2 Bootloader\r\n");
        Tick();
        EXPECT_TRUE(view.port.output.empty());
    }
}

TEST_F(UploadTest, FileGoneByUploadStartEndsTheUploadAsFailed) {
    const std::string path = Firmware("S1030000FC\r\n");
    mod.nUpdateState = kStateStart;
    Tick();
    std::filesystem::remove(path);
    Tick(3);
    ASSERT_EQ(mod.nUpdateState, kStateUploadStart);
    Tick();
    ExpectUploadFailed(kMsgInvalidFile);
    EXPECT_FALSE(view.barVisible[0] || view.barVisible[1]);
}

TEST_F(UploadTest, BinaryRecordWithNonHexDigitsIsNotSent) {
    mod.nAnalyserKind = 2;
    Firmware("S0030000FC\r\nS1030000FC\r\nS1030000G0\r\nS1030000FC\r\n");
    StartUpload();
    TickWhile(kStateUploading);
    EXPECT_EQ(TakeSent(), (Bytes{0x46, 0x31, 0x03, 0x00, 0x00, 0xFC, 0x0D}));
    ExpectUploadFailed("Invalid record on line 3 of the firmware file.");
}

TEST_F(UploadTest, FileThatIsNotTextIsRefusedWithoutFillingMemory) {
    Firmware("S1030000FC\r\n" + std::string(200000, '\x01'));
    StartUpload();
    TickWhile(kStateUploading);
    EXPECT_EQ(fields.nRecordsSent, 1);
    ExpectUploadFailed(kMsgInvalidFile);
}

TEST_F(UploadTest, FileIsClosedWhenTheRunLeavesTheUpload) {
    Firmware("S1030000FC\r\nS1030000FC\r\nS1030000FC\r\n");
    StartUpload();
    Tick();
    Arrive("Sx Fail ");
    EXPECT_TRUE(engine.FirmwareOpen()); // until the failed state's tick
    Tick();
    EXPECT_FALSE(engine.FirmwareOpen());
    EXPECT_EQ(fields.nRecordsSent, 1);

    StartUpload();
    Tick();
    EXPECT_TRUE(engine.FirmwareOpen());
    engine.AbandonUpload(); // Previous, or the window closed
    EXPECT_FALSE(engine.FirmwareOpen());
    Tick(); // a tick that still finds the upload state reads nothing and fails it
    EXPECT_EQ(mod.nUpdateState, kStateFailed);
    EXPECT_EQ(fields.nRecordsSent, 1);
}

TEST_F(UploadTest, SenderWaitsWhileTheSerialBacklogIsFull) {
    Firmware("S1030000FC\r\nS1030000FC\r\n");
    StartUpload();
    view.port.outBufferCount = 513;
    Tick(3);
    EXPECT_TRUE(view.port.output.empty());
    EXPECT_EQ(mod.nUpdateState, kStateUploading);
    view.port.outBufferCount = 512;
    Tick();
    EXPECT_EQ(fields.nRecordsSent, 1);
}

TEST_F(UploadTest, AcknowledgementsDrawTheSecondBarFromTheFilePosition) {
    Firmware("S1030000FC\r\nS1030000FC\r\n"); // 24 bytes
    StartUpload();
    Tick();
    Arrive("Sx Pass ");
    EXPECT_DOUBLE_EQ(view.barWidth[1], 12.0 / 24 * 2295);
    const int sets = view.barWidthSets[1];
    Tick(2);            // second record, then the end of the file
    Arrive("Sx Pass "); // the file is closed: the bar keeps its width
    EXPECT_EQ(view.barWidthSets[1], sets);
    EXPECT_EQ(fields.nRecordsPassed, 2);
}

} // namespace
} // namespace fw::test
