// Helpers shared with the device tests: a fresh directory for one test
// (removed with everything in it afterwards), whole-file reads and writes, and
// child processes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fw::test {

class TempDir {
public:
    TempDir() {
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const auto candidate =
                std::filesystem::temp_directory_path() / ("fw-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate, ignored_)) {
                path_ = candidate.generic_string();
                return;
            }
        }
        std::abort();
    }
    ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::error_code ignored_;
};

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Creates the folders above `path` as needed.
inline void WriteAll(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

#ifndef _WIN32
// Runs `body` in a child process, which ends with what it returns (no exit
// handlers, no destructors); Reap waits for it and gives that status.
template <typename Body> pid_t Spawn(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return pid;
}

inline int Reap(pid_t pid) {
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + status;
}
#endif

} // namespace fw::test
