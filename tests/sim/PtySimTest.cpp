// The real analyser-sim program on a real pseudo-terminal: announcement,
// registration (stale entries of its own kind pruned), clean exit on SIGTERM
// with the registration taken back. (What it answers on its terminal: every
// e2e test's flash; its protocol: AnalyserProtocolTest.)
#include "settings/FileRegistry.h"
#include "settings/UsefulUtils.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads from `fd` until `text` holds `wanted` or `tries` waits of 20 ms have
// passed.
bool ReadUntil(int fd, std::string& text, const std::string& wanted, int tries) {
    char buffer[256];
    for (; text.find(wanted) == std::string::npos; --tries) {
        pollfd p{fd, POLLIN, 0};
        if (tries == 0) {
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

// A simulator on COM<com> of `registry`, its standard output read through a pipe.
struct Sim {
    pid_t pid = -1;
    int out = -1;
    std::string said;
    char device[256] = {};
};

Sim StartSim(const std::string& registry, const char* com) {
    Sim sim;
    int out[2];
    if (pipe(out) != 0) {
        return sim;
    }
    sim.pid = fork();
    if (sim.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(FW_ANALYSER_SIM, FW_ANALYSER_SIM, "--registry", registry.c_str(), "--com", com,
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    sim.out = out[0];
    return sim;
}

// Its announcement: "analyser-sim: device DEVICE port COM<com>".
bool Announced(Sim& sim, const char* com) {
    return ReadUntil(sim.out, sim.said, "\n", 250) &&
           std::sscanf(sim.said.c_str(), "analyser-sim: device %255s port COM", sim.device) == 1 &&
           sim.said == "analyser-sim: device " + std::string(sim.device) + " port COM" + com + "\n";
}

// Ends it with SIGTERM: whether it exited cleanly.
bool StopSim(Sim& sim) {
    kill(sim.pid, SIGTERM);
    int status = 0;
    const bool ended = waitpid(sim.pid, &status, 0) == sim.pid;
    close(sim.out);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The pseudo-terminal the process holds open (its slave side), or "" when it
// holds none yet.
std::string PtyOf(pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(fds, ec)) {
        if (std::stoi(fd.path().filename().string()) <= STDERR_FILENO) {
            continue;
        }
        const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
        if (target.starts_with("/dev/pts/") && target != "/dev/pts/ptmx") {
            return target;
        }
    }
    return {};
}

TEST(AnalyserSim, AnswersTheResetOnAPty) {
    const std::string registry = testing::TempDir() + "sim" + std::to_string(getpid()) + ".reg";
    // Left by simulators that were killed: a pty that is gone, and one whose
    // number the system has given to the new simulator. A user's own entries
    // stay, whatever they name. The second is written while the settings file
    // is locked, once the new simulator holds its pty and waits for the lock,
    // so that no other program's pty can take that number meanwhile.
    {
        fw::FileRegistry reg(registry);
        for (const auto& [name, device] :
             {std::pair<const char*, std::string>{"COM5", "/dev/pts/999999"},
              {"COM6", "/dev/ttyS0"},
              {"COM7", "/dev/pts/ptmx"},
              {"COM8", "/nonexistent/tty"}}) {
            ASSERT_TRUE(fw::RegWriteString(reg, kPorts, name, device, fw::HKEY_LOCAL_MACHINE));
        }
    }
    const int lock = open((registry + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    Sim sim = StartSim(registry, "42");
    ASSERT_GT(sim.pid, 0);
    std::string own;
    for (int tries = 0; own.empty() && tries < 400; ++tries) {
        usleep(5000);
        own = PtyOf(sim.pid);
    }
    ASSERT_NE(own, "") << "the simulator opened no pty";
    {
        // Written beside the file and moved over it: the lock is ours already.
        const std::string copy = registry + ".new";
        std::filesystem::copy_file(registry, copy);
        fw::FileRegistry reg(copy);
        ASSERT_TRUE(fw::RegWriteString(reg, kPorts, "COM9", own, fw::HKEY_LOCAL_MACHINE));
        std::filesystem::rename(copy, registry);
        std::filesystem::remove(copy + ".lock");
    }
    flock(lock, LOCK_UN);
    close(lock);
    const std::string kept = "COM6=/dev/ttyS0\nCOM7=/dev/pts/ptmx\nCOM8=/nonexistent/tty\n";

    ASSERT_TRUE(Announced(sim, "42")) << sim.said;
    EXPECT_EQ(sim.device, own);
    EXPECT_EQ(Entries(registry), kept + "COM42=" + sim.device + "\n");

    // A second simulator on the same number takes it over; the first, when it
    // ends, leaves the newer one's entry alone, which goes when its owner ends.
    Sim newer = StartSim(registry, "42");
    ASSERT_GT(newer.pid, 0);
    ASSERT_TRUE(Announced(newer, "42")) << newer.said;
    EXPECT_EQ(Entries(registry), kept + "COM42=" + newer.device + "\n");
    EXPECT_TRUE(StopSim(sim));
    EXPECT_EQ(Entries(registry), kept + "COM42=" + newer.device + "\n");
    EXPECT_TRUE(StopSim(newer));
    EXPECT_EQ(Entries(registry), kept);
    std::filesystem::remove(registry);
}

} // namespace
