#include "link/usb/UsbDriverFactory.h"

#include "link/usb/D2xxUsbDriver.h"

#if defined(__linux__)
#include "link/usb/SysfsUsbDriver.h"
#endif

namespace fw {

std::unique_ptr<IUsbDriver> MakeUsbDriver() {
    return MakeUsbDriver(D2xxUsbDriver::DefaultLibraries());
}

std::unique_ptr<IUsbDriver> MakeUsbDriver(const std::vector<std::string>& libraries,
                                          [[maybe_unused]] const std::string& sysRoot,
                                          [[maybe_unused]] const std::string& devRoot) {
    auto d2xx = std::make_unique<D2xxUsbDriver>(libraries);
#if defined(__linux__)
    if (!d2xx->LibraryFound())
        return std::make_unique<SysfsUsbDriver>(sysRoot, devRoot);
#endif
    return d2xx;
}

} // namespace fw
