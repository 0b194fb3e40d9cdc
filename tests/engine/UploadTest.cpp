#include "tests/engine/EngineRig.h"

#include "engine/RecordForm.h"

namespace fw::test {
namespace {

TEST(BinaryForm, OddLengthsAndDigitsThatAreNotHex) {
    // Half-byte lengths round half to even; a last digit standing alone is its own byte.
    const std::pair<const char*, Bytes> odd[] = {{"s2ff", {0x46, 0x32, 0xFF, 0x0D}},
                                                 {"S1A", {0x46, 0x31, 0x0D}},
                                                 {"S1ABC", {0x46, 0x31, 0xAB, 0x0C, 0x0D}},
                                                 {"S1ABCDE", {0x46, 0x31, 0xAB, 0xCD, 0x0D}}};
    for (const auto& [line, bytes] : odd) {
        EXPECT_EQ(BinaryForm(line), bytes) << line;
    }
    for (const char* bad : {"S1G0", "S1 1", "S10x", "S1ABCDEG0", "S1ABC?", "S3001122", ""}) {
        EXPECT_FALSE(BinaryForm(bad).has_value()) << bad;
    }
}

struct UploadTest : EngineRig {
    UploadTest() { mod.bOpUpload = mod.bOpRun = kTrue; }
    // Writes the file, then runs from the upload's start until it is over.
    void Upload(const std::string& content) {
        Firmware(content);
        mod.nUpdateState = kStateUploadStart;
        for (int i = 0; i < 50 && (i == 0 || mod.nUpdateState == kStateUploading); ++i) {
            Tick();
        }
    }
    void ExpectUploadFailed(const std::string& message) {
        EXPECT_FALSE(engine.FirmwareOpen());
        ExpectLabel(StatusLabel::Upload, "FAILED", kRed);
        ExpectBox(message, MsgIcon::Critical, kTitleLoadFirmwareError);
        Tick(3); // the run stays failed, shows it on every tick and never starts the firmware
        EXPECT_EQ(mod.nUpdateState, kStateFailed);
        ExpectLabel(StatusLabel::Verify, "FAILED", kRed);
        EXPECT_EQ(Sent().find("RUNANYWAY"), std::string::npos);
    }
};

// Text records go out as they stand (the bootloader checks them); every line
// end counts, the last line needs none, and an empty file passes at once.
TEST_F(UploadTest, TextRecordsAndEmptyFilesPass) {
    for (const char* content : {"", "S0030000FC\r\ns1030000FC\rS1zz\r\n\r\nS1030000FC"}) {
        view.port.open = true;
        Upload(content);
        ExpectLabel(StatusLabel::Upload, "OK", kGreen);
        Arrive("Sx Pass ");
        Tick(2);
    }
    EXPECT_EQ(Sent(), "RUNANYWAY\r\ns1030000FC\rS1zz\rS1030000FC\rRUNANYWAY\r\n");
}

// A binary record with a digit that is not hex stops the upload instead of
// reaching the flash.
TEST_F(UploadTest, BadDigitsStopABinaryUpload) {
    mod.nAnalyserKind = 2;
    Upload("S0030000FC\r\ns1030000FC\rS1zz\r\nS1030000FC\r\n");
    EXPECT_EQ(view.port.output, (Bytes{0x46, 0x31, 0x03, 0x00, 0x00, 0xFC, 0x0D}));
    ExpectUploadFailed("Invalid record on line 3 of the firmware file.");
}

TEST_F(UploadTest, FileThatIsNotTextIsRefusedWithoutFillingMemory) {
    Upload("S1030000FC\r\n" + std::string(FirmwareFile::kMaxLine + 1, '\x01'));
    EXPECT_EQ(fields.nRecordsSent, 1);
    ExpectUploadFailed(kMsgInvalidFile);
}

// Refused before anything is sent, so the analyser is never erased with nothing
// to load; the link is closed so that a stray banner cannot restart the run.
TEST_F(UploadTest, UnreadableFileStopsTheRunBeforeAnythingIsSent) {
    mod.bOpBootloader = kTrue;
    for (const std::string& bad : {std::string(), ::testing::TempDir(), path + ".gone"}) {
        view.port.open = true;
        Set(kFilename, bad);
        mod.nUpdateState = kStateStart;
        Tick();
        EXPECT_EQ(mod.nUpdateState, kStateIdle);
        ExpectLabel(StatusLabel::Upload, "FAILED", kRed);
        ExpectBox(kMsgInvalidFile, MsgIcon::Critical, kTitleLoadFirmwareError);
        EXPECT_FALSE(view.port.open);
        engine.RecData("V1.2 Bootloader\r\n");
        Tick();
        EXPECT_TRUE(view.port.output.empty());
    }
}

TEST_F(UploadTest, FileGoneByUploadStartFailsTheUpload) {
    Firmware("S1030000FC\r\n");
    mod.nUpdateState = kStateStart;
    Tick(4);
    std::remove(path.c_str());
    ASSERT_EQ(mod.nUpdateState, kStateUploadStart);
    Tick();
    ExpectUploadFailed(kMsgInvalidFile);
}

TEST_F(UploadTest, AbandonedUploadClosesTheFileAndReadsNoMore) {
    Firmware("S1030000FC\r\nS1030000FC\r\n");
    mod.nUpdateState = kStateUploadStart;
    Tick(2);
    engine.AbandonUpload(); // Previous, or the window closed
    EXPECT_FALSE(engine.FirmwareOpen());
    Tick(); // a tick that still finds the upload state fails it
    EXPECT_EQ(mod.nUpdateState, kStateFailed);
    EXPECT_EQ(fields.nRecordsSent, 1);
}

TEST_F(UploadTest, SenderWaitsWhileTheSerialBacklogIsFull) {
    Firmware("S1030000FC\r\n");
    mod.nUpdateState = kStateUploadStart;
    view.port.outBufferCount = 513;
    Tick(3);
    EXPECT_TRUE(view.port.output.empty());
    view.port.outBufferCount = 512;
    Tick();
    EXPECT_EQ(fields.nRecordsSent, 1);
}

TEST_F(UploadTest, SenderWaitsWhileTheConverterQueueIsFull) {
    Firmware("S1030000FC\r\nS1030000FC\r\n");
    view.port.open = false; // a converter link: the serial port stays closed
    usb.open.insert(7);
    mod.nUsbHandle = 7;
    Set(kConnectionType, "USB");
    mod.nUpdateState = kStateUploadStart;
    Tick();
    usb.txQueue = 513;
    Tick(3);
    EXPECT_EQ(fields.nRecordsSent, 0);
    usb.txQueue = 0;
    Tick();
    EXPECT_EQ(fields.nRecordsSent, 1);
    EXPECT_EQ(usb.written.size(), 11u); // "S1030000FC" CR
}

} // namespace
} // namespace fw::test
