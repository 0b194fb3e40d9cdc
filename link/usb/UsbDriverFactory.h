// Chooses the USB converter driver: the converter vendor's D2XX library when it
// can be loaded; on Linux, when none is installed, the kernel's own
// USB-to-serial drivers through sysfs. Elsewhere the D2XX driver is returned
// even when its library is missing: its calls then throw UsbDriverError saying
// so, which the connection page reports.
#pragma once

#include "link/usb/UsbDriver.h"

#include <memory>
#include <string>
#include <vector>

namespace fw {

// The driver for this machine.
std::unique_ptr<IUsbDriver> MakeUsbDriver();

// The same choice from these candidate libraries and (on Linux) these sysfs
// and /dev roots. A library that loads but lacks a function is not replaced
// by the kernel backend: the error names what it lacks.
std::unique_ptr<IUsbDriver> MakeUsbDriver(const std::vector<std::string>& libraries,
                                          const std::string& sysRoot = "/sys",
                                          const std::string& devRoot = "/dev");

} // namespace fw
