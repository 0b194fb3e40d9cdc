// The firmware image, read one text line at a time from the bytes the check
// loaded: the upload sends exactly what was checked, whatever happens to the
// file on disk meanwhile. A line ends at CR LF, at a lone CR or at a lone LF;
// the terminator is not part of the line. A UTF-8 byte-order mark at the very
// start (an editor's, saving "UTF-8") is not part of the first line, but still
// counts in the length and the digest. A line longer than kMaxLine is refused
// (such a file is not an S-record file).
#pragma once

#include "platform/WholeFile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace fw {

class FirmwareFile {
public:
    static constexpr std::size_t kMaxLine = 64 * 1024;
    // No S-record image of the analyser's 16 MiB address space is larger.
    static constexpr std::size_t kMaxBytes = 64 * 1024 * 1024;
    // What Head() shows of the start, to tell what kind of file this is.
    static constexpr std::size_t kHeadSize = 4096;

    enum class ReadResult {
        Line,    // `line` holds the next line
        End,     // nothing left
        TooLong, // the line does not end within kMaxLine characters
    };

    // The file at `path` read whole (only a regular file, at most kMaxBytes).
    static WholeFile Load(const std::string& path);

    // Reading starts at the beginning of `image`; null closes.
    bool Open(std::shared_ptr<const std::string> image);
    void Close() { Open(nullptr); }
    bool IsOpen() const { return image_ != nullptr; }

    std::int64_t Length() const { return image_ ? static_cast<std::int64_t>(image_->size()) : 0; }
    // Exact offset of the next byte a ReadLine would take.
    std::int64_t Position() const { return static_cast<std::int64_t>(at_); }
    // True when no byte is left.
    bool AtEnd() const { return !image_ || at_ >= image_->size(); }
    ReadResult ReadLine(std::string& line);
    // The first bytes after the byte-order mark (at most kHeadSize).
    std::string_view Head() const;

    // The SHA-256 of the whole image, the byte-order mark included.
    std::string Digest() const;

private:
    std::shared_ptr<const std::string> image_;
    std::size_t at_ = 0;
};

} // namespace fw
