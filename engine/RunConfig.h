// What a run is to connect to and load, read from the stored settings once,
// when the run connects. The pages write the settings on Next; a run never
// reads them again, so another copy of the program saving new choices cannot
// turn a live upload to another port or file.
#pragma once

#include "settings/Settings.h"

#include <string>

namespace fw {

// The network address the connection page offers until one is stored.
inline constexpr const char* kDefaultNetAddress = "192.168.0.1";

struct RunConfig {
    std::string type = "COM";  // "Connction Type": "COM", "USB" or "TCP"
    std::string comPort = "1"; // "COM Port", as stored
    std::string usbSerial;     // "USB Analyser": the start of the converter's serial number
    std::string address = kDefaultNetAddress; // "Address"
    std::string filename;                     // "Filename"
};

RunConfig ReadRunConfig(Settings& settings);

} // namespace fw
