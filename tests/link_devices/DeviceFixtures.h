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
