// The interpreter of the bootloader's replies: everything received goes into
// the reply buffer, which is read for the entry prompt, the banner with its
// version, the erase echoes and the verdicts on the records.
#pragma once

#include "engine/EngineContext.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fw {

inline constexpr std::size_t kReplyBufferLimit = 1024;
// What an overlong buffer keeps of its end: enough for any reply still
// arriving (the entry prompt, the banner's version line, an erase echo).
inline constexpr std::size_t kReplyBufferKeep = 64;
inline constexpr const char* kBootloaderEntryPrompt = kAnalyserProtocol.entryPrompt.data();
inline constexpr const char* kMsgFailedSx = "Failed Sx!";

// The analyser kind a bootloader banner names: 2 when it takes binary records
// (version above 1, or 1.2 and later), 1 for earlier 1.x, 0 when the buffer
// carries no readable version. `buffer` ends with the banner line.
std::int32_t AnalyserKindFromBanner(const std::string& buffer,
                                    const ProtocolWords& words = kAnalyserProtocol);
// The version text of a banner ("1.2"), or nullopt when it names none.
std::optional<std::string> BannerVersion(const std::string& buffer,
                                         const ProtocolWords& words = kAnalyserProtocol);

class ReplyInterpreter {
public:
    explicit ReplyInterpreter(EngineContext& context) : c_(context) {}

    // Appends newly received text to the reply buffer and acts on it.
    void Interpret(const std::string& incoming);

private:
    // Applies the rule of the current state to the reply buffer.
    void Act();
    void BannerStep();
    void EntryStep();
    void EraseEcho(const EraseStep& step);
    void VerdictStep();

    EngineContext& c_;
};

} // namespace fw
