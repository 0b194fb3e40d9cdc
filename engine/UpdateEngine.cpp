#include "engine/UpdateEngine.h"

#include "engine/RecordForm.h"
#include "engine/Rounding.h"
#include "link/SerialPort.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <vector>

namespace fw {

namespace {

constexpr std::string_view kBannerEnd = "Bootloader\r\n";
constexpr std::string_view kChecksumFail = "Checksum Fail";
constexpr std::string_view kVerdictStart = "Sx ";
constexpr std::size_t kVerdictLength = 8;

// Asks the analyser's application to restart into its bootloader.
const std::vector<std::uint8_t> kResetRequest = {0x02, 0x00, 0x06, 0x03, 0x06, 'R', 'e',
                                                 'a',  'l',  'l',  'y',  '/',  0x04};

bool EndsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() &&
           std::string_view(text).substr(text.size() - tail.size()) == tail;
}

bool IsSet(VbBool flag) {
    return flag != kFalse;
}

// A whole number written in the banner, blanks around it allowed. Values too
// large for the comparisons made with them are capped.
std::optional<std::int64_t> WholeNumber(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = std::min<std::int64_t>(value * 10 + (c - '0'), 1'000'000'000);
    }
    return value;
}

} // namespace

std::int32_t AnalyserKindFromBanner(const std::string& buffer) {
    const std::size_t v = buffer.rfind('V');
    if (v == std::string::npos) {
        return 0;
    }
    const std::size_t dot = buffer.find('.', v);
    if (dot == std::string::npos) {
        return 0;
    }
    // A version that is not made of whole numbers ("V.2", "V1.x") names no
    // kind. The banner still counts as the bootloader's answer, and records then
    // go out as text, the form every bootloader understands.
    const std::optional<std::int64_t> major =
        WholeNumber(std::string_view(buffer).substr(v + 1, dot - v - 1));
    if (!major) {
        return 0;
    }
    if (*major > 1) {
        return 2;
    }
    const std::size_t boot = buffer.find("Boot", dot);
    if (boot == std::string::npos) {
        return 0;
    }
    const std::optional<std::int64_t> minor =
        WholeNumber(std::string_view(buffer).substr(dot + 1, boot - dot - 1));
    if (!minor) {
        return 0;
    }
    return *minor >= 2 ? 2 : 1;
}

int DotCount(std::int16_t nTick) {
    return std::max(0, static_cast<int>(RoundHalfEven(nTick / 100.0)));
}

// Marks the engine busy for the duration of one handler; restores it on any exit.
class UpdateEngine::Busy {
public:
    explicit Busy(UpdateEngine& engine) : engine_(engine) { engine_.busy_ = true; }
    ~Busy() { engine_.busy_ = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    UpdateEngine& engine_;
};

UpdateEngine::UpdateEngine(ModFlashwright& mod, ProgressFields& fields, IProgressView& view,
                           Link& link, Settings& settings, IUsbDriver& usb, IMessageBox& box)
    : mod_(mod), f_(fields), view_(view), link_(link), settings_(settings), usb_(usb), box_(box) {
}

// ---------------------------------------------------------------------------
// Entry points and the re-entrancy guard

void UpdateEngine::AFTimer1_Timer() {
    if (busy_) {
        return; // a message box is open inside a handler: this tick is skipped
    }
    {
        Busy busy(*this);
        Tick();
    }
    RunDeferred();
}

void UpdateEngine::afComm1_OnComm() {
    if (busy_) {
        // One remembered event drains everything the control holds by then.
        if (deferred_.empty() || deferred_.back().has_value()) {
            deferred_.emplace_back(std::nullopt);
        }
        return;
    }
    {
        Busy busy(*this);
        ReceiveSerial();
    }
    RunDeferred();
}

void UpdateEngine::CheckUSBRec() {
    if (busy_) {
        return; // the bytes stay in the driver until the next poll
    }
    {
        Busy busy(*this);
        PollUsb();
    }
    RunDeferred();
}

void UpdateEngine::RecData(const std::string& sIncommingData) {
    if (busy_) {
        deferred_.emplace_back(sIncommingData);
        return;
    }
    {
        Busy busy(*this);
        Interpret(sIncommingData);
    }
    RunDeferred();
}

void UpdateEngine::RunDeferred() {
    while (!busy_ && !deferred_.empty()) {
        std::optional<std::string> item = std::move(deferred_.front());
        deferred_.pop_front();
        Busy busy(*this);
        if (item) {
            Interpret(*item);
        } else {
            ReceiveSerial();
        }
    }
}

void UpdateEngine::AbandonUpload() {
    CloseFirmware();
}

void UpdateEngine::FormActivate() {
    const double width = RoundHalfEven(view_.BarWidth(ProgressBar::Bar1));
    f_.nProgressWidth = static_cast<std::int16_t>(
        std::clamp(width, static_cast<double>(std::numeric_limits<std::int16_t>::min()),
                   static_cast<double>(std::numeric_limits<std::int16_t>::max())));
    view_.SetBarVisible(ProgressBar::Bar1, false);
    view_.SetBarVisible(ProgressBar::Bar2, false);
}

// ---------------------------------------------------------------------------
// Receiving

void UpdateEngine::ReceiveSerial() {
    ISerialPort& port = view_.afComm1();
    if (port.CommEvent() != kComEvReceive) {
        return;
    }
    std::string text;
    while (port.InBufferCount() > 0) {
        const std::string one = port.Input();
        if (one.empty()) {
            break; // the control said bytes were waiting but had none
        }
        text += one;
    }
    Interpret(text);
}

void UpdateEngine::PollUsb() {
    if (mod_.nUsbHandle == 0) {
        return;
    }
    std::string text;
    try {
        std::uint32_t waiting = 0;
        usb_.FT_GetQueueStatus(mod_.nUsbHandle, waiting);
        if (waiting == 0) {
            return;
        }
        std::array<std::uint8_t, kFtReadChunk> chunk{};
        const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(waiting, chunk.size()));
        std::uint32_t got = 0;
        usb_.FT_Read(mod_.nUsbHandle, chunk.data(), want, got);
        text.assign(reinterpret_cast<const char*>(chunk.data()), std::min(got, want));
    } catch (const UsbDriverError&) {
        return; // a driver that cannot be called delivers nothing
    }
    Interpret(text);
}

// ---------------------------------------------------------------------------
// Reply interpreter

void UpdateEngine::Interpret(const std::string& incoming) {
    std::string& buffer = mod_.sReplyBuffer;
    buffer += incoming;
    if (buffer.size() > kReplyBufferLimit) {
        buffer.clear(); // overlong or unrecognised text is dropped whole
    }
    switch (mod_.nUpdateState) {
    case kStateIdle:
    case kStateWaitBanner:
        BannerStep();
        break;
    case kStateWaitReboot:
        EntryStep();
        break;
    case kStateErasingFlash:
        EraseStep(StatusLabel::Erase, "ERASEALL", kStateEraseEeprom);
        break;
    case kStateErasingEeprom:
        EraseStep(StatusLabel::EraseEEPROM, "ERASEEEPROM", kStateEraseRam);
        break;
    case kStateErasingRam:
        EraseStep(StatusLabel::EraseRAM, "ERASERAM", kStateUploadStart);
        break;
    case kStateUploading:
    case kStateWaitAcks:
        VerdictStep();
        break;
    default:
        break; // kept for the next waiting state
    }
}

void UpdateEngine::BannerStep() {
    if (IsSet(mod_.bOpBootloader)) {
        view_.SetCaption(StatusLabel::Bootloader, "Waiting");
    }
    if (!EndsWith(mod_.sReplyBuffer, kBannerEnd)) {
        return;
    }
    mod_.nAnalyserKind = AnalyserKindFromBanner(mod_.sReplyBuffer);
    mod_.sReplyBuffer.clear();
    Ok(StatusLabel::Bootloader);
    mod_.nUpdateState = kStateEraseFlash;
}

void UpdateEngine::EntryStep() {
    std::string& buffer = mod_.sReplyBuffer;
    if (EndsWith(buffer, kBootloaderEntryPrompt)) {
        buffer.clear();
        mod_.nUpdateState = kStateEnterBootloader;
        return;
    }
    const std::size_t at = buffer.find(kChecksumFail);
    if (at == std::string::npos) {
        return;
    }
    // The application's image was bad, so the bootloader started on its own and
    // its banner may already follow.
    buffer.erase(0, at + kChecksumFail.size());
    mod_.nUpdateState = kStateWaitBanner;
    BannerStep();
}

void UpdateEngine::EraseStep(StatusLabel label, const char* word, std::int32_t next) {
    view_.SetCaption(label, "Erasing");
    if (!EndsWith(mod_.sReplyBuffer, word)) {
        return;
    }
    mod_.sReplyBuffer.clear();
    Ok(label);
    mod_.nUpdateState = next;
}

void UpdateEngine::VerdictStep() {
    std::string& buffer = mod_.sReplyBuffer;
    std::size_t p = buffer.find(kVerdictStart);
    std::optional<std::size_t> last;
    while (p != std::string::npos) {
        const std::string window = buffer.substr(p, kVerdictLength);
        if (window.size() == kVerdictLength) {
            if (window == "Sx Pass ") {
                DrawBar(ProgressBar::Bar2);
                ++f_.nRecordsPassed;
            } else if (window == "Sx Fail ") {
                view_.SetCaption(StatusLabel::RUN, "FAILED");
                box_.Show(kMsgFailedSx, MsgIcon::Critical, kAppTitle);
                mod_.nUpdateState = kStateFailed;
            } else {
                ++f_.nRecordsOther;
                box_.Show(kMsgFailedSx, MsgIcon::Critical, kAppTitle);
            }
        }
        last = p;
        p = buffer.find(kVerdictStart, p + kVerdictLength);
    }
    if (last) {
        // Keep only what follows the last complete verdict, or the verdict that
        // is still arriving.
        if (buffer.size() - *last >= kVerdictLength) {
            buffer.erase(0, *last + kVerdictLength);
        } else {
            buffer.erase(0, *last);
        }
    }
}

// ---------------------------------------------------------------------------
// Sequencer

void UpdateEngine::Tick() {
    PollUsb();
    const int tick = f_.nTick + 2;
    f_.nTick = static_cast<std::int16_t>(tick == 600 ? 0 : tick);

    switch (mod_.nUpdateState) {
    case kStateStart:
        Start();
        break;
    case kStateWaitReboot:
        view_.SetTimerInterval(10);
        link_.SendText("@");
        view_.SetCaption(StatusLabel::Bootloader, Dots("Waiting for Reboot"));
        break;
    case kStateEnterBootloader:
        view_.SetTimerInterval(10);
        link_.SendText("###\r\n");
        mod_.nUpdateState = kStateWaitBanner;
        break;
    case kStateEraseFlash:
        if (IsSet(mod_.bOpEraseFlash)) {
            mod_.nUpdateState = kStateErasingFlash;
            link_.SendText("ERASEALL\r\n");
        } else {
            Skip(StatusLabel::Erase, kStateEraseEeprom);
        }
        break;
    case kStateErasingFlash:
        view_.SetCaption(StatusLabel::Erase, Dots("Erasing."));
        break;
    case kStateEraseEeprom:
        if (IsSet(mod_.bOpEraseEEPROM)) {
            mod_.nUpdateState = kStateErasingEeprom;
            link_.SendText("ERASEEEPROM\r\n");
        } else {
            Skip(StatusLabel::EraseEEPROM, kStateEraseRam);
        }
        break;
    case kStateErasingEeprom:
        view_.SetCaption(StatusLabel::EraseEEPROM, Dots("Erasing."));
        break;
    case kStateEraseRam:
        if (IsSet(mod_.bOpEraseRAM)) {
            mod_.nUpdateState = kStateErasingRam;
            link_.SendText("ERASERAM\r\n");
        } else {
            Skip(StatusLabel::EraseRAM, kStateUploadStart);
        }
        break;
    case kStateErasingRam:
        view_.SetCaption(StatusLabel::EraseRAM, Dots("Erasing."));
        break;
    case kStateUploadStart:
        if (IsSet(mod_.bOpUpload)) {
            StartUpload();
        } else {
            Skip(StatusLabel::Upload, kStateConfirmRun);
        }
        break;
    case kStateUploading:
        UploadTick();
        break;
    case kStateWaitAcks:
        view_.SetTimerInterval(1);
        // Up to two records may still be unacknowledged: the bootloader answers
        // the last ones while it writes them.
        if (static_cast<std::int64_t>(f_.nRecordsPassed) >=
            static_cast<std::int64_t>(f_.nRecordsSent) - 2) {
            mod_.nUpdateState = kStateConfirmRun;
        }
        break;
    case kStateConfirmRun:
        ConfirmAndRun();
        break;
    case kStateFinished:
        Ok(StatusLabel::RUN);
        break;
    case kStateFailed:
        Failed();
        break;
    default:
        break; // idle, waiting for the banner, or no state at all
    }
}

std::string UpdateEngine::Dots(const std::string& text) const {
    return text + std::string(static_cast<std::size_t>(DotCount(f_.nTick)), '.');
}

void UpdateEngine::Skip(StatusLabel label, std::int32_t next) {
    view_.SetCaption(label, "SKIPPED");
    mod_.nUpdateState = next;
}

void UpdateEngine::Ok(StatusLabel label) {
    view_.SetCaption(label, "OK");
    view_.SetForeColor(label, kGreen);
}

void UpdateEngine::Start() {
    // Refuse an upload whose file cannot be read before anything is sent: the
    // analyser would otherwise be restarted and erased with nothing to load.
    if (IsSet(mod_.bOpUpload) &&
        !FirmwareFile::IsReadable(settings_.GetSettingValue(kSection, kFilename, ""))) {
        // The run ends here. Closing the link too means a stray banner cannot
        // restart the sequence from the idle state and erase the flash after all.
        mod_.nUpdateState = kStateIdle;
        link_.CloseLink();
        view_.SetCaption(StatusLabel::Upload, "FAILED");
        view_.SetForeColor(StatusLabel::Upload, kRed);
        view_.SetVisible(StatusLabel::Upload, true);
        box_.Show(kMsgInvalidFile, MsgIcon::Critical, kTitleLoadFirmwareError);
        return;
    }
    if (IsSet(mod_.bOpBootloader)) {
        link_.SendText("RESET,???\r\n");
        link_.SendBytes(kResetRequest);
        mod_.nUpdateState = kStateWaitReboot;
    } else {
        Skip(StatusLabel::Bootloader, kStateEraseFlash);
    }
}

void UpdateEngine::StartUpload() {
    f_.nFirmwareFile = 1; // the only file the program opens
    // Checked again here: the file may have gone, or may exist and not open,
    // since the run started.
    if (!file_.Open(settings_.GetSettingValue(kSection, kFilename, ""))) {
        FailUpload(kMsgInvalidFile);
        return;
    }
    lineNumber_ = 0;
    f_.nFileLength = static_cast<std::int32_t>(
        std::min<std::int64_t>(file_.Length(), std::numeric_limits<std::int32_t>::max()));
    view_.SetBarVisible(ProgressBar::Bar1, true);
    view_.SetBarVisible(ProgressBar::Bar2, true);
    view_.SetBarWidth(ProgressBar::Bar1, 0);
    view_.SetBarWidth(ProgressBar::Bar2, 0);
    f_.nRecordsPassed = 0;
    f_.nRecordsSent = 0;
    f_.nRecordsOther = 0;
    mod_.nUpdateState = kStateUploading;
}

void UpdateEngine::UploadTick() {
    if (!file_.IsOpen()) {
        // The upload was abandoned while the state still said uploading.
        mod_.nUpdateState = kStateFailed;
        view_.SetCaption(StatusLabel::Upload, "FAILED");
        view_.SetForeColor(StatusLabel::Upload, kRed);
        view_.SetVisible(StatusLabel::Upload, true);
        return;
    }
    // Back-pressure: while the link still holds more than the serial control's
    // transmit buffer's worth, records would only pile up in memory (or block
    // in the converter driver); wait for the line instead (nothing is read,
    // nothing is sent).
    if (link_.PendingOutput() > kOutputBacklogLimit) {
        return;
    }
    if (file_.AtEnd()) {
        CloseFirmware();
        mod_.nUpdateState = kStateWaitAcks;
        Ok(StatusLabel::Upload);
        view_.SetVisible(StatusLabel::Upload, true);
        view_.SetBarVisible(ProgressBar::Bar1, false);
        return;
    }
    DrawBar(ProgressBar::Bar1);

    std::string line;
    const FirmwareFile::ReadResult result = file_.ReadLine(line);
    ++lineNumber_;
    if (result == FirmwareFile::ReadResult::TooLong || result == FirmwareFile::ReadResult::Error) {
        FailUpload(kMsgInvalidFile); // not a text file, or unreadable
        return;
    }
    if (result == FirmwareFile::ReadResult::End || !IsRecordLine(line)) {
        view_.SetTimerInterval(1);
        return;
    }
    if (mod_.nAnalyserKind != 2) {
        // Text records go out as they stand; the bootloader checks them.
        link_.SendText(TextForm(line));
    } else {
        const std::optional<std::vector<std::uint8_t>> record = BinaryForm(line);
        if (!record) {
            FailUpload("Invalid record on line " + std::to_string(lineNumber_) +
                       " of the firmware file.");
            return;
        }
        link_.SendBytes(*record);
    }
    ++f_.nRecordsSent;
    view_.SetTimerInterval(2);
}

void UpdateEngine::FailUpload(const std::string& message) {
    CloseFirmware();
    mod_.nUpdateState = kStateFailed;
    view_.SetCaption(StatusLabel::Upload, "FAILED");
    view_.SetForeColor(StatusLabel::Upload, kRed);
    view_.SetVisible(StatusLabel::Upload, true);
    view_.SetBarVisible(ProgressBar::Bar1, false); // it covers the Upload status
    Failed();
    box_.Show(message, MsgIcon::Critical, kTitleLoadFirmwareError);
}

void UpdateEngine::ConfirmAndRun() {
    view_.SetTimerInterval(10);
    view_.SetBarVisible(ProgressBar::Bar2, false);
    if (view_.Caption(StatusLabel::Upload) == "SKIPPED") {
        view_.SetCaption(StatusLabel::Verify, "SKIPPED");
        view_.SetForeColor(StatusLabel::Verify, kBlack);
    } else {
        Ok(StatusLabel::Verify);
    }
    view_.SetVisible(StatusLabel::Verify, true);
    if (IsSet(mod_.bOpRun)) {
        mod_.nUpdateState = kStateFinished;
        link_.SendText("RUNANYWAY\r\n");
        Ok(StatusLabel::RUN);
    } else {
        view_.SetCaption(StatusLabel::RUN, "SKIPPED");
        mod_.nUpdateState = kStateIdle;
    }
    link_.CloseLink();
}

void UpdateEngine::Failed() {
    CloseFirmware(); // the upload is over; nothing more is read from the file
    view_.SetCaption(StatusLabel::Verify, "FAILED");
    view_.SetForeColor(StatusLabel::Verify, kRed);
    view_.SetVisible(StatusLabel::Verify, true);
    view_.SetBarVisible(ProgressBar::Bar2, false);
    view_.SetTimerInterval(10);
}

void UpdateEngine::CloseFirmware() {
    file_.Close();
}

void UpdateEngine::DrawBar(ProgressBar bar) {
    // No width while the file is closed or empty; the bar keeps the one it has.
    if (!file_.IsOpen() || f_.nFileLength <= 0) {
        return;
    }
    const double fraction =
        static_cast<double>(file_.Position()) / static_cast<double>(f_.nFileLength);
    view_.SetBarWidth(bar, fraction * f_.nProgressWidth);
}

} // namespace fw
