// The update engine of the progress page: the timer-driven sequencer that walks
// the analyser's bootloader through the chosen operations, the interpreter of
// the bootloader's replies, and the upload of the firmware records.
//
// Everything runs on the UI thread. Message boxes are modal and run an event
// loop, so a timer tick or a receive event can be delivered while one is open
// inside a tick or inside RecData. Such a tick is skipped; such a receive event
// is remembered and handled as soon as the outer handler has finished (its
// bytes wait in the serial control meanwhile). RecData is never re-entered.
#pragma once

#include "app/MessageBox.h"
#include "app/ModFlashwright.h"
#include "app/ProgressView.h"
#include "engine/FirmwareFile.h"
#include "engine/ProgressFields.h"
#include "link/LinkOperations.h"
#include "link/UsbDriver.h"
#include "settings/Settings.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace fw {

inline constexpr std::size_t kReplyBufferLimit = 1024;
// The serial control's transmit buffer; the sender waits while more is queued.
inline constexpr std::size_t kOutputBacklogLimit = 512;

inline constexpr const char* kBootloaderEntryPrompt = "Type ###[ENTER] to enter Bootloader.";
inline constexpr const char* kMsgInvalidFile = "Invalid File - please select a firmware file.";
inline constexpr const char* kTitleLoadFirmwareError = "Load Firmware Error";
inline constexpr const char* kMsgFailedSx = "Failed Sx!";

// The analyser kind a bootloader banner names: 2 when it takes binary records
// (version above 1, or 1.2 and later), 1 for earlier 1.x, 0 when the buffer
// carries no readable version. `buffer` ends with the banner line.
std::int32_t AnalyserKindFromBanner(const std::string& buffer);

// "Waiting for Reboot" and the like end in 0 to 6 dots that move with nTick.
int DotCount(std::int16_t nTick);

class UpdateEngine {
public:
    UpdateEngine(ModFlashwright& mod, ProgressFields& fields, IProgressView& view, Link& link,
                 Settings& settings, IUsbDriver& usb, IMessageBox& box);
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    // One tick of the page's timer: poll the USB link, then act on the state.
    void AFTimer1_Timer();
    // The serial control's receive event.
    void afComm1_OnComm();
    // Hands text waiting in an open converter (at most 255 bytes) to RecData.
    void CheckUSBRec();
    // Appends newly received text to the reply buffer and interprets it.
    void RecData(const std::string& sIncommingData);
    // Closes the firmware file of an interrupted upload (Previous, window closed).
    void AbandonUpload();
    // The page became active: note the full bar width, hide both bars.
    void FormActivate();

    bool FirmwareOpen() const { return file_.IsOpen(); }

private:
    class Busy;

    void RunDeferred();
    void Tick();
    void ReceiveSerial();
    void PollUsb();
    void Interpret(const std::string& incoming);

    // Sequencer steps.
    void Start();
    void StartUpload();
    void UploadTick();
    void ConfirmAndRun();
    void Failed();
    void Skip(StatusLabel label, std::int32_t next);
    void Ok(StatusLabel label);
    std::string Dots(const std::string& text) const;
    void FailUpload(const std::string& message);
    void CloseFirmware();
    void DrawBar(ProgressBar bar);

    // Reply interpreter steps.
    void BannerStep();
    void EntryStep();
    void EraseStep(StatusLabel label, const char* word, std::int32_t next);
    void VerdictStep();

    ModFlashwright& mod_;
    ProgressFields& f_;
    IProgressView& view_;
    Link& link_;
    Settings& settings_;
    IUsbDriver& usb_;
    IMessageBox& box_;

    FirmwareFile file_;
    std::int64_t lineNumber_ = 0;

    bool busy_ = false;
    // Work that arrived while a handler was busy: a serial receive event
    // (nullopt; its bytes are still in the control) or text handed to RecData.
    std::deque<std::optional<std::string>> deferred_;
};

} // namespace fw
