#include "engine/RunRecord.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fw {

namespace {

template <typename T> nlohmann::json OrNull(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// Paths are UTF-8 inside the program; the system's file calls take them as
// UTF-16 on Windows.
std::filesystem::path FilePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

#ifdef _WIN32
std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
#else
std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}
#endif

} // namespace

const char* RecordText(RunResult result) {
    switch (result) {
    case RunResult::Success:
        return "success";
    case RunResult::Failed:
    case RunResult::NoLink:
        return "failed";
    case RunResult::Abandoned:
        return "abandoned";
    case RunResult::NotStarted:
        return "not_started";
    }
    return "failed";
}

std::string ToJsonLine(const RunRecord& r) {
    nlohmann::json connection = {{"type", r.connection.type}, {"device", r.connection.device}};
    if (r.connection.type == "USB") {
        connection["usb_serial"] = OrNull(r.connection.usbSerial);
    } else {
        connection["port"] = OrNull(r.connection.port);
    }
    if (r.connection.warning) {
        connection["warning"] = *r.connection.warning;
    }
    nlohmann::json firmware = nullptr;
    if (r.firmware) {
        firmware = {{"path", r.firmware->path},
                    {"bytes", OrNull(r.firmware->bytes)},
                    {"sha256", OrNull(r.firmware->sha256)},
                    {"records", OrNull(r.firmware->records)}};
    }
    nlohmann::json operations = nlohmann::json::object();
    for (const auto& [caption, on] : r.operations) {
        operations[caption] = on;
    }
    nlohmann::json rows = nlohmann::json::object();
    for (const auto& [caption, status] : r.rows) {
        rows[caption] = status;
    }
    const nlohmann::json j = {
        {"started", r.started},
        {"ended", r.ended},
        {"connection", connection},
        {"bootloader", OrNull(r.bootloader)},
        {"kind", r.kind},
        {"firmware", firmware},
        {"operations", operations},
        {"rows", rows},
        {"records_sent", r.recordsSent},
        {"records_passed", r.recordsPassed},
        {"records_other", r.recordsOther},
        {"records_unconfirmed", r.recordsUnconfirmed},
        {"result", RecordText(r.result)},
        {"reason", OrNull(r.reason)},
    };
    // Texts from the file system or the analyser need not be UTF-8: replace
    // what is not, rather than fail.
    if (!r.batch && !r.analyser) {
        return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    // A batch's run: its fields keep their order, the batch's two come last.
    nlohmann::ordered_json tagged(j);
    if (r.batch) {
        tagged["batch"] = *r.batch;
    }
    if (r.analyser) {
        tagged["analyser"] = *r.analyser;
    }
    return tagged.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string DefaultRunLogPath() {
    namespace fs = std::filesystem;
#ifdef _WIN32
    const wchar_t* base = ::_wgetenv(L"LOCALAPPDATA"); // a user name in any script
    if (base == nullptr || *base == 0) {
        return {};
    }
    return Utf8(fs::path(base) / "Tarnvel" / "Flashwright" / "runs.jsonl");
#else
    fs::path base = Env("XDG_STATE_HOME");
    if (!base.is_absolute()) {
        const std::string home = Env("HOME");
        if (home.empty()) {
            return {};
        }
        base = fs::path(home) / ".local" / "state";
    }
    return (base / "Tarnvel" / "Flashwright" / "runs.jsonl").string();
#endif
}

#ifndef _WIN32
namespace {

// Opens the run log to append to it; -1, with why in `error`, when it cannot.
int OpenLog(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    if (path.empty()) {
        error = "no place for the run log (no home folder)";
        return -1;
    }
    std::error_code ec;
    const fs::path parent = FilePath(path).parent_path();
    if (!parent.empty()) {
        fs::create_directories(parent, ec);
    }
    // O_NONBLOCK: a FIFO at the path fails the open when nobody reads it, and
    // nothing else that is no regular file is written (below). Read access is
    // for the last byte only; O_APPEND puts each write at the end.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        // ENXIO: a FIFO without a reader.
        error = errno == ENXIO ? path + " is not a regular file"
                               : "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        error = path + " is not a regular file";
        return -1;
    }
    return fd;
}

// Appends `line` and a line feed to the open log; empty on success, else
// what went wrong.
std::string AppendTo(int fd, const std::string& path, const std::string& line) {
    std::string data = line + "\n";
    struct stat before {};
    if (::fstat(fd, &before) != 0) {
        return "cannot look at " + path + ": " + std::strerror(errno);
    }
    // A file cut short in the middle of a line (by hand, or by a crash before
    // this writer undid its short writes) would swallow this record.
    char last = '\n';
    if (before.st_size > 0 && ::pread(fd, &last, 1, before.st_size - 1) == 1 && last != '\n') {
        data.insert(data.begin(), '\n');
    }
    // One write: lines of runs ending at once in two programs never interleave.
    const ssize_t written = ::write(fd, data.data(), data.size());
    const int writeError = errno;
    bool undone = false;
    if (written > 0 && written != static_cast<ssize_t>(data.size())) {
        // A full disk or a file size limit: take the torn line back, unless
        // another program has appended since (its line is worth more).
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        struct stat after {};
        if (end >= written && ::fstat(fd, &after) == 0 && after.st_size == end) {
            undone = ::ftruncate(fd, end - written) == 0;
        }
    }
    const bool synced = ::fsync(fd) == 0;
    const int syncError = errno;
    if (written != static_cast<ssize_t>(data.size())) {
        if (written < 0) {
            return "cannot write " + path + ": " + std::strerror(writeError);
        }
        return "cannot write " + path + ": only " + std::to_string(written) + " of " +
               std::to_string(data.size()) + " bytes fit" +
               (undone ? "; they were taken back" : "; a torn line is left");
    }
    if (!synced) {
        return "cannot sync " + path + ": " + std::strerror(syncError);
    }
    return {};
}

} // namespace
#endif

std::string AppendLine(const std::string& path, const std::string& line) {
#ifdef _WIN32
    namespace fs = std::filesystem;
    if (path.empty()) {
        return "no place for the run log (no home folder)";
    }
    std::error_code ec;
    const fs::path parent = FilePath(path).parent_path();
    if (!parent.empty()) {
        fs::create_directories(parent, ec);
    }
    std::string data = line + "\n";
    // Read access only to look at the last byte; FILE_APPEND_DATA alone makes
    // every write go to the end of the file.
    HANDLE h = CreateFileW(FilePath(path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return "cannot open " + path + " (error " + std::to_string(GetLastError()) + ")";
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return path + " is not a regular file";
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        char last = '\n';
        DWORD got = 0;
        if (ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n') {
            data.insert(data.begin(), '\n');
        }
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    const DWORD error = GetLastError();
    FlushFileBuffers(h);
    CloseHandle(h);
    if (!ok || written != data.size()) {
        return "cannot write " + path + " (error " + std::to_string(error) + ")";
    }
    return {};
#else
    std::string error;
    const int fd = OpenLog(path, error);
    if (fd < 0) {
        return error;
    }
    error = AppendTo(fd, path, line);
    ::close(fd);
    return error;
#endif
}

FileRunLog::~FileRunLog() {
#ifndef _WIN32
    if (fd_ >= 0) {
        ::close(fd_);
    }
#endif
}

void FileRunLog::KeepOpen() {
#ifndef _WIN32
    std::string error;
    if (fd_ < 0) {
        fd_ = OpenLog(path_, error); // when it cannot be, each record says why
    }
#endif
}

void FileRunLog::Append(const RunRecord& record) {
    std::string error;
#ifndef _WIN32
    struct stat held {};
    if (fd_ >= 0 && ::fstat(fd_, &held) == 0 && held.st_nlink == 0) {
        // Removed (or rotated away) meanwhile: the records go to the new one.
        ::close(fd_);
        fd_ = OpenLog(path_, error);
    }
    if (fd_ >= 0) {
        error = AppendTo(fd_, path_, ToJsonLine(record));
    } else {
        error = AppendLine(path_, ToJsonLine(record));
    }
#else
    error = AppendLine(path_, ToJsonLine(record));
#endif
    if (!error.empty()) {
        std::cerr << program_ << ": " << (record.analyser ? *record.analyser + ": " : "")
                  << "run log not written: " << error << "\n";
    }
}

} // namespace fw
