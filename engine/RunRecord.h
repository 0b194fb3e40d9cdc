// The record of one run: what was connected, which firmware went where, how
// each row ended. Appended as one JSON line to the run log when the run ends,
// so that a lab can answer which firmware is on which analyser, and since when.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fw {

// How a run ended.
enum class RunResult {
    Success,    // every chosen step done, the firmware confirmed
    Failed,     // a step failed, or the run was ended from outside (a time limit)
    NoLink,     // the link could not be opened, at once or while it connected
    Abandoned,  // left while under way (Previous, the close box, a stop signal)
    NotStarted, // one of a batch that a stop reached before it began
};

// How a result is written in the record: "success", "failed" (a link that did
// not open is a failed run too), "abandoned", "not_started".
const char* RecordText(RunResult result);

struct RunRecord {
    std::string started; // ISO 8601, UTC
    std::string ended;
    struct Connection {
        std::string type;                     // "COM", "USB", "TCP"
        std::optional<std::int32_t> port;     // COM port number
        std::optional<std::string> usbSerial; // converter serial number
        std::string device;                   // device path or converter description
        std::optional<std::string> warning;   // what the link left unconfirmed
    } connection;
    std::optional<std::string> bootloader; // version text from the banner
    std::int32_t kind = 0;
    struct Firmware {
        std::string path;
        std::optional<std::int64_t> bytes;
        std::optional<std::string> sha256;
        std::optional<std::int64_t> records;
    };
    std::optional<Firmware> firmware;                      // none when the upload was not chosen
    std::vector<std::pair<std::string, bool>> operations;  // by caption
    std::vector<std::pair<std::string, std::string>> rows; // caption -> status
    std::int64_t recordsSent = 0;
    std::int64_t recordsPassed = 0;
    std::int64_t recordsOther = 0;
    std::int64_t recordsUnconfirmed = 0; // sent, and answered with no verdict at all
    RunResult result = RunResult::Failed;
    std::optional<std::string> reason;
    // One of a batch: the batch's id and the analyser's name, written last
    // when set.
    std::optional<std::string> batch;
    std::optional<std::string> analyser;
};

// One line of JSON, without the line feed.
std::string ToJsonLine(const RunRecord& record);

// The current time as ISO 8601 in UTC, to the second ("2026-12-07T10:04:05Z").
std::string UtcNow();

// Where the run log lives: $XDG_STATE_HOME/Tarnvel/Flashwright/runs.jsonl
// (~/.local/state/... when unset or not absolute); on Windows
// %LOCALAPPDATA%\Tarnvel\Flashwright\runs.jsonl. Empty when no home is known.
std::string DefaultRunLogPath();

class IRunLog {
public:
    virtual ~IRunLog() = default;
    virtual void Append(const RunRecord& record) = 0;
};

// Appends each record as one line with a single write in append mode, then
// syncs it to disk. A log that cannot be written never stops, holds up or
// fails a run: the failure is one line on stderr, after the program's name
// (and the analyser's, for a batch's run).
class FileRunLog : public IRunLog {
public:
    explicit FileRunLog(std::string path = DefaultRunLogPath(), std::string program = "flashwright")
        : path_(std::move(path)), program_(std::move(program)) {}
    ~FileRunLog() override;
    FileRunLog(const FileRunLog&) = delete;
    FileRunLog& operator=(const FileRunLog&) = delete;

    void Append(const RunRecord& record) override;
    const std::string& Path() const { return path_; }
    // Keeps the log open from now on (it is opened for every record
    // otherwise), so that records are written even when the process has no
    // handle left to open a file with: a bench of a great many analysers.
    void KeepOpen();

private:
    std::string path_;
    std::string program_;
    int fd_ = -1; // the log kept open; -1: opened for each record
};

// Appends `line` (a line feed is added) to `path`, creating the file and its
// folders. Only a regular file (a symbolic link to one is fine) is written,
// and nothing waits: a FIFO or a device at the path is an error at once. The
// line starts on a line of its own when the file does not end in a line feed,
// and a write cut short (a full disk) is taken back, so the file holds whole
// lines only. Empty on success, else what went wrong.
std::string AppendLine(const std::string& path, const std::string& line);

} // namespace fw
