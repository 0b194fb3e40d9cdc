// The registry kept in one text file in the registry-export format (see
// RegFile.h), for platforms without a registry. Every key the program touches
// lives in the same file.
//
// Reads re-read the file when it has changed on disk. A change locks the file
// against other copies of the program (flock on "<file>.lock"), re-reads it,
// and writes the whole file anew: a temporary file beside it, synced, renamed
// over the old one, the directory synced. A crash or a full disk therefore
// leaves the previous file whole, and two running copies never drop each
// other's values. The lock is waited for at most LockWait() (a program that
// holds it for longer has hung, or is a user's editor): the change then fails,
// and LockBusy() says why. BeginChanges/EndChanges make several changes one:
// one lock, one write.
//
// A file that does not parse never stops the program: the keys that did parse
// are used, and before the first write replaces the file, it is kept beside it
// as "<file>.damaged" (then ".damaged.1" to ".damaged.9"; an older copy is
// never replaced, except the last when all ten are taken). A file larger than
// kMaxFileSize counts as damaged and is not read at all; a write that would
// make the file larger fails. A missing file is an empty registry; the file
// and its directory are created on the first write.
//
// Where the file is a symbolic link (as dotfile managers make them), the link
// stays: the file it leads to is the one locked and replaced, in its own
// folder. Comment lines stay where they are through every write. A file in
// UTF-16 (a registry editor's export) is read, and written back in the usual
// form.
#pragma once

#include "settings/MemoryRegistry.h"
#include "settings/RegFile.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace fw {

class FileRegistry : public MemoryRegistry {
public:
    static constexpr std::size_t kMaxFileSize = kMaxRegFileSize;
    static constexpr std::chrono::milliseconds kLockWait{3000};

    explicit FileRegistry(std::string path);
    ~FileRegistry() override;
    FileRegistry(const FileRegistry&) = delete;
    FileRegistry& operator=(const FileRegistry&) = delete;

    const std::string& Path() const { return path_; }
    // Whether the file, as last read, had parts that did not parse.
    bool Damaged() const { return damaged_; }
    // Whether the last change failed because another program held the lock
    // for longer than LockWait().
    bool LockBusy() const { return lockBusy_; }
    std::chrono::milliseconds LockWait() const { return lockWait_; }
    // Why the last change failed: the file not writable (with the system's
    // reason), the lock not had in time, the file unreadable or too large.
    std::string WriteFailure() const override { return writeFailure_; }
    void SetLockWait(std::chrono::milliseconds wait) { lockWait_ = wait; }

    // Takes the lock and reads the file; every change until EndChanges() is
    // then made in memory only, and EndChanges() writes them in one step (or
    // nothing, when nothing changed) and lets go of the lock. So either all of
    // them reach the file or none does. False when the lock or the file could
    // not be had; EndChanges() false when the write failed, the contents then
    // being those of before BeginChanges().
    bool BeginChanges();
    bool EndChanges();

protected:
    void Reload() override;
    bool BeginChange() override;
    bool EndChange(bool changed) override;

private:
    // What identifies one version of the file; a file replaced by rename has a
    // new inode, one edited in place a new size or modification time.
    struct Stamp {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t mtimeNs = 0;
        std::int64_t ctimeNs = 0;
        bool operator==(const Stamp&) const = default;
    };

    // Reads and parses the file unless `force` is false and it is unchanged.
    // False when it exists but cannot be read; the contents are then empty.
    bool Load(bool force);
    // Follows symbolic links at path_ to the file a write replaces; false for
    // a loop of links.
    bool FindTarget();
    bool Commit();
    bool KeepDamagedCopy();
    bool Lock();
    void Unlock();
    // Notes `error` (an errno value) as why the change failed; false.
    bool NotWritable(int error);

    std::string path_;
    std::string target_;          // path_, or the file the links at path_ lead to
    std::string directory_;       // target_'s folder
    std::optional<Stamp> loaded_; // nullopt: read again before the next use
    mode_t mode_ = 0;             // permissions of the existing file; 0 when none
    bool damaged_ = false;
    RegFileComments comments_; // of the file as last read
    // The text the contents were parsed from, while they still are those.
    std::optional<std::string> parsedText_;
    int lockFd_ = -1;
    bool lockBusy_ = false;
    std::string writeFailure_;
    std::chrono::milliseconds lockWait_ = kLockWait;
    bool grouped_ = false;    // between BeginChanges and EndChanges
    std::vector<Key> before_; // contents when the change in progress began
};

// ${XDG_CONFIG_HOME}/Tarnvel/Flashwright.reg, where XDG_CONFIG_HOME counts only
// when it is an absolute path; otherwise ~/.config stands for it.
std::string DefaultRegistryFile();

} // namespace fw
