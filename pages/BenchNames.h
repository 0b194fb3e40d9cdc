// The analysers of the wizard's bench by name, as its rows, the run records
// ("analyser") and the "Bench" setting name them: "COM7" a serial port,
// "usb:SERIAL" a converter, anything else a device server's address
// ("HOST:PORT", "rfc2217://HOST:PORT"). No Qt.
#pragma once

#include "engine/RunConfig.h"

#include <string>
#include <vector>

namespace fw {

// The settings value that keeps the bench's choice for the next start: the
// names separated by ";" ("COM7;COM9;usb:FT000042;lab-pc:4001").
inline constexpr const char* kBench = "Bench";
inline constexpr const char* kUsbNamePrefix = "usb:";

std::string JoinBenchNames(const std::vector<std::string>& names);
// Blanks around each name are dropped, empty names and repeats left out.
std::vector<std::string> SplitBenchNames(const std::string& value);

// The run of analyser `name` with the bench's shared choices (file, operations).
RunConfig BenchRunConfig(const std::string& name, const RunConfig& shared);

} // namespace fw
