// The converters a driver lists, read the one way the connection page, the
// command line's "list" and the converter transport all read them.
#pragma once

#include "link/usb/UsbDriver.h"

#include <string>
#include <vector>

namespace fw {

struct Converter {
    std::string description;
    std::string serial;
};

struct ConverterList {
    std::vector<Converter> converters; // in the driver's order
    std::string error; // why the driver could not be called (those listed before stay)
};

// No driver lists more; a count beyond it is a driver gone wrong.
inline constexpr std::uint32_t kMaxConverters = 1024;

// Each converter's description and serial number, as the driver gives them
// (its status codes are not looked at: a text it did not fill stays empty).
ConverterList ListConverters(IUsbDriver& usb);

} // namespace fw
