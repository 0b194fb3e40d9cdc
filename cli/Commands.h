// The three commands of flashwright-cli. Each returns the program's exit code.
#pragma once

#include "cli/FlashOptions.h"

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

} // namespace fw::cli
