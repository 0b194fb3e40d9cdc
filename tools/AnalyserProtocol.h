// The analyser's side of the bootloader protocol, without any I/O: bytes from
// the line go in through Receive(), the replies come out of TakeDue() once
// their time has come. Time is passed in by the caller so that the class can
// be driven byte by byte, with a synthetic clock, from tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace fw::sim {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Sparse memory image: one entry per programmed byte.
using Image = std::map<std::uint32_t, std::uint8_t>;

struct ProtocolOptions {
    std::string version = "1.2";    // reported in the banner; 1.2 and later take binary records
    Millis rebootDelay{50};         // from the reset request to the entry window
    Millis eraseDelay{100};         // from an erase command to its echo
    Millis splitPause{100};         // between the two halves of a split banner
    std::string outPath;            // where RUNANYWAY writes the image; empty: nowhere
    bool startInBootloader = false; // skip the entry window at start-up
    bool strictForm = false;        // fail records whose form does not match the version
    // Injected faults.
    bool checksumFail = false;        // "Checksum Fail" and the banner instead of the first prompt
    bool splitBanner = false;         // the banner in two writes, cut inside "Bootloader"
    unsigned rejectRecord = 0;        // answer "Sx Fail " to this record (1-based; 0: none)
    unsigned unknownVerdict = 0;      // answer "Sx Error" to this record
    unsigned withholdLast = 0;        // acknowledge each record only when this many more arrived
    bool verdictsTwice = false;       // every verdict sent twice
    Millis verdictDelay{0};           // from a record to its verdict
    Millis verdictsAtOnce{0};         // >0: every verdict held until the records pause this long
    std::size_t floodAfterReject = 0; // bytes of filler sent right after a rejection
    bool silent = false;              // answer nothing at all
    bool garbage = false;             // random bytes ahead of every reply
    bool garbageOnly = false;         // random bytes instead of every reply
    std::uint32_t seed = 1;           // for the garbage
};

class AnalyserProtocol {
public:
    enum class Mode { Application, Rebooting, BootEntry, Bootloader };

    // `log` receives diagnostics; `important` marks failures that should be
    // shown even without --verbose.
    using Logger = std::function<void(bool important, const std::string& text)>;

    explicit AnalyserProtocol(ProtocolOptions options, Logger log = {},
                              Clock::time_point start = Clock::now());

    // Bytes read from the line at time `now`.
    void Receive(std::string_view bytes, Clock::time_point now);
    // The replies due by `now`, each one write to the line, in order.
    std::vector<std::string> TakeDue(Clock::time_point now);
    // When something next becomes due (a reply or the end of a restart).
    std::optional<Clock::time_point> NextDue() const;

    Mode CurrentMode() const { return mode_; }
    const Image& ReceivedImage() const { return image_; }
    // Number of RUNANYWAY commands served so far.
    unsigned RunCount() const { return runs_; }
    // Number of reset requests heard so far.
    unsigned ResetCount() const { return resets_; }

    static std::string Banner(const std::string& version);
    static const std::string kPrompt;

private:
    enum class Parse { LineStart, Text, ResetRequest, BinType, BinCount, BinBody, BinEnd };

    void Advance(Clock::time_point now);
    void Byte(char c, Clock::time_point now);
    void ResetParser();
    void TextLine(const std::string& line, Clock::time_point now);
    void Command(const std::string& line, Clock::time_point now);
    void Record(char type, const std::vector<std::uint8_t>& body, bool wellFormed, bool binary,
                Clock::time_point now);
    void AtSign(Clock::time_point now);
    void Restart(Clock::time_point now);
    void EnterBootloader(Clock::time_point now, std::string prefix);
    void RunFirmware(Clock::time_point now);
    // `continuation`: the second half of a reply cut in two (no noise before it).
    void Reply(std::string text, Clock::time_point due, bool continuation = false);
    void Queue(std::string bytes, Clock::time_point due);
    std::string Garbage(bool anyByte);
    void Log(const std::string& text, bool important = false) const;

    ProtocolOptions opt_;
    Logger log_;
    std::mt19937 random_;

    Mode mode_;
    Clock::time_point rebootDone_{};
    int atsAnswered_ = 0; // "@" polls answered in this entry window

    Parse parse_ = Parse::LineStart;
    Clock::time_point lastByte_{};
    std::string line_;
    bool skipLf_ = false;
    std::size_t resetMatched_ = 0;
    char binType_ = 0;
    std::size_t binCount_ = 0;
    std::vector<std::uint8_t> binBody_;

    unsigned records_ = 0; // records received since the bootloader was entered
    std::deque<std::string> heldVerdicts_;
    std::string block_; // verdicts held for one write (verdictsAtOnce)
    Clock::time_point blockDue_{};
    Image image_;
    unsigned runs_ = 0;
    unsigned resets_ = 0;

    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };
    std::deque<Pending> out_;
};

// The image as Motorola S-records: an S0 header, data records of up to 32
// bytes in the narrowest address form that holds every address, and the
// matching end record.
std::string FormatSrec(const Image& image);

// Parses "S1"/"S2" (either case) text records: the type digit and the bytes
// after the type (count, address, data, checksum). False when the line is not
// pairs of hexadecimal digits.
bool DecodeTextRecord(std::string_view line, char& type, std::vector<std::uint8_t>& body);

} // namespace fw::sim
