#include "settings/FileRegistry.h"

#include "settings/RegFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace fw {

namespace {

constexpr std::int64_t kSettleNs = 2000000000;

std::int64_t Nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p; what it creates is private to the user.
bool MakeDirectories(const std::string& dir) {
    for (std::size_t cut = dir.find('/', 1);; cut = dir.find('/', cut + 1)) {
        const std::string part = dir.substr(0, cut);
        if (!IsDirectory(part) && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (cut == std::string::npos) {
            return IsDirectory(dir);
        }
    }
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads at most limit + 1 bytes, so that a longer file shows as one.
bool ReadBounded(int fd, std::string& out, std::size_t limit) {
    char buf[65536];
    while (out.size() <= limit) {
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit + 1 - out.size()));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool SyncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // Some file systems cannot sync a directory (EINVAL); nothing more to do.
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return ok;
}

// 0 when a copy of `from` now is at `to`; otherwise the error, EEXIST when
// something already is at `to` (it is left alone).
int CopyFile(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (in < 0) {
        return errno;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = 0;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        if (!WriteAll(out, buf, static_cast<std::size_t>(n))) {
            error = errno;
            break;
        }
    }
    if (error == 0 && ::fsync(out) != 0) {
        error = errno;
    }
    if (::close(out) != 0 && error == 0) {
        error = errno;
    }
    ::close(in);
    if (error != 0) {
        ::unlink(to.c_str());
    }
    return error;
}

// A hard link where the file system has them, a copy where it has not.
int KeepAs(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) == 0) {
        return 0;
    }
    if (errno == EEXIST || errno == ENOENT) {
        return errno;
    }
    return CopyFile(from, to);
}

} // namespace

FileRegistry::FileRegistry(std::string path)
    : path_(std::move(path)), target_(path_), directory_(DirectoryOf(path_)) {
}

FileRegistry::~FileRegistry() {
    Unlock();
}

void FileRegistry::Unlock() {
    if (lockFd_ >= 0) {
        ::close(lockFd_); // releases the flock
        lockFd_ = -1;
    }
}

bool FileRegistry::Load(bool force) {
    auto missing = [this] {
        parsedText_.reset();
        Assign({});
        comments_ = {};
        damaged_ = false;
        mode_ = 0;
        loaded_ = Stamp{};
        return true;
    };
    auto unreadable = [this] {
        parsedText_.reset();
        Assign({});
        comments_ = {};
        damaged_ = false;
        loaded_.reset();
        return false;
    };
    auto stampOf = [](const struct stat& st) {
#ifdef __APPLE__
        const timespec& modified = st.st_mtimespec;
        const timespec& changed = st.st_ctimespec;
#else
        const timespec& modified = st.st_mtim;
        const timespec& changed = st.st_ctim;
#endif
        return Stamp{
            true, st.st_dev, st.st_ino, st.st_size, Nanoseconds(modified), Nanoseconds(changed)};
    };

    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? missing() : unreadable();
    }
    if (!force && loaded_ && *loaded_ == stampOf(st)) {
        return true;
    }
    // O_NONBLOCK: a FIFO put in the file's place must not hang the program.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? missing() : unreadable();
    }
    std::string text;
    const bool read =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadBounded(fd, text, kMaxFileSize);
    ::close(fd);
    if (!read) {
        return unreadable();
    }
    mode_ = st.st_mode & 07777;
    if (!force && parsedText_ && *parsedText_ == text) {
        // Read again only because it changed moments ago: the same text, so
        // the contents it gave stand (parsing takes far longer than reading).
    } else if (text.size() > kMaxFileSize) {
        Assign({});
        comments_ = {};
        damaged_ = true;
    } else {
        RegFileContents parsed = ParseRegFile(text);
        Assign(std::move(parsed.keys));
        comments_ = std::move(parsed.comments);
        damaged_ = parsed.damaged;
    }
    parsedText_ = std::move(text);
    // Timestamps are coarse (a clock tick): a file changed again within the
    // same tick, to the same size, by a writer that reused the freed inode, would
    // look unchanged. So a file changed only moments ago is read again next time;
    // only a settled one is trusted by its stamp.
    const Stamp stamp = stampOf(st);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const bool settled = Nanoseconds(now) - std::max(stamp.mtimeNs, stamp.ctimeNs) > kSettleNs;
    loaded_ = settled ? std::optional<Stamp>(stamp) : std::nullopt;
    return true;
}

void FileRegistry::Reload() {
    if (lockFd_ < 0) {
        Load(false);
    }
}

bool FileRegistry::FindTarget() {
    target_ = path_;
    // As many links in a row as the system itself follows.
    for (int hop = 0; hop <= 40; ++hop) {
        struct stat st {};
        if (::lstat(target_.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            directory_ = DirectoryOf(target_);
            return true;
        }
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target_.c_str(), link, sizeof link);
        if (n <= 0 || static_cast<std::size_t>(n) == sizeof link) {
            return false;
        }
        const std::string to(link, static_cast<std::size_t>(n));
        target_ = to[0] == '/' ? to : DirectoryOf(target_) + "/" + to;
    }
    return false;
}

bool FileRegistry::NotWritable(int error) {
    writeFailure_ = path_ + " is not writable: " + std::strerror(error);
    return false;
}

bool FileRegistry::Lock() {
    lockBusy_ = false;
    if (lockFd_ >= 0) {
        return false;
    }
    if (!FindTarget()) {
        return NotWritable(ELOOP);
    }
    if (!MakeDirectories(directory_)) {
        return NotWritable(errno);
    }
    // The lock is on a file of its own: the data file is replaced on every
    // write, and a lock on a replaced file would lock nobody out. It sits
    // beside the file the links lead to, so that it locks out a copy of the
    // program that names that file directly, too.
    const std::string lockPath = target_ + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
    if (lockFd_ < 0) {
        return NotWritable(errno);
    }
    // Another copy holds the lock for the moment of one write. One that keeps
    // it far longer is not waited for without end.
    constexpr long kRetryNs = 20000000;
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t waitedNs = Nanoseconds(now) - Nanoseconds(start);
        if (errno != EWOULDBLOCK || waitedNs >= std::chrono::nanoseconds(lockWait_).count()) {
            const int error = errno;
            lockBusy_ = error == EWOULDBLOCK;
            Unlock();
            if (lockBusy_) {
                writeFailure_ = "another program has kept " + path_ + " locked for " +
                                std::to_string((lockWait_.count() + 999) / 1000) + " s";
                return false;
            }
            return NotWritable(error);
        }
        const timespec pause{0, kRetryNs};
        ::nanosleep(&pause, nullptr);
    }
    // Whatever another copy wrote until now is kept; a file that cannot be read
    // is not replaced.
    if (!Load(true)) {
        Unlock();
        writeFailure_ = path_ + " could not be read, so it is not replaced";
        return false;
    }
    before_ = Keys();
    return true;
}

bool FileRegistry::BeginChange() {
    return grouped_ || Lock();
}

bool FileRegistry::EndChange(bool changed) {
    if (grouped_) {
        return true; // written by EndChanges
    }
    bool ok = true;
    if (changed) {
        parsedText_.reset(); // the contents are no longer those of that text
        ok = Commit();
        if (!ok) {
            Assign(std::move(before_));
        }
        loaded_.reset();
    }
    before_.clear();
    Unlock();
    return ok;
}

bool FileRegistry::BeginChanges() {
    if (grouped_ || !Lock()) {
        return false;
    }
    grouped_ = true;
    return true;
}

bool FileRegistry::EndChanges() {
    if (!grouped_) {
        return false;
    }
    grouped_ = false;
    return EndChange(Keys() != before_);
}

bool FileRegistry::Commit() {
    const std::optional<std::string> text = WriteRegFile(Keys(), comments_);
    if (!text) {
        writeFailure_ = path_ + " would grow beyond its limit";
        return false;
    }
    if (damaged_ && !KeepDamagedCopy()) {
        return NotWritable(errno);
    }
    // One temporary name is enough: only the holder of the lock writes it. One
    // left over from a crash is removed first.
    const std::string temp = target_ + ".tmp";
    ::unlink(temp.c_str());
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
    if (fd < 0) {
        return NotWritable(errno);
    }
    if (mode_ != 0 && ::fchmod(fd, mode_) != 0) {
        // Not every file system keeps permissions; the default ones will do.
    }
    bool ok = WriteAll(fd, text->data(), text->size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target_.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        ::unlink(temp.c_str());
        return NotWritable(error);
    }
    damaged_ = false;
    return SyncDirectory(directory_) || NotWritable(errno);
}

bool FileRegistry::KeepDamagedCopy() {
    // ENOENT: the file went away since it was read; there is nothing to keep.
    struct stat file {};
    if (::stat(target_.c_str(), &file) != 0) {
        return errno == ENOENT;
    }
    std::string name;
    for (int i = 0; i < 10; ++i) {
        name = target_ + ".damaged" + (i == 0 ? "" : "." + std::to_string(i));
        const int error = KeepAs(target_, name);
        if (error != EEXIST) {
            return error == 0 || error == ENOENT;
        }
        // Kept already by a write that then failed: once is enough.
        struct stat kept {};
        if (::stat(name.c_str(), &kept) == 0 && kept.st_dev == file.st_dev &&
            kept.st_ino == file.st_ino) {
            return true;
        }
    }
    // All places taken: the newest damaged file replaces the newest copy.
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    const int error = KeepAs(target_, name);
    return error == 0 || error == ENOENT;
}

std::string DefaultRegistryFile() {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const passwd* user = ::getpwuid(::getuid());
            home = user != nullptr && user->pw_dir != nullptr && user->pw_dir[0] == '/'
                       ? user->pw_dir
                       : nullptr;
        }
        // Without any home directory, the working directory has to do.
        base = home != nullptr ? std::string(home) + "/.config" : ".config";
    }
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    if (base == "/") {
        base.clear();
    }
    return base + "/Tarnvel/Flashwright.reg";
}

} // namespace fw
