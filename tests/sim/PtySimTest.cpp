// The real analyser-sim program on a real pseudo-terminal: announcement,
// registration, reset and the entry prompt, clean exit on SIGTERM.
#include "settings/FileRegistry.h"
#include "settings/UsefulUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Appends what `fd` delivers within `wait` to `text`.
void ReadFor(int fd, std::string& text, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    char buffer[256];
    if (poll(&p, 1, static_cast<int>(wait.count())) > 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
}

TEST(AnalyserSim, AnswersTheResetOnAPty) {
    const std::string registry = testing::TempDir() + "sim" + std::to_string(getpid()) + ".reg";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string program = FW_ANALYSER_SIM;
    std::vector<std::string> args = {program, "--registry",  registry, "--com",
                                     "42",    "--reboot-ms", "20"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);

    std::string announcement;
    for (auto end = Clock::now() + 5s;
         announcement.find('\n') == std::string::npos && Clock::now() < end;) {
        ReadFor(out[0], announcement, 100ms);
    }
    const std::string prefix = "analyser-sim: device ";
    ASSERT_EQ(announcement.rfind(prefix, 0), 0u) << announcement;
    const auto space = announcement.find(' ', prefix.size());
    const std::string device = announcement.substr(prefix.size(), space - prefix.size());
    EXPECT_EQ(announcement.substr(space), " port COM42\n");
    {
        fw::FileRegistry reg(registry);
        EXPECT_EQ(fw::RegReadString(reg, "SOFTWARE\\Tarnvel\\Flashwright\\Ports", "COM42", "",
                                    fw::HKEY_LOCAL_MACHINE),
                  device);
    }

    const int line = open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line, 0) << device;
    const std::string reset =
        std::string("RESET,???\r\n") + std::string("\x02\x00\x06\x03\x06Really/\x04", 13);
    ASSERT_EQ(write(line, reset.data(), reset.size()), static_cast<ssize_t>(reset.size()));
    // Like the wizard: "@" every 10 ms until the restarted analyser prompts.
    const std::string prompt = "Type ###[ENTER] to enter Bootloader.";
    std::string replies;
    for (auto end = Clock::now() + 3s;
         replies.find(prompt) == std::string::npos && Clock::now() < end;) {
        ASSERT_EQ(write(line, "@", 1), 1);
        ReadFor(line, replies, 10ms);
    }
    EXPECT_NE(replies.find(prompt), std::string::npos) << replies;
    close(line);

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(out[0]);
    std::filesystem::remove(registry);
}

} // namespace
