#include "engine/FirmwareCheck.h"
#include "engine/FirmwareFile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace fw::test {
namespace {

using namespace std::string_literals;

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

// Files that must pass, with the S1/S2 records the upload will send: blank
// lines, either letter case, all three line ends, a repeated record, a
// byte-order mark that the reader passes over, the count and end records.
TEST(FirmwareCheck, AcceptedFilesAndTheirRecordCounts) {
    const std::string good = "S1051000AA55EB\r\n";
    const std::pair<std::string, std::int64_t> cases[] = {
        {"\r\n\n\r" + good + "\r\n\r\n", 1},
        {"\xEF\xBB\xBF" + good + "S1030000FC\n", 2},
        {good + good + good + "S5030003F9\r\nS9030000FC\r\n", 3},
        {"s00600004844521b\rs1051000aa55eb\ns5030001fb\r\ns804000000fb", 1},
        {good + "S604000001FA\r\nS70500000000FA\r\n", 1},
    };
    for (const auto& [content, records] : cases) {
        const FirmwareCheck check = Check(content);
        EXPECT_TRUE(check.ok) << content << ": line " << check.line << " " << check.reason;
        EXPECT_EQ(check.summary.records, records) << content;
        EXPECT_EQ(check.summary.bytes, static_cast<std::int64_t>(content.size())) << content;
    }
}

// What real toolchains write (srecord's srec_cat, binutils' objcopy) passes
// with every record counted, or is refused by name when it has 32-bit
// addresses. Each writes a small image into a temporary folder.
TEST(FirmwareCheck, ToolchainOutputIsAcceptedWhole) {
    if (std::system("command -v srec_cat >/dev/null && command -v objcopy >/dev/null") != 0) {
        GTEST_SKIP() << "srec_cat (srecord) or objcopy (binutils) not installed";
    }
    const std::string out = WriteFile("");
    const std::string bin = out + ".bin";
    const std::string big = out + ".big";
    std::string bytes;
    for (int i = 0; i < 70000; ++i) {
        bytes.push_back(static_cast<char>(i * 7 % 251));
    }
    std::ofstream(bin, std::ios::binary) << bytes.substr(0, 100);
    std::ofstream(big, std::ios::binary) << bytes;
    const struct {
        std::string command; // writes OUT
        std::int64_t records;
        const char* refusal;
    } cases[] = {
        // (srec_cat's S0 S1 S5 S9 and S0 S2 S5 S8 files of 32-byte records: every
        // image the e2e tests flash.)
        {"srec_cat BIN -binary -o OUT -motorola -Output_Block_Size 7 -Execution_Start_Address 0",
         15, nullptr}, // S0 S1 S5 S9
        {"srec_cat BIG -binary -offset 0x10000 -o OUT -motorola -Output_Block_Size 1", 70000,
         nullptr}, // S6: more records than S5 can count
        {"objcopy -I binary -O srec --srec-len=32 BIN OUT", 4, nullptr}, // S0 S1 S9
        {"objcopy -I binary -O srec --change-addresses 0x12000 BIN OUT", 7, nullptr},
        {"objcopy -I binary -O srec --srec-forceS3 BIN OUT", 0,
         "line 2 is an S3 record (32-bit address); the analyser takes S1 and S2 records only"},
    };
    for (const auto& c : cases) {
        std::string command = c.command;
        command.replace(command.find("OUT"), 3, out);
        if (const std::size_t in = command.find("BIN"); in != std::string::npos) {
            command.replace(in, 3, bin);
        } else {
            command.replace(command.find("BIG"), 3, big);
        }
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const FirmwareCheck check = CheckFirmwareFile(out);
        if (c.refusal == nullptr) {
            EXPECT_TRUE(check.ok) << command << ": line " << check.line << " " << check.reason;
            EXPECT_EQ(check.summary.records, c.records) << command;
            EXPECT_EQ(check.summary.dataBytes, c.records == 70000 ? 70000 : 100) << command;
        } else {
            EXPECT_NE(RefusalMessage(check).find(c.refusal), std::string::npos)
                << command << ": " << RefusalMessage(check);
        }
    }
    for (const std::string& f : {out, bin, big}) {
        std::remove(f.c_str());
    }
}

// Every way a file can be known bad, with the line that is to blame. A line
// that is not a record is refused, never skipped: it may be a record that lost
// its "S" (or sits behind a blank), and the analyser would get a hole.
TEST(FirmwareCheck, BadFilesAreRefusedNamingTheLine) {
    const std::string good = "S1051000AA55EB\r\n";
    const struct {
        std::string content;
        std::int64_t line;
        const char* reason;
    } cases[] = {
        {"", 0, "it holds no S1 or S2 record"},
        {"S0030000FC\r\nS9030000FC\r\n", 0, "it holds no S1 or S2 record"},
        {"\xEF\xBB\xBF\r\n", 0, "it holds no S1 or S2 record"},
        {"not an S-record file at all\n", 1, "is not an S-record: it starts with 'n', not 'S'"},
        {good + "R1051000AA55EB\r\n", 2, "is not an S-record: it starts with 'R', not 'S'"},
        {good + good + "1051000AA55EB\r\n", 3, "is not an S-record: it starts with '1', not 'S'"},
        {good + " S1051000AA55EB\r\n", 2, "is not an S-record: it starts with ' ', not 'S'"},
        {good + "\tS1051000AA55EB\r\n", 2, "is not an S-record: it starts with byte 0x09, not 'S'"},
        {good + "\0S1051000AA55EB\r\n"s, 2,
         "is not an S-record: it starts with byte 0x00, not 'S'"},
        {good + "\xEF\xBB\xBF" + good, 2, "is not an S-record: it starts with byte 0xEF, not 'S'"},
        {good + "S\r\n", 2, "has no record type after the 'S'"},
        {good + "S4051000AA55EB\r\n", 2, "has '4' after the 'S', which is not an S-record type"},
        {good + "SX051000AA55EB\r\n", 2, "has 'X' after the 'S', which is not an S-record type"},
        {"S0030000FD\r\n" + good, 1,
         "has a wrong checksum (the record says FD, its bytes give FC)"},
        {good + "S5030001FC\r\n", 2,
         "has a wrong checksum (the record says FC, its bytes give FB)"},
        {good + "S9040000FC\r\n", 2, "gives a byte count of 4 but 3 bytes follow"},
        {good + "S90200FD\r\n", 2, "is too short for its address and checksum"},
        {good + "S704000000FB\r\n", 2, "is too short for its address and checksum"},
        {good + "S8030000FC\r\n", 2, "is too short for its address and checksum"},
        {good + good + "S5030001FB\r\n", 3, "counts 1 data record, but 2 come before it"},
        {good + "S60400000EED\r\n", 2, "counts 14 data records, but 1 comes before it"},
        {":100000000102030405060708090A0B0C0D0E0F1068\r\n:00000001FF\r\n", 0,
         "it looks like an Intel HEX file, not Motorola S-records"},
        {"\r\n\r\n:00000001FF\r\n", 0, "it looks like an Intel HEX file, not Motorola S-records"},
        {"\177ELF\x02\x01\x01\0\0\0\n"s + good, 0,
         "it looks like an ELF program file, not Motorola S-records"},
        {"\x13\0\x10\0"s + good, 0, "it looks like a binary file, not Motorola S-records"},
        {std::string(64, '\x9C') + "\n" + good, 0,
         "it looks like a binary file, not Motorola S-records"},
        {good + "S1051000AA55EC\r\n", 2,
         "has a wrong checksum (the record says EC, its bytes give EB)"},
        {good + "S1zz\r\n", 2, "has 'z' at column 3, which is not a hexadecimal digit"},
        {good + "S1051000AA55EB \r\n", 2, "has ' ' at column 15, which is not a hexadecimal digit"},
        {good + "S1051000AA55E\r\n", 2, "has an odd number of hexadecimal digits"},
        {"S1\r\n", 1, "has no byte count"},
        {"S1061000AA55EB\r\n", 1, "gives a byte count of 6 but 5 bytes follow"},
        {"S10200FD\r\n", 1, "is too short for its address and checksum"},
        {"S2030000FC\r\n", 1, "is too short for its address and checksum"},
        {"S1051000AA55EB00\r\n", 1, "gives a byte count of 5 but 6 bytes follow"},
        {good + "s30500000000fa\r\n", 2,
         "is an S3 record (32-bit address); the analyser takes S1 and S2 records only"},
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
