// Reading a file the user named (a firmware image, a list of analysers) whole
// into memory, safely: only a regular file is read, and nothing waits. A FIFO
// nobody writes, a device, a folder or an oversized file is refused at once,
// with what it is, instead of blocking the program or filling its memory.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace fw {

struct WholeFile {
    enum class Problem { None, Missing, Folder, Fifo, Device, NotAFile, TooLarge, Unreadable };

    std::shared_ptr<const std::string> bytes; // the content; null unless read
    Problem problem = Problem::None;
    std::string why; // what the file is or why it was not read, for a message
};

// How many files the process may have open at once (its soft limit); 0 when
// there is no such limit to speak of (Windows) or it cannot be told.
std::size_t OpenFileLimit();

// `path` is UTF-8 (opened by its UTF-16 name on Windows). A file of more than
// `maxBytes` bytes is TooLarge.
WholeFile ReadWholeFile(const std::string& path, std::size_t maxBytes);

} // namespace fw
