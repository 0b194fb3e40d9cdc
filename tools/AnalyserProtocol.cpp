#include "tools/AnalyserProtocol.h"

#include "settings/Hex.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>

namespace fw::sim {

namespace {

// "RESET,???" CR LF is followed by this request; only the complete request
// restarts the analyser.
constexpr std::string_view kResetRequest{"\x02\x00\x06\x03\x06Really/\x04", 13};

// Longest text line kept: an S2 record with a count of 255 has 514 characters.
constexpr std::size_t kMaxLine = 600;

// A line or binary record left unfinished this long is stale (the sender gave
// up or reconnected) and is dropped, so it cannot swallow the next command.
constexpr auto kStaleInput = std::chrono::seconds(1);

const std::string kPass = "Sx Pass ";
const std::string kFail = "Sx Fail ";
const std::string kError = "Sx Error";

// Whether the bootloader of this version takes records in binary form: any
// major version above 1, or a minor version of 2 and more.
bool BinaryRecords(const std::string& version) {
    int major = 0;
    int minor = 0;
    const char* end = version.data() + version.size();
    const auto [dot, ec] = std::from_chars(version.data(), end, major);
    if (ec == std::errc() && dot != end && *dot == '.') {
        std::from_chars(dot + 1, end, minor);
    }
    return major > 1 || minor >= 2;
}

std::string SrecLine(char type, std::uint32_t address, int addressBytes,
                     const std::vector<std::uint8_t>& data) {
    const auto count = static_cast<std::uint32_t>(addressBytes + data.size() + 1);
    std::uint32_t sum = count;
    std::string line =
        std::string("S") + type + HexText(count, 2) + HexText(address, addressBytes * 2);
    for (int i = 0; i < addressBytes; ++i) {
        sum += (address >> (8 * i)) & 0xFF;
    }
    for (const auto b : data) {
        line += HexText(b, 2);
        sum += b;
    }
    return line + HexText(~sum & 0xFF, 2) + "\n";
}

} // namespace

const std::string AnalyserProtocol::kPrompt = "Type ###[ENTER] to enter Bootloader.";

std::string AnalyserProtocol::Banner(const std::string& version) {
    return "\r\nTarnvel Analyser V" + version + " Bootloader\r\n";
}

AnalyserProtocol::AnalyserProtocol(ProtocolOptions options, Logger log, Clock::time_point start)
    : opt_(std::move(options)), log_(std::move(log)), random_(opt_.seed),
      mode_(opt_.startInBootloader ? Mode::Bootloader : Mode::BootEntry), lastByte_(start) {
}

void AnalyserProtocol::Log(const std::string& text, bool important) const {
    if (log_) {
        log_(important, text);
    }
}

void AnalyserProtocol::Receive(std::string_view bytes, Clock::time_point now) {
    for (const char c : bytes) {
        Advance(now);
        if (mode_ == Mode::Rebooting) {
            continue; // a restarting analyser hears nothing
        }
        if (parse_ != Parse::LineStart && now - lastByte_ > kStaleInput) {
            Log("dropping unfinished input after a pause");
            ResetParser();
        }
        lastByte_ = now;
        Byte(c, now);
    }
}

std::vector<std::string> AnalyserProtocol::TakeDue(Clock::time_point now) {
    Advance(now);
    std::vector<std::string> due;
    while (!out_.empty() && out_.front().due <= now) {
        due.push_back(std::move(out_.front().bytes));
        out_.pop_front();
    }
    if (!block_.empty() && blockDue_ <= now) {
        Log("sending " + std::to_string(block_.size() / kPass.size()) + " verdicts in one write");
        due.push_back(std::move(block_));
        block_.clear();
    }
    return due;
}

std::optional<Clock::time_point> AnalyserProtocol::NextDue() const {
    std::optional<Clock::time_point> next;
    if (!out_.empty()) {
        next = out_.front().due;
    }
    if (!block_.empty() && (!next || blockDue_ < *next)) {
        next = blockDue_;
    }
    if (mode_ == Mode::Rebooting && (!next || rebootDone_ < *next)) {
        next = rebootDone_;
    }
    return next;
}

void AnalyserProtocol::Advance(Clock::time_point now) {
    if (mode_ == Mode::Rebooting && now >= rebootDone_) {
        mode_ = Mode::BootEntry;
        atsAnswered_ = 0;
        ResetParser();
        Log("restarted: waiting for \"@\" and \"###\"");
    }
}

void AnalyserProtocol::ResetParser() {
    parse_ = Parse::LineStart;
    line_.clear();
    skipLf_ = false;
    resetMatched_ = 0;
    binBody_.clear();
}

void AnalyserProtocol::Byte(char c, Clock::time_point now) {
    const auto u = static_cast<std::uint8_t>(c);
    if (skipLf_) {
        skipLf_ = false;
        if (c == '\n') {
            return;
        }
    }
    switch (parse_) {
    case Parse::LineStart:
        if (c == '@') {
            AtSign(now);
        } else if (c == 'F') {
            parse_ = Parse::BinType;
        } else if (c == '\r') {
            skipLf_ = true;
        } else if (c != '\n') {
            line_.assign(1, c);
            parse_ = Parse::Text;
        }
        return;
    case Parse::Text:
        if (c == '\r' || c == '\n') {
            // Records end with CR alone, commands with CR LF: swallow the LF.
            skipLf_ = c == '\r';
            parse_ = Parse::LineStart;
            const std::string line = std::move(line_);
            line_.clear();
            TextLine(line, now);
        } else if (line_.size() < kMaxLine) {
            line_ += c;
        } else if (line_.size() == kMaxLine) {
            Log("overlong line: " + line_.substr(0, 20) + "...");
            line_ += c; // mark as reported; the line is dropped at its end
        }
        return;
    case Parse::ResetRequest:
        if (c == kResetRequest[resetMatched_]) {
            if (++resetMatched_ == kResetRequest.size()) {
                parse_ = Parse::LineStart;
                Restart(now);
            }
            return;
        }
        Log("\"RESET,???\" without the reset request: ignored");
        ResetParser();
        Byte(c, now);
        return;
    case Parse::BinType:
        if (c == '1' || c == '2') {
            binType_ = c;
            parse_ = Parse::BinCount;
        } else {
            // Not a binary record after all: an ordinary line beginning with F.
            line_ = "F";
            parse_ = Parse::Text;
            Byte(c, now);
        }
        return;
    case Parse::BinCount:
        binCount_ = u;
        binBody_.assign(1, u);
        parse_ = binCount_ == 0 ? Parse::BinEnd : Parse::BinBody;
        return;
    case Parse::BinBody:
        binBody_.push_back(u);
        if (binBody_.size() == binCount_ + 1) {
            parse_ = Parse::BinEnd;
        }
        return;
    case Parse::BinEnd: {
        parse_ = Parse::LineStart;
        const auto body = std::move(binBody_);
        binBody_.clear();
        if (c == '\r') {
            Record(binType_, body, true, true, now);
        } else {
            Log("binary record not ended by CR");
            Record(binType_, body, false, true, now);
            Byte(c, now);
        }
        return;
    }
    }
}

void AnalyserProtocol::TextLine(const std::string& line, Clock::time_point now) {
    if (line.size() > kMaxLine) {
        return; // reported when it overflowed
    }
    if (line.size() >= 2 && (line[0] == 'S' || line[0] == 's') &&
        (line[1] == '1' || line[1] == '2')) {
        char type = 0;
        std::vector<std::uint8_t> body;
        const bool decoded = DecodeTextRecord(line, type, body);
        if (!decoded) {
            Log("record with non-hexadecimal characters or an odd length: " + line);
        }
        Record(line[1], body, decoded, false, now);
        return;
    }
    Command(line, now);
}

void AnalyserProtocol::Command(const std::string& line, Clock::time_point now) {
    if (line == "RESET,???") {
        parse_ = Parse::ResetRequest;
        resetMatched_ = 0;
        return;
    }
    if (line == "###") {
        if (mode_ == Mode::BootEntry) {
            EnterBootloader(now, "");
        } else {
            Log("\"###\" outside the entry window: ignored");
        }
        return;
    }
    const bool erase = line == "ERASEALL" || line == "ERASEEEPROM" || line == "ERASERAM";
    if ((erase || line == "RUNANYWAY") && mode_ != Mode::Bootloader) {
        Log("\"" + line + "\" outside the bootloader: ignored");
        return;
    }
    if (erase) {
        if (line == "ERASEALL") {
            image_.clear(); // flash erased: nothing programmed any more
        }
        Log(line + ": echo in " + std::to_string(opt_.eraseDelay.count()) + " ms");
        Reply(line, now + opt_.eraseDelay);
    } else if (line == "RUNANYWAY") {
        RunFirmware(now);
    } else {
        Log("ignored: \"" + line + "\"");
    }
}

void AnalyserProtocol::Record(char type, const std::vector<std::uint8_t>& body, bool wellFormed,
                              bool binary, Clock::time_point now) {
    if (mode_ != Mode::Bootloader) {
        Log("record outside the bootloader: ignored");
        return;
    }
    ++records_;
    const std::size_t addressBytes = type == '1' ? 2 : 3;
    // Count, address, checksum at least; the count covers all but itself.
    bool ok = wellFormed && body.size() >= addressBytes + 2 && body[0] + 1u == body.size();
    if (ok) {
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < body.size(); ++i) {
            sum += body[i];
        }
        ok = (~sum & 0xFFu) == body.back();
    }
    if (ok && opt_.strictForm && binary != BinaryRecords(opt_.version)) {
        Log("record in " + std::string(binary ? "binary" : "text") + " form for version " +
            opt_.version);
        ok = false;
    }
    std::string verdict = ok ? kPass : kFail;
    if (records_ == opt_.rejectRecord) {
        verdict = kFail;
    } else if (records_ == opt_.unknownVerdict) {
        verdict = kError;
    }
    std::uint32_t address = 0;
    if (body.size() > addressBytes) {
        for (std::size_t i = 1; i <= addressBytes; ++i) {
            address = (address << 8) | body[i];
        }
    }
    if (verdict == kPass) {
        for (std::size_t i = 1 + addressBytes; i + 1 < body.size(); ++i) {
            image_[address + static_cast<std::uint32_t>(i - 1 - addressBytes)] = body[i];
        }
    }
    Log("record " + std::to_string(records_) + " S" + type + (binary ? " binary" : " text") +
        " at " + HexText(address, 6) + ": " + verdict);
    const bool flood = verdict == kFail && opt_.floodAfterReject > 0;
    if (opt_.verdictsTwice) {
        verdict += verdict;
    }
    if (opt_.verdictsAtOnce.count() > 0) {
        block_ += verdict;
        blockDue_ = now + opt_.verdictsAtOnce;
        return;
    }
    heldVerdicts_.push_back(std::move(verdict));
    while (heldVerdicts_.size() > opt_.withholdLast) {
        Reply(std::move(heldVerdicts_.front()), now + opt_.verdictDelay);
        heldVerdicts_.pop_front();
    }
    if (flood) {
        // A bootloader gone wild after the rejection: a torrent of filler, as
        // fast as the line takes it, once the verdict itself has been read.
        constexpr std::size_t kChunk = 64 * 1024;
        const Clock::time_point start = now + Millis(500);
        Log("flooding " + std::to_string(opt_.floodAfterReject) + " bytes");
        for (std::size_t left = opt_.floodAfterReject; left > 0;) {
            const std::size_t n = std::min(left, kChunk);
            Queue(std::string(n, '~'), start);
            left -= n;
        }
    }
}

void AnalyserProtocol::AtSign(Clock::time_point now) {
    if (mode_ != Mode::BootEntry) {
        Log("\"@\" ignored");
        return;
    }
    if (opt_.checksumFail && atsAnswered_ == 0) {
        EnterBootloader(now, "Checksum Fail\r\n");
    } else {
        Reply(kPrompt, now);
    }
    ++atsAnswered_;
}

void AnalyserProtocol::Restart(Clock::time_point now) {
    Log("reset request: restarting in " + std::to_string(opt_.rebootDelay.count()) + " ms");
    ++resets_;
    mode_ = Mode::Rebooting;
    rebootDone_ = now + opt_.rebootDelay;
    out_.clear(); // whatever it was about to say is lost with the restart
    heldVerdicts_.clear();
    block_.clear();
}

void AnalyserProtocol::EnterBootloader(Clock::time_point now, std::string prefix) {
    mode_ = Mode::Bootloader;
    records_ = 0;
    heldVerdicts_.clear();
    const std::string banner = prefix + Banner(opt_.version);
    // Every "@" is answered with the prompt; a program that reads late has
    // asked many times, and the prompts queue up ahead of the banner.
    Log("bootloader entered, version " + opt_.version + ", after " + std::to_string(atsAnswered_) +
        " \"@\" answered");
    if (!opt_.splitBanner) {
        Reply(banner, now);
        return;
    }
    const auto cut = banner.rfind("Bootloader") + 6; // ... "Bootlo" | "ader" CR LF
    Reply(banner.substr(0, cut), now);
    Reply(banner.substr(cut), now + opt_.splitPause, true);
}

void AnalyserProtocol::RunFirmware(Clock::time_point) {
    if (!heldVerdicts_.empty()) {
        Log("run: " + std::to_string(heldVerdicts_.size()) + " acknowledgements never sent");
        heldVerdicts_.clear();
    }
    ++runs_;
    mode_ = Mode::Application;
    Log("run: " + std::to_string(image_.size()) + " bytes programmed");
    if (opt_.outPath.empty()) {
        return;
    }
    // Written beside the target and renamed, so that a reader never sees half a file.
    const std::string temp = opt_.outPath + ".part";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << FormatSrec(image_);
        file.close();
        if (!file) {
            Log("cannot write " + temp, true);
            std::remove(temp.c_str());
            return;
        }
    }
    std::error_code error;
    std::filesystem::rename(temp, opt_.outPath, error);
    if (error) {
        Log("cannot write " + opt_.outPath + ": " + error.message(), true);
        std::remove(temp.c_str());
        return;
    }
    Log("image written to " + opt_.outPath);
}

void AnalyserProtocol::Reply(std::string text, Clock::time_point due, bool continuation) {
    if (opt_.silent) {
        return;
    }
    if (opt_.garbageOnly) {
        Queue(Garbage(true), due);
    } else if (opt_.garbage && !continuation) {
        Queue(Garbage(false) + text, due);
    } else {
        Queue(std::move(text), due);
    }
}

void AnalyserProtocol::Queue(std::string bytes, Clock::time_point due) {
    // One line, one speaker: a reply never overtakes an earlier one.
    if (!out_.empty()) {
        due = std::max(due, out_.back().due);
    }
    out_.push_back({due, std::move(bytes)});
}

std::string AnalyserProtocol::Garbage(bool alone) {
    // Ahead of a reply the noise must not fake a version ("V") or a verdict
    // ("Sx "); sent alone it must not complete any recognised reply, all of
    // which contain one of "xBTEC". Bytes above 127 are fair game either way.
    const std::string_view banned = alone ? "xBTEC" : "SV";
    std::uniform_int_distribution<int> length(1, alone ? 40 : 8);
    std::uniform_int_distribution<int> byte(0x20, 0xFF);
    std::string noise;
    for (int n = length(random_); static_cast<int>(noise.size()) < n;) {
        const auto c = static_cast<char>(byte(random_));
        if (c != 0x7F && banned.find(c) == std::string_view::npos) {
            noise += c;
        }
    }
    return noise;
}

bool DecodeTextRecord(std::string_view line, char& type, std::vector<std::uint8_t>& body) {
    body.clear();
    if (line.size() < 2 || (line[0] != 'S' && line[0] != 's') ||
        (line[1] != '1' && line[1] != '2') || line.size() % 2 != 0) {
        return false;
    }
    type = line[1];
    for (std::size_t i = 2; i < line.size(); i += 2) {
        const int byte = HexByte(line[i], line[i + 1]);
        if (byte < 0) {
            body.clear();
            return false;
        }
        body.push_back(static_cast<std::uint8_t>(byte));
    }
    return true;
}

std::string FormatSrec(const Image& image) {
    const std::uint32_t top = image.empty() ? 0 : image.rbegin()->first;
    const int addressBytes = top <= 0xFFFF ? 2 : top <= 0xFFFFFF ? 3 : 4;
    const char dataType = static_cast<char>('1' + addressBytes - 2);
    const char endType = static_cast<char>('9' - (addressBytes - 2));

    const std::string header = "analyser-sim";
    std::string out = SrecLine('0', 0, 2, std::vector<std::uint8_t>(header.begin(), header.end()));
    std::vector<std::uint8_t> block;
    std::uint32_t start = 0;
    for (const auto& [address, value] : image) {
        if (!block.empty() && (address != start + block.size() || block.size() == 32)) {
            out += SrecLine(dataType, start, addressBytes, block);
            block.clear();
        }
        if (block.empty()) {
            start = address;
        }
        block.push_back(value);
    }
    if (!block.empty()) {
        out += SrecLine(dataType, start, addressBytes, block);
    }
    return out + SrecLine(endType, 0, addressBytes, {});
}

} // namespace fw::sim
