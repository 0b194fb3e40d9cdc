// The real analyser-sim program on a real pseudo-terminal: announcement,
// registration (stale entries of its own kind pruned), reset and the entry
// prompt, clean exit on SIGTERM with the registration taken back.
#include "settings/FileRegistry.h"
#include "settings/UsefulUtils.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads from `fd` until `text` holds `wanted` or `tries` waits of 20 ms have
// passed; `poke` (if given) is written before each wait.
bool ReadUntil(int fd, std::string& text, const std::string& wanted, int tries,
               const char* poke = nullptr) {
    char buffer[256];
    for (; text.find(wanted) == std::string::npos; --tries) {
        pollfd p{fd, POLLIN, 0};
        if (tries == 0 || (poke != nullptr && write(fd, poke, 1) != 1)) {
            return false;
        }
        const ssize_t n = poll(&p, 1, 20) > 0 ? read(fd, buffer, sizeof buffer) : 0;
        text.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return true;
}

const char* const kPorts = "SOFTWARE\\Tarnvel\\Flashwright\\Ports";

// The Ports entries as "COMn=device" lines, in order.
std::string Entries(const std::string& file) {
    fw::FileRegistry reg(file);
    fw::RegListValueData(reg, kPorts); // reads the file
    std::string all;
    for (const auto& key : reg.Keys()) {
        for (const auto& v : key.values) {
            all += v.name + "=" +
                   fw::RegReadString(reg, kPorts, v.name, "", fw::HKEY_LOCAL_MACHINE) + "\n";
        }
    }
    return all;
}

TEST(AnalyserSim, AnswersTheResetOnAPty) {
    const std::string registry = testing::TempDir() + "sim" + std::to_string(getpid()) + ".reg";
    // Left by simulators that were killed: a pty that is gone, and one whose
    // number has been freed (the new simulator most likely gets it back; either
    // way the entry is stale). A user's own entries stay, whatever they name.
    const int freed = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(freed, 0);
    const std::string freedPath = ptsname(freed);
    close(freed);
    {
        fw::FileRegistry reg(registry);
        for (const auto& [name, device] :
             {std::pair<const char*, std::string>{"COM5", "/dev/pts/999999"},
              {"COM6", "/dev/ttyS0"},
              {"COM7", "/dev/pts/ptmx"},
              {"COM8", "/nonexistent/tty"},
              {"COM9", freedPath}}) {
            ASSERT_TRUE(fw::RegWriteString(reg, kPorts, name, device, fw::HKEY_LOCAL_MACHINE));
        }
    }
    const std::string kept = "COM6=/dev/ttyS0\nCOM7=/dev/pts/ptmx\nCOM8=/nonexistent/tty\n";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(FW_ANALYSER_SIM, FW_ANALYSER_SIM, "--registry", registry.c_str(), "--com", "42",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    close(out[1]);

    std::string said;
    ASSERT_TRUE(ReadUntil(out[0], said, "\n", 250)) << said;
    char device[256] = {};
    ASSERT_EQ(std::sscanf(said.c_str(), "analyser-sim: device %255s port COM42\n", device), 1);
    EXPECT_EQ(said, "analyser-sim: device " + std::string(device) + " port COM42\n");
    EXPECT_EQ(Entries(registry), kept + "COM42=" + device + "\n");

    const int line = open(device, O_RDWR | O_NOCTTY);
    ASSERT_GE(line, 0) << device;
    const std::string reset =
        std::string("RESET,???\r\n") + std::string("\x02\x00\x06\x03\x06Really/\x04", 13);
    ASSERT_EQ(write(line, reset.data(), reset.size()), static_cast<ssize_t>(reset.size()));
    // Like the wizard: "@" until the restarted analyser prompts.
    std::string replies;
    EXPECT_TRUE(ReadUntil(line, replies, "Type ###[ENTER] to enter Bootloader.", 150, "@"))
        << replies;
    close(line);

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Entries(registry), kept);
    close(out[0]);
    std::filesystem::remove(registry);
}

} // namespace
