// The options of "flashwright-cli flash" and how each is read. Anything not
// given is taken from the stored settings, as the wizard starts with them.
#pragma once

#include "cli/Analysers.h"
#include "engine/RunConfig.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace fw::cli {

// The operation names of --ops, in the order of kOperations.
inline constexpr std::array<const char*, 6> kOperationNames{
    "bootloader", "erase-flash", "erase-eeprom", "erase-ram", "upload", "run"};
inline constexpr const char* kDefaultOperations = "bootloader,erase-flash,upload,run";

using OperationSet = std::array<bool, 6>;

struct FlashOptions {
    std::optional<std::string> type;       // "COM", "USB" or "TCP"
    std::optional<int> port;               // COM port number
    std::optional<std::string> portDevice; // --port given as a device path instead
    std::optional<std::string> usb;        // converter serial number
    std::optional<std::string> address;    // "host:port" or "rfc2217://host:port"
    std::optional<std::string> file;       // absolute path
    OperationSet operations{};
    bool save = false;
    bool json = false;
    std::optional<double> timeoutSeconds;
    std::optional<std::string> sha256; // the file's digest must be this (lower case)
    // A batch: every analyser named (--port, --usb, --address given more than
    // once, or --analysers), each its own run, `jobs` of them at a time (all
    // when not given). The single-run fields above then stay empty.
    std::vector<Analyser> analysers;
    std::optional<int> jobs;
};

// "com", "Usb", "TCP" -> "COM", "USB", "TCP"; nullopt for anything else.
std::optional<std::string> ParseType(const std::string& text);
// A comma-separated list of operation names (blanks around names ignored, an
// empty list chooses none); nullopt when a name is unknown, with it in `bad`.
std::optional<OperationSet> ParseOperations(const std::string& text, std::string* bad = nullptr);
// Seconds above 0 and at most a week; nullopt otherwise.
std::optional<double> ParseTimeout(const std::string& text);

// 64 hex digits, either case -> lower case; nullopt otherwise.
std::optional<std::string> ParseSha256(const std::string& text);
// A whole number from 1 up; nullopt otherwise.
std::optional<int> ParseJobs(const std::string& text);

// The chosen operations into the run's configuration.
void ApplyOperations(const OperationSet& operations, Operations& flags);

} // namespace fw::cli
