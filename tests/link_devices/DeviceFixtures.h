// A pseudo-terminal whose slave stands in for a serial device, and links for
// fake /dev and /sys trees. (No <termios.h> here: the USB driver test uses the
// kernel's termios2.)
#pragma once

#include "tests/settings/TestHelpers.h"

#include <gtest/gtest.h>

#include <numeric>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace fw::test {

using Bytes = std::vector<unsigned char>;

// Creates the folders above `link` as needed.
inline void Link(const std::string& target, const std::string& link) {
    std::filesystem::create_directories(std::filesystem::path(link).parent_path());
    std::filesystem::create_symlink(target, link);
}

// A tty below the fake sysfs root `sys`: class/tty/`tty` links to `classDir`,
// whose "device" link leads to `device` (all relative to `sys`).
inline void AddSysfsTty(const std::string& sys, const std::string& tty, const std::string& classDir,
                        const std::string& device) {
    Link(sys + "/" + device, sys + "/" + classDir + "/device");
    Link(sys + "/" + classDir, sys + "/class/tty/" + tty);
}

// A USB converter's tty as the kernel lays it out: `usbDev` names the USB
// device's folder (e.g. "1-1"), which carries product and serial, `iface` the
// interface. A cdc_acm interface (ttyACM) is the tty's device; a usb-serial
// port (ttyUSB) sits below one.
inline void AddSysfsConverter(const std::string& sys, const std::string& tty,
                              const std::string& usbDev, int iface, const std::string& product,
                              const std::string& serial) {
    const std::string device = "devices/pci0000:00/usb1/" + usbDev;
    const std::string interface = device + "/" + usbDev + ":1." + std::to_string(iface);
    WriteAll(sys + "/" + device + "/product", product + "\n");
    WriteAll(sys + "/" + device + "/serial", serial + "\n");
    WriteAll(sys + "/" + interface + "/bInterfaceNumber", "0" + std::to_string(iface) + "\n");
    const bool acm = tty.rfind("ttyACM", 0) == 0;
    const std::string port = acm ? interface : interface + "/" + tty;
    Link(sys + (acm ? "/bus/usb/drivers/cdc_acm" : "/bus/usb-serial"),
         sys + "/" + port + (acm ? "/driver" : "/subsystem"));
    AddSysfsTty(sys, tty, port + "/tty/" + tty, port);
}

// The test talks through the master; the code under test opens the slave.
struct Pty {
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            std::abort();
        slave = ::ptsname(master);
        // A slave descriptor of our own keeps the pty from hanging up between
        // the code's opens and closes.
        keep = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        ::close(master);
        ::close(keep);
    }
    // Hangs the slave up, as unplugging a converter does.
    void CloseMaster() { ::close(std::exchange(master, -1)); }
    // What arrives, up to `count` bytes; gives up after 2 s without any.
    Bytes Receive(std::size_t count) const {
        Bytes got(count);
        std::size_t have = 0;
        for (pollfd p{master, POLLIN, 0}; have != count && ::poll(&p, 1, 2000) == 1;) {
            const ssize_t n = ::read(master, got.data() + have, count - have);
            if (n <= 0)
                break;
            have += std::size_t(n);
        }
        got.resize(have);
        return got;
    }

    int master = -1, keep = -1;
    std::string slave;
};

} // namespace fw::test
