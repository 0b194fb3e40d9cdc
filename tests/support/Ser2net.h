// A serial device server for the tests: Debian's ser2net (4.x), run in the
// foreground on 127.0.0.1 with a free port, its serial side a device such as
// the analyser simulator's pseudo-terminal. Raw TCP or telnet with
// COM-PORT-OPTION (RFC 2217). Stopped by the pid it writes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

extern char** environ;

namespace fw::test {

class Ser2net {
public:
    ~Ser2net() { Stop(); }

    // A port on 127.0.0.1 that nothing listens on just now.
    static int FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        int port = -1;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            port = ntohs(a.sin_port);
        ::close(fd);
        return port;
    }

    // True when something accepts connections on 127.0.0.1:`port`.
    static bool Listening(int port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

    // Serves `device` (its line set to `line`, 38400 8N1 unless told) in
    // `dir`; empty on success, else why not.
    std::string Start(const std::string& dir, const std::string& device, bool rfc2217,
                      const std::string& line = "38400n81") {
        port_ = FreePort();
        const std::string config = dir + "/ser2net.yaml";
        pidFile_ = dir + "/ser2net.pid";
        std::ofstream(config) << "connection: &analyser\n"
                              << "  accepter: " << (rfc2217 ? "telnet(rfc2217)," : "")
                              << "tcp,127.0.0.1," << port_ << "\n"
                              << "  connector: serialdev," << device << "," << line << ",local\n";
        // -n: stay in the foreground; -u: no UUCP lock files.
        std::string args[] = {"ser2net", "-n", "-u", "-c", config, "-P", pidFile_};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                        args[4].data(), args[5].data(), args[6].data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = dir + "/ser2net.log";
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int rc = ::posix_spawnp(&child_, "ser2net", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            child_ = -1;
            return "ser2net cannot be started (Debian package ser2net)";
        }
        for (int i = 0; i < 300; ++i) {
            if (Listening(port_) && Pid() > 0)
                return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Stop();
        return "ser2net did not listen on port " + std::to_string(port_);
    }

    int Port() const { return port_; }
    // The pid ser2net wrote to its pid file; -1 before it has.
    pid_t Pid() const {
        pid_t pid = -1;
        std::ifstream(pidFile_) >> pid;
        return pid;
    }
    // Ends it with `sig` (SIGKILL: the server vanishes mid-run) and reaps it.
    void Stop(int sig = SIGTERM) {
        if (child_ <= 0)
            return;
        const pid_t pid = Pid();
        ::kill(pid > 0 ? pid : child_, sig);
        int status = 0;
        while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
        }
        child_ = -1;
    }

private:
    pid_t child_ = -1;
    int port_ = -1;
    std::string pidFile_;
};

// A listener on `host` (a loopback address) whose queue is full: a connect to
// it is never answered (the kernel drops the SYN), as with a device server
// that is switched off. Not `full`: the kernel completes connects from its
// queue, and nothing ever reads them unless the test accepts one.
class SilentListener {
public:
    explicit SilentListener(const char* host = "127.0.0.1", bool full = true) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, host, &a.sin_addr);
        socklen_t size = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, full ? 0 : 4);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        for (int& f : fillers_) {
            if (!full)
                return;
            f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~SilentListener() {
        for (const int f : fillers_)
            ::close(f);
        ::close(fd_);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int Port() const { return port_; }
    int Accept() const { return ::accept(fd_, nullptr, nullptr); }

private:
    int fd_ = -1;
    int fillers_[2] = {-1, -1};
    int port_ = 0;
};

} // namespace fw::test
