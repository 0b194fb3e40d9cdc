#include "platform/WholeFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <cstdio>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fw {

namespace {

std::filesystem::path FilePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

WholeFile Refused(WholeFile::Problem problem, std::string why) {
    WholeFile file;
    file.problem = problem;
    file.why = std::move(why);
    return file;
}

WholeFile TooLarge(std::size_t maxBytes) {
    return Refused(WholeFile::Problem::TooLarge,
                   "is larger than " + std::to_string(maxBytes / (1024 * 1024)) + " MiB");
}

// What a path that is no regular file is; None for a regular file.
WholeFile Kind(std::filesystem::file_type type) {
    using Type = std::filesystem::file_type;
    switch (type) {
    case Type::regular:
        return {};
    case Type::not_found:
        return Refused(WholeFile::Problem::Missing, "does not exist");
    case Type::directory:
        return Refused(WholeFile::Problem::Folder, "is a folder, not a file");
    case Type::fifo:
        return Refused(WholeFile::Problem::Fifo, "is a FIFO (a named pipe), not a file");
    case Type::character:
    case Type::block:
        return Refused(WholeFile::Problem::Device, "is a device, not a file");
    default:
        return Refused(WholeFile::Problem::NotAFile, "is not a regular file");
    }
}

} // namespace

std::size_t OpenFileLimit() {
#ifdef _WIN32
    return 0;
#else
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return static_cast<std::size_t>(limit.rlim_cur);
#endif
}

WholeFile ReadWholeFile(const std::string& path, std::size_t maxBytes) {
    if (path.empty()) {
        return Refused(WholeFile::Problem::Missing, "no file is named");
    }
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(FilePath(path), ec);
    if (ec && status.type() != std::filesystem::file_type::not_found) {
        return Refused(WholeFile::Problem::Unreadable, "cannot be read: " + ec.message());
    }
    if (WholeFile kind = Kind(status.type()); kind.problem != WholeFile::Problem::None) {
        return kind;
    }
    auto bytes = std::make_shared<std::string>();
#ifdef _WIN32
    std::FILE* in = ::_wfopen(FilePath(path).c_str(), L"rb");
    if (in == nullptr) {
        return Refused(WholeFile::Problem::Unreadable,
                       std::string("cannot be read: ") + std::strerror(errno));
    }
    char block[65536];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, in)) > 0;) {
        if (bytes->size() + n > maxBytes) {
            std::fclose(in);
            return TooLarge(maxBytes);
        }
        bytes->append(block, n);
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        return Refused(WholeFile::Problem::Unreadable, "could not be read to the end");
    }
#else
    // Opened without waiting, and looked at again once open: the path may
    // have become something else since it was looked at.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return Refused(WholeFile::Problem::Unreadable,
                       std::string("cannot be read: ") + std::strerror(errno));
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return Refused(WholeFile::Problem::NotAFile, "is not a regular file");
    }
    if (static_cast<std::size_t>(opened.st_size) > maxBytes) {
        ::close(fd);
        return TooLarge(maxBytes);
    }
    bytes->reserve(static_cast<std::size_t>(opened.st_size));
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return Refused(WholeFile::Problem::Unreadable,
                           std::string("could not be read to the end: ") + std::strerror(error));
        }
        if (n == 0) {
            break;
        }
        if (bytes->size() + static_cast<std::size_t>(n) > maxBytes) {
            ::close(fd);
            return TooLarge(maxBytes); // it grew while being read
        }
        bytes->append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
#endif
    WholeFile file;
    file.bytes = std::move(bytes);
    return file;
}

} // namespace fw
