// The three commands of flashwright-cli. Each returns the program's exit code.
#pragma once

#include "cli/FlashOptions.h"
#include "engine/FirmwareCheck.h"

#include <memory>
#include <optional>
#include <string>

namespace fw::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLink = 3;

// The serial ports the wizard would offer, then the USB converters.
int ListCommand();
// The check of a firmware file before a run, on its own; touches no port.
int CheckCommand(const std::string& path);
// One run of the chosen operations over the stored or given connection.
int FlashCommand(const FlashOptions& options);
// Runs of the chosen operations over every analyser named, at once.
int BatchCommand(const FlashOptions& options);
// Runs of the chosen operations over every serial port (--type USB: converter)
// that appears, until a stop signal; then the table (flash --watch).
int WatchCommand(const FlashOptions& options);

// How a stop signal is named to the user: "Ctrl-C", "SIGTERM", "Ctrl-Break"
// (with the console, in Terminal*.cpp).
const char* SignalName(int sig);

// Why a firmware file is refused, as "line 3 <fault>" or "cannot be opened".
std::string RefusalText(const FirmwareCheck& check);
// The file checked before any analyser is touched: a refused file, or one
// whose digest is not `sha256` (when given), is said on stderr ("... no
// analyser was touched") and gives the exit code; nullopt when runs may start.
// `checked` takes the check, whose image every run then sends.
std::optional<int> CheckBeforeRuns(const std::string& path,
                                   const std::optional<std::string>& sha256,
                                   std::shared_ptr<const FirmwareCheck>* checked = nullptr);

} // namespace fw::cli
