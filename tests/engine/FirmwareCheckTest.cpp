#include "engine/FirmwareCheck.h"
#include "engine/FirmwareFile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace fw::test {
namespace {

std::string WriteFile(const std::string& content) {
    static int n = 0;
    const std::string path = ::testing::TempDir() + "fw_check_" + std::to_string(::getpid()) + "_" +
                             std::to_string(++n) + ".sx";
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

FirmwareCheck Check(const std::string& content) {
    const std::string path = WriteFile(content);
    FirmwareCheck check = CheckFirmwareFile(path);
    std::remove(path.c_str());
    return check;
}

// A file with S0/S9 lines around an S1 and a lower-case S2 record, three kinds
// of line end: accepted, and described by what the upload will prove it sent.
TEST(FirmwareCheck, GoodFileIsDescribedByCountsAddressesAndDigest) {
    const FirmwareCheck check =
        Check("S0030000FC\r\nS1051000AA55EB\r\ns20801000001020304ec\rS9030000FC\n");
    ASSERT_TRUE(check.ok) << check.reason;
    const FirmwareSummary& s = check.summary;
    EXPECT_EQ(s.bytes, 60);
    EXPECT_EQ(s.records, 2);
    EXPECT_EQ(s.s1Records, 1);
    EXPECT_EQ(s.s2Records, 1);
    EXPECT_EQ(s.dataBytes, 6);
    EXPECT_EQ(s.lowAddress, 0x1000u);
    EXPECT_EQ(s.highAddress, 0x010003u);
    EXPECT_EQ(s.sha256, "6043cdfa195bd6d25b0b842c8230b915aae2da7c571dbb89040efb10ea500a9e");
}

// Every way a file can be known bad, with the line that is to blame.
TEST(FirmwareCheck, BadFilesAreRefusedNamingTheLine) {
    const std::string good = "S1051000AA55EB\r\n";
    const struct {
        std::string content;
        std::int64_t line;
        const char* reason;
    } cases[] = {
        {"", 0, "it holds no S1 or S2 record"},
        {"S0030000FC\r\nS9030000FC\r\n", 0, "it holds no S1 or S2 record"},
        {"not an S-record file at all\n", 0, "it holds no S1 or S2 record"},
        {good + "S1051000AA55EC\r\n", 2,
         "has a wrong checksum (the record says EC, its bytes give EB)"},
        {good + "S1zz\r\n", 2, "has 'z' at column 3, which is not a hexadecimal digit"},
        {good + "S1051000AA55EB \r\n", 2, "has ' ' at column 15, which is not a hexadecimal digit"},
        {good + "S1051000AA55E\r\n", 2, "has an odd number of hexadecimal digits"},
        {"S1\r\n", 1, "has no byte count"},
        {"S1061000AA55EB\r\n", 1, "gives a byte count of 6 but 5 bytes follow"},
        {"S10200FD\r\n", 1, "is too short for its address and checksum"},
        {"S2030000FC\r\n", 1, "is too short for its address and checksum"},
        {good + "S30500000000FA\r\n", 2,
         "is an S3 record (32-bit address); the analyser takes S1 and S2 records only"},
        {good + std::string(FirmwareFile::kMaxLine + 1, 'S'), 2,
         "is longer than 65536 characters; this is not an S-record file"},
    };
    for (const auto& c : cases) {
        const FirmwareCheck check = Check(c.content);
        EXPECT_FALSE(check.ok) << c.reason;
        EXPECT_EQ(check.line, c.line) << c.reason;
        EXPECT_EQ(check.reason, c.reason);
    }
    const FirmwareCheck missing = CheckFirmwareFile(::testing::TempDir() + "no/such/file.sx");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(RefusalMessage(missing), kMsgInvalidFile);
    EXPECT_EQ(RefusalMessage(Check("S1zz")),
              "The firmware file cannot be loaded: line 1 has 'z' at column 3, which is not a "
              "hexadecimal digit.\n\nNothing was sent to the analyser.");
}

} // namespace
} // namespace fw::test
