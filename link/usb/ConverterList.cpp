#include "link/usb/ConverterList.h"

#include <algorithm>

namespace fw {

ConverterList ListConverters(IUsbDriver& usb) {
    ConverterList list;
    try {
        std::uint32_t count = 0;
        usb.FT_ListDevices(count, FT_LIST_NUMBER_ONLY);
        for (std::uint32_t i = 0; i < std::min(count, kMaxConverters); ++i) {
            FtTextBuffer description{};
            FtTextBuffer serial{};
            usb.FT_ListDevices(i, description, FT_LIST_BY_INDEX_DESCRIPTION);
            usb.FT_ListDevices(i, serial, FT_LIST_BY_INDEX_SERIAL_NUMBER);
            // A text that fills the buffer without its NUL cannot be taken apart.
            if (FtText(description).size() == description.size() ||
                FtText(serial).size() == serial.size()) {
                list.error = "device text longer than the driver's buffer";
                break;
            }
            list.converters.push_back(
                {std::string(FtText(description)), std::string(FtText(serial))});
        }
    } catch (const UsbDriverError& e) {
        list.error = e.what();
    }
    return list;
}

} // namespace fw
