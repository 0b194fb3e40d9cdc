// Helpers for the device tests: a scratch directory for fake /dev and /sys
// trees, and a pseudo-terminal whose slave stands in for a serial device.
// (No <termios.h> here: the USB driver test uses the kernel's termios2.)
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace fw::test {

namespace fs = std::filesystem;

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "fw-link-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    std::string operator/(const std::string& sub) const { return (path_ / sub).string(); }

    // Writes `text` into `sub`, creating parent folders.
    void Write(const std::string& sub, const std::string& text) const {
        fs::create_directories((path_ / sub).parent_path());
        std::ofstream(path_ / sub) << text;
    }
    void Link(const std::string& target, const std::string& sub) const {
        fs::create_directories((path_ / sub).parent_path());
        fs::create_symlink(target, path_ / sub);
    }

private:
    fs::path path_;
};

// A pseudo-terminal: the test talks through the master, the code under test
// opens the slave by its path.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        slave_ = ::ptsname(master_);
        // Keep one slave descriptor open so that the pty does not hang up
        // between the code's opens and closes.
        keep_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        CloseMaster();
        if (keep_ >= 0)
            ::close(keep_);
    }
    int master() const { return master_; }
    const std::string& slave() const { return slave_; }
    // Hangs the slave up, as an unplugged converter would be.
    void CloseMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }
    void Send(const std::vector<unsigned char>& bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `count` bytes came or `ms` passed; `pump` runs between tries
    // (the Qt tests pass their event loop).
    template <typename Pump>
    std::vector<unsigned char> Receive(std::size_t count, int ms, Pump pump) const {
        std::vector<unsigned char> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pump();
            unsigned char buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
            else {
                pollfd p{master_, POLLIN, 0};
                ::poll(&p, 1, 5);
            }
        }
        return got;
    }
    std::vector<unsigned char> Receive(std::size_t count, int ms = 2000) const {
        return Receive(count, ms, [] {});
    }

private:
    int master_ = -1;
    int keep_ = -1;
    std::string slave_;
};

inline std::vector<unsigned char> AllByteValues() {
    std::vector<unsigned char> bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
    return bytes;
}

} // namespace fw::test
