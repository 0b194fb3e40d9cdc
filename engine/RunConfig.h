// What a run connects to, loads and does: the choices the pages show (or the
// command line's options and the stored values), handed to the run when it
// starts. The run keeps to them; the settings store is only the memory of
// these choices for the next start, and the engine never reads it.
#pragma once

#include "engine/FirmwareCheck.h"
#include "platform/VbBool.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace fw {

// The network address the connection page offers until one is stored.
inline constexpr const char* kDefaultNetAddress = "192.168.0.1";

// The six operations, as the operations page's boxes show them.
struct Operations {
    VbBool bOpBootloader = kFalse;
    VbBool bOpEraseFlash = kFalse;
    VbBool bOpEraseEEPROM = kFalse;
    VbBool bOpEraseRAM = kFalse;
    VbBool bOpUpload = kFalse;
    VbBool bOpRun = kFalse;
};

// The six operations in the order they run, with their captions on the
// operations page.
struct Operation {
    const char* caption;
    VbBool Operations::*flag;
};
inline constexpr Operation kOperations[] = {
    {"Enter bootloader", &Operations::bOpBootloader},
    {"Erase Flash ROM", &Operations::bOpEraseFlash},
    {"Erase EEPROM", &Operations::bOpEraseEEPROM},
    {"Erase RAM", &Operations::bOpEraseRAM},
    {"Upload Firmware", &Operations::bOpUpload},
    {"Run Firmware", &Operations::bOpRun},
};

// Start-up: bootloader, flash erase, upload and run on; EEPROM and RAM erase
// off.
void SetOperationDefaults(Operations& operations);

// How the analyser is reached, in the order of the connection page's list.
enum class ConnectionType { Serial, Tcp, Usb };

// The code a type is stored and recorded as: "COM", "TCP", "USB".
const char* TypeCode(ConnectionType type);
// The type a stored code or an option names (exactly as stored); nullopt for
// any other text.
std::optional<ConnectionType> ParseConnectionType(std::string_view code);

struct RunConfig {
    ConnectionType type = ConnectionType::Serial;
    std::string comPort = "1"; // the COM port's number, as stored
    std::string usbSerial;     // the start of the converter's serial number
    std::string address = kDefaultNetAddress;
    std::string filename;
    Operations operations;
    // The file as a bench checked it once for all its runs, whose image every
    // run then sends; null: the run reads and checks the file itself.
    std::shared_ptr<const FirmwareCheck> checked;
};

} // namespace fw
