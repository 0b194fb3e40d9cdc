// The analyser's bootloader protocol as the program speaks it, in one table:
// every command it sends, every reply it recognises and the form its records
// take. The engine reads the protocol only from here, so another analyser
// model would be one more table.
#pragma once

#include "engine/ProgressView.h"
#include "engine/RunConfig.h"
#include "engine/RunState.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fw {

// The erase steps differ only in data: the state that decides, the flag, the
// row, the command, the echo that ends it and the state after it.
struct EraseStep {
    UpdateState decide;
    UpdateState erasing;
    UpdateState next;
    VbBool Operations::*flag;
    StatusLabel label;
    std::string_view command;
    std::string_view echo;
};

struct ProtocolWords {
    // Restarting the analyser into its bootloader.
    std::string_view resetCommand;             // sent first
    std::array<std::uint8_t, 13> resetRequest; // then these bytes
    std::string_view restartPoll;              // on every tick of the wait
    std::string_view entryPrompt;              // the restarted analyser's offer
    std::string_view enterBootloader;          // the answer to it
    std::string_view checksumFail;             // its application was bad: the banner follows
    // The banner: "... V<major>.<minor> Bootloader" CR LF.
    std::string_view bannerEnd;
    char versionMark;
    char versionDot;
    std::string_view versionEnd;
    std::array<EraseStep, 3> erase;
    // The verdict on each record: a fixed-length window starting with its mark.
    std::string_view verdictStart;
    std::size_t verdictLength;
    std::string_view pass;
    std::string_view fail;
    std::string_view runCommand;
    // The analyser kind that takes records in binary form ("F", the type
    // digit, the bytes, CR); the others take the text line and CR.
    std::int32_t binaryKind;
    // A USB converter built into an analyser of that kind has this mark in
    // its description, and its line runs at this speed.
    std::string_view converterMark;
    std::uint32_t converterBaud;
};

inline constexpr ProtocolWords kAnalyserProtocol{
    "RESET,???\r\n",
    {0x02, 0x00, 0x06, 0x03, 0x06, 'R', 'e', 'a', 'l', 'l', 'y', '/', 0x04},
    "@",
    "Type ###[ENTER] to enter Bootloader.",
    "###\r\n",
    "Checksum Fail",
    "Bootloader\r\n",
    'V',
    '.',
    "Boot",
    {{
        {UpdateState::EraseFlash, UpdateState::ErasingFlash, UpdateState::EraseEeprom,
         &Operations::bOpEraseFlash, StatusLabel::Erase, "ERASEALL\r\n", "ERASEALL"},
        {UpdateState::EraseEeprom, UpdateState::ErasingEeprom, UpdateState::EraseRam,
         &Operations::bOpEraseEEPROM, StatusLabel::EraseEEPROM, "ERASEEEPROM\r\n", "ERASEEEPROM"},
        {UpdateState::EraseRam, UpdateState::ErasingRam, UpdateState::UploadStart,
         &Operations::bOpEraseRAM, StatusLabel::EraseRAM, "ERASERAM\r\n", "ERASERAM"},
    }},
    "Sx ",
    8,
    "Sx Pass ",
    "Sx Fail ",
    "RUNANYWAY\r\n",
    2,
    "Merlane",
    125000,
};

} // namespace fw
