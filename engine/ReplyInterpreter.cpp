#include "engine/ReplyInterpreter.h"

#include "settings/Text.h"

#include <algorithm>
#include <string_view>

namespace fw {

namespace {

bool EndsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() &&
           std::string_view(text).substr(text.size() - tail.size()) == tail;
}

// The restarted analyser answers every poll with its offer, so offers come
// back to back: the buffer may end in the next one's beginning when the last
// complete offer is read, however the text is split.
bool EndsWithOffer(const std::string& buffer, std::string_view offer) {
    const std::size_t last = buffer.rfind(offer);
    if (last == std::string::npos) {
        return false;
    }
    const std::string_view after = std::string_view(buffer).substr(last + offer.size());
    return offer.substr(0, after.size()) == after;
}

std::string_view Trimmed(std::string_view text) {
    return Trim(text, " ");
}

// A whole number written in the banner, blanks around it allowed. Values too
// large for the comparisons made with them are capped.
std::optional<std::int64_t> WholeNumber(std::string_view text) {
    text = Trimmed(text);
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = std::min<std::int64_t>(value * 10 + (c - '0'), 1'000'000'000);
    }
    return value;
}

// The whole number that stands after position `from`, up to the first `end`
// behind it; `at` receives where that `end` is. nullopt when no `end` follows
// or what comes before it is not a whole number.
template <typename End>
std::optional<std::int64_t> NumberUpTo(const std::string& buffer, std::size_t from, End end,
                                       std::size_t& at) {
    at = buffer.find(end, from);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return WholeNumber(std::string_view(buffer).substr(from + 1, at - from - 1));
}

} // namespace

std::int32_t AnalyserKindFromBanner(const std::string& buffer, const ProtocolWords& words) {
    const std::size_t v = buffer.rfind(words.versionMark);
    if (v == std::string::npos) {
        return 0;
    }
    // A version that is not made of whole numbers ("V.2", "V1.x") names no
    // kind. The banner still counts as the bootloader's answer, and records then
    // go out as text, the form every bootloader understands.
    std::size_t dot = 0;
    const std::optional<std::int64_t> major = NumberUpTo(buffer, v, words.versionDot, dot);
    if (!major) {
        return 0;
    }
    if (*major > 1) {
        return words.binaryKind;
    }
    std::size_t boot = 0;
    const std::optional<std::int64_t> minor = NumberUpTo(buffer, dot, words.versionEnd, boot);
    if (!minor) {
        return 0;
    }
    return *minor >= 2 ? words.binaryKind : 1;
}

std::optional<std::string> BannerVersion(const std::string& buffer, const ProtocolWords& words) {
    const std::size_t v = buffer.rfind(words.versionMark);
    if (v == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t boot = buffer.find(words.versionEnd, v);
    const std::string_view version = Trimmed(
        std::string_view(buffer).substr(v + 1, boot == std::string::npos ? 0 : boot - v - 1));
    if (version.empty()) {
        return std::nullopt;
    }
    return std::string(version);
}

void ReplyInterpreter::Interpret(const std::string& incoming) {
    std::string& buffer = c_.state.sReplyBuffer;
    buffer += incoming;
    // The text is read before the size limit is applied: a burst of replies in
    // one arrival (hundreds of verdicts after a stall, or a serial server's
    // block) is worth every reply in it. What is left unconsumed is then bound
    // by the limit, so noise is still dropped and the buffer never grows. Its
    // end is kept: a reply that began in this arrival (a banner behind a run
    // of prompts answered to our polls) is still recognised when it ends.
    Act();
    if (buffer.size() > kReplyBufferLimit) {
        buffer.erase(0, buffer.size() - kReplyBufferKeep);
    }
}

void ReplyInterpreter::Act() {
    const UpdateState state = c_.state.nUpdateState;
    switch (state) {
    case UpdateState::Idle:
    case UpdateState::WaitBanner:
        BannerStep();
        return;
    case UpdateState::WaitReboot:
        EntryStep();
        return;
    case UpdateState::Uploading:
    case UpdateState::WaitAcks:
        VerdictStep();
        return;
    default:
        break;
    }
    for (const EraseStep& step : c_.words.erase) {
        if (state == step.erasing) {
            EraseEcho(step);
        }
    }
    // Any other state keeps the text for the next waiting state.
}

void ReplyInterpreter::BannerStep() {
    if (IsSet(c_.config.operations.bOpBootloader)) {
        c_.view.SetCaption(StatusLabel::Bootloader, "Waiting");
    }
    if (!EndsWith(c_.state.sReplyBuffer, c_.words.bannerEnd)) {
        return;
    }
    c_.state.nAnalyserKind = AnalyserKindFromBanner(c_.state.sReplyBuffer, c_.words);
    if (c_.runActive) {
        c_.run.bootloader = BannerVersion(c_.state.sReplyBuffer, c_.words);
    }
    c_.state.sReplyBuffer.clear();
    c_.Ok(StatusLabel::Bootloader);
    c_.state.nUpdateState = UpdateState::EraseFlash;
}

void ReplyInterpreter::EntryStep() {
    std::string& buffer = c_.state.sReplyBuffer;
    if (EndsWithOffer(buffer, c_.words.entryPrompt)) {
        buffer.clear();
        c_.state.nUpdateState = UpdateState::EnterBootloader;
        return;
    }
    const std::size_t at = buffer.find(c_.words.checksumFail);
    if (at == std::string::npos) {
        return;
    }
    // The application's image was bad, so the bootloader started on its own and
    // its banner may already follow.
    buffer.erase(0, at + c_.words.checksumFail.size());
    c_.state.nUpdateState = UpdateState::WaitBanner;
    BannerStep();
}

void ReplyInterpreter::EraseEcho(const EraseStep& step) {
    c_.view.SetCaption(step.label, "Erasing");
    if (!EndsWith(c_.state.sReplyBuffer, step.echo)) {
        return;
    }
    c_.state.sReplyBuffer.clear();
    c_.Ok(step.label);
    c_.state.nUpdateState = step.next;
}

void ReplyInterpreter::VerdictStep() {
    std::string& buffer = c_.state.sReplyBuffer;
    const std::string_view start = c_.words.verdictStart;
    const std::size_t length = c_.words.verdictLength;
    std::size_t p = buffer.find(start);
    std::optional<std::size_t> last;
    while (p != std::string::npos) {
        const std::string window = buffer.substr(p, length);
        if (window.size() == length) {
            // A verdict answers the oldest record still waiting for one; with
            // none waiting, the analyser and the run disagree on what it has.
            const std::int64_t waiting = std::int64_t{c_.f.nRecordsSent} - c_.f.nRecordsPassed -
                                         c_.f.nRecordsOther - c_.recordsRejected;
            if (waiting <= 0) {
                buffer.clear();
                c_.VerdictWithoutRecord();
                return;
            }
            c_.lastVerdict = c_.now();
            const std::int32_t answered = c_.f.nRecordsPassed + c_.f.nRecordsOther + 1;
            if (window == c_.words.pass) {
                c_.DrawBar(ProgressBar::Bar2);
                ++c_.f.nRecordsPassed;
            } else if (window == c_.words.fail) {
                ++c_.recordsRejected;
                c_.view.SetCaption(StatusLabel::RUN, "FAILED");
                if (c_.state.nUpdateState != UpdateState::Failed) {
                    c_.EnterFailed(std::string(kMsgFailedSx) + " The analyser rejected record " +
                                   std::to_string(answered) + ".");
                }
                c_.box.Show(kMsgFailedSx, MsgIcon::Critical, kAppTitle);
            } else {
                ++c_.f.nRecordsOther;
                c_.box.Show(kMsgFailedSx, MsgIcon::Critical, kAppTitle);
            }
        }
        last = p;
        p = buffer.find(start, p + length);
    }
    if (last) {
        // Keep only what follows the last complete verdict, or the verdict that
        // is still arriving.
        if (buffer.size() - *last >= length) {
            buffer.erase(0, *last + length);
        } else {
            buffer.erase(0, *last);
        }
    }
}

} // namespace fw
