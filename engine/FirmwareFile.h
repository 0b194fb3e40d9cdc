// The firmware image file, read one text line at a time. A line ends at CR LF,
// at a lone CR or at a lone LF; the terminator is not part of the line. A
// UTF-8 byte-order mark at the very start (an editor's, saving "UTF-8") is not
// part of the first line: the check and the upload both read through here, so
// both pass over it, and it still counts in the length and the digest. The
// file is never loaded whole: the reader holds one block and the current line,
// and a line longer than kMaxLine is refused (such a file is not an S-record
// file, and reading on would only fill memory).
#pragma once

#include "engine/Sha256.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace fw {

class FirmwareFile {
public:
    static constexpr std::size_t kMaxLine = 64 * 1024;
    static constexpr std::size_t kBlockSize = 4096;

    enum class ReadResult {
        Line,    // `line` holds the next line
        End,     // nothing left
        TooLong, // the line does not end within kMaxLine characters
        Error,   // the file could not be read
    };

    FirmwareFile() = default;
    ~FirmwareFile() { Close(); }
    FirmwareFile(const FirmwareFile&) = delete;
    FirmwareFile& operator=(const FirmwareFile&) = delete;

    // A regular file that can be opened for reading. An empty name, a folder or
    // a device is not a firmware file.
    static bool IsReadable(const std::string& path);

    // Closes any file that is open first. False when `path` is not readable.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // Length in bytes, as found when the file was opened.
    std::int64_t Length() const { return length_; }
    // Exact offset of the next byte a ReadLine would take.
    std::int64_t Position() const { return consumed_; }
    // True when no byte is left. A read error is not the end: ReadLine reports it.
    bool AtEnd();
    ReadResult ReadLine(std::string& line);
    // The first bytes after the byte-order mark (at most kBlockSize), to tell
    // what kind of file this is. Only before the first ReadLine.
    std::string_view Head();

    // Every byte taken from the file so far, counted and fed to a SHA-256
    // digest as it is read. Once AtEnd() is true they describe the whole file
    // as it was read, whatever its length was at Open.
    std::int64_t BytesRead() const { return bytesRead_; }
    // The digest of the bytes read; call once, at the end.
    std::string Digest() { return digest_.HexDigest(); }

private:
    // Next byte without taking it; -1 at the end or on an error.
    int Peek();
    bool Fill();

    std::FILE* file_ = nullptr;
    std::int64_t length_ = 0;
    std::int64_t consumed_ = 0;
    char block_[kBlockSize] = {};
    std::size_t blockLen_ = 0;
    std::size_t blockPos_ = 0;
    bool error_ = false;
    std::int64_t bytesRead_ = 0;
    Sha256 digest_;
};

} // namespace fw
