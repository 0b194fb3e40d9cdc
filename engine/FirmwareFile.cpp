#include "engine/FirmwareFile.h"

#include <filesystem>
#include <system_error>

namespace fw {

namespace {

// Paths are UTF-8 inside the program; on Windows the file calls take them as
// UTF-16, so a folder such as "Prüfstand Ω" opens there as well.
std::filesystem::path FilePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::FILE* OpenForReading(const std::string& utf8) {
#ifdef _WIN32
    return ::_wfopen(FilePath(utf8).c_str(), L"rb");
#else
    return std::fopen(utf8.c_str(), "rb");
#endif
}

} // namespace

bool FirmwareFile::IsReadable(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::error_code ec;
    // Only a regular file: opening a folder "succeeds" on some systems, and a
    // device or pipe could block the tick or never end.
    if (!std::filesystem::is_regular_file(FilePath(path), ec) || ec) {
        return false;
    }
    std::FILE* probe = OpenForReading(path);
    if (probe == nullptr) {
        return false;
    }
    std::fclose(probe);
    return true;
}

bool FirmwareFile::Open(const std::string& path) {
    Close();
    if (!IsReadable(path)) {
        return false;
    }
    file_ = OpenForReading(path);
    if (file_ == nullptr) {
        return false;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(FilePath(path), ec);
    length_ = ec ? 0 : static_cast<std::int64_t>(size);
    digest_.Reset();
    // A regular file fills the first block unless it is shorter.
    if (Fill() && blockLen_ >= 3 && std::string_view(block_, 3) == "\xEF\xBB\xBF") {
        blockPos_ = 3;
        consumed_ = 3;
    }
    return true;
}

void FirmwareFile::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    length_ = 0;
    consumed_ = 0;
    blockLen_ = 0;
    blockPos_ = 0;
    error_ = false;
    bytesRead_ = 0;
}

bool FirmwareFile::Fill() {
    if (file_ == nullptr || error_) {
        return false;
    }
    blockLen_ = std::fread(block_, 1, sizeof block_, file_);
    blockPos_ = 0;
    if (std::ferror(file_)) {
        // A short block before the error still counts; what follows it is lost,
        // so the read ends here as failed.
        error_ = true;
    }
    bytesRead_ += static_cast<std::int64_t>(blockLen_);
    digest_.Update(block_, blockLen_);
    return blockLen_ > 0;
}

int FirmwareFile::Peek() {
    if (blockPos_ == blockLen_ && !Fill()) {
        return -1;
    }
    return static_cast<unsigned char>(block_[blockPos_]);
}

std::string_view FirmwareFile::Head() {
    Peek();
    return std::string_view(block_ + blockPos_, blockLen_ - blockPos_);
}

bool FirmwareFile::AtEnd() {
    return Peek() < 0 && !error_;
}

FirmwareFile::ReadResult FirmwareFile::ReadLine(std::string& line) {
    line.clear();
    if (Peek() < 0) {
        return error_ ? ReadResult::Error : ReadResult::End;
    }
    for (;;) {
        const int c = Peek();
        if (c < 0) {
            // The last line may have no terminator.
            return error_ ? ReadResult::Error : ReadResult::Line;
        }
        ++blockPos_;
        ++consumed_;
        if (c == '\n') {
            return ReadResult::Line;
        }
        if (c == '\r') {
            if (Peek() == '\n') {
                ++blockPos_;
                ++consumed_;
            }
            return error_ ? ReadResult::Error : ReadResult::Line;
        }
        if (line.size() == kMaxLine) {
            return ReadResult::TooLong;
        }
        line.push_back(static_cast<char>(c));
    }
}

} // namespace fw
