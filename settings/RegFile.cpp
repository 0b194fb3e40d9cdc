#include "settings/RegFile.h"

#include "settings/Hex.h"
#include "settings/Text.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace fw {

namespace {

using Key = MemoryRegistry::Key;
using Value = MemoryRegistry::Value;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

constexpr std::string_view kLineBlanks = " \t\r";

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() &&
           MemoryRegistry::Lower(std::string(s.substr(0, prefix.size()))) == prefix;
}

void SkipBlanks(std::string_view s, std::size_t& pos) {
    while (pos < s.size() && IsBlank(s[pos])) {
        ++pos;
    }
}

// Nothing but blanks and perhaps a comment from `pos` on.
bool OnlyCommentLeft(std::string_view s, std::size_t pos) {
    SkipBlanks(s, pos);
    return pos == s.size() || s[pos] == ';';
}

// Reads 1 to `maxDigits` hex digits at `pos` into `value`.
bool ReadHexNumber(std::string_view s, std::size_t& pos, std::size_t maxDigits,
                   std::uint32_t& value) {
    std::size_t digits = 0;
    value = 0;
    while (pos < s.size() && HexDigit(s[pos]) >= 0) {
        if (++digits > maxDigits) {
            return false;
        }
        value = value * 16 + static_cast<std::uint32_t>(HexDigit(s[pos]));
        ++pos;
    }
    return digits > 0;
}

// A quoted text starting at s[pos] == '"'. Only \\ and \" are escapes; any other
// backslash stands for itself, so a hand-written C:\fw\a.sx keeps its
// backslashes. On success `pos` is just past the closing quote.
std::optional<std::string> ReadQuoted(std::string_view s, std::size_t& pos) {
    std::string out;
    for (std::size_t i = pos + 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            pos = i + 1;
            return out;
        }
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            ++i;
        }
        out += s[i];
    }
    return std::nullopt;
}

// "00,01, 2f": bytes of one or two hex digits between commas; may be empty.
bool ReadHexList(std::string_view s, std::vector<std::uint8_t>& out) {
    std::size_t pos = 0;
    if (OnlyCommentLeft(s, pos)) {
        return true;
    }
    for (;;) {
        SkipBlanks(s, pos);
        std::uint32_t byte = 0;
        if (!ReadHexNumber(s, pos, 2, byte)) {
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(byte));
        SkipBlanks(s, pos);
        if (OnlyCommentLeft(s, pos)) {
            return true;
        }
        if (s[pos] != ',') {
            return false;
        }
        ++pos;
    }
}

void AppendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
}

// The string form carries text, one implied NUL and nothing else.
bool FitsStringForm(const Value& value) {
    if (value.type != REG_SZ || value.data.empty() || value.data.back() != 0) {
        return false;
    }
    for (std::size_t i = 0; i + 1 < value.data.size(); ++i) {
        if (value.data[i] < 0x20 || value.data[i] == 0x7f) {
            return false;
        }
    }
    return true;
}

void AppendValue(std::string& out, const Value& value) {
    const std::size_t lineStart = out.size();
    if (value.name.empty()) {
        out += '@';
    } else {
        out += '"';
        AppendEscaped(out, value.name);
        out += '"';
    }
    out += '=';
    if (FitsStringForm(value)) {
        out += '"';
        AppendEscaped(out, std::string(value.data.begin(), value.data.end() - 1));
        out += "\"\n";
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                     (static_cast<std::uint32_t>(value.data[3]) << 24);
        out += "dword:";
        out += HexText(number, 8, false);
        out += '\n';
        return;
    }
    if (value.type == REG_BINARY) {
        out += "hex:";
    } else {
        out += "hex(";
        out += HexText(value.type, 1, false);
        out += "):";
    }
    // Lines of at most about 80 characters, as registry exports have them.
    std::size_t start = lineStart;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        out += HexText(value.data[i], 2, false);
        if (i + 1 < value.data.size()) {
            out += ',';
            if (out.size() - start > 76) {
                out += "\\\n  ";
                start = out.size() - 2;
            }
        }
    }
    out += '\n';
}

// The length of the value's line in the written text.
std::size_t TextSize(const Value& value) {
    std::string line;
    AppendValue(line, value);
    return line.size();
}

constexpr std::string_view kHeader = "REGEDIT4\n";

// Keys and values collected in MemoryRegistry's order and with its name
// matching, with indexes so that a large file parses in linear time. It keeps
// count of the text the writer will make of them and takes nothing that would
// make it longer than kMaxRegFileSize: what was read can always be written and
// read again, and a key line, which creates every key on its path, cannot make
// a small file take up a great deal of memory.
class Builder {
public:
    // The key's index; nullopt when it and its missing parents do not fit.
    std::optional<std::size_t> OpenKey(const std::string& path) {
        // The keys to create are the parents (those below the root) and the
        // key itself, shortest first. Whenever a key exists its parents do, so
        // the ones missing are the tail of that list, found by halving.
        std::vector<std::size_t> ends;
        const std::size_t rootEnd = path.find('\\');
        for (std::size_t cut = rootEnd; cut != std::string::npos; cut = path.find('\\', cut + 1)) {
            if (cut != rootEnd) {
                ends.push_back(cut);
            }
        }
        ends.push_back(path.size());
        std::size_t low = 0, high = ends.size();
        while (low < high) {
            const std::size_t mid = (low + high) / 2;
            if (keyIndex_.count(MemoryRegistry::Lower(path.substr(0, ends[mid]))) != 0) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        std::size_t need = 0;
        for (std::size_t i = low; i < ends.size(); ++i) {
            need += ends[i] + 4; // "[" path "]" and a blank line
        }
        if (need > room_) {
            return std::nullopt;
        }
        room_ -= need;
        for (std::size_t i = low; i < ends.size(); ++i) {
            keyIndex_.emplace(MemoryRegistry::Lower(path.substr(0, ends[i])), keys_.size());
            keys_.push_back(Key{path.substr(0, ends[i]), {}});
            valueIndex_.emplace_back();
        }
        return keyIndex_.at(MemoryRegistry::Lower(path));
    }

    // False when the value does not fit.
    bool Store(std::size_t key, std::string name, DWORD type, std::vector<std::uint8_t> data) {
        std::vector<Value>& values = keys_[key].values;
        const auto found = valueIndex_[key].find(MemoryRegistry::Lower(name));
        Value value{found == valueIndex_[key].end() ? std::move(name) : values[found->second].name,
                    type, std::move(data)};
        const std::size_t size = TextSize(value);
        const std::size_t freed =
            found == valueIndex_[key].end() ? 0 : TextSize(values[found->second]);
        if (size > room_ + freed) {
            return false;
        }
        room_ = room_ + freed - size;
        if (found == valueIndex_[key].end()) {
            valueIndex_[key].emplace(MemoryRegistry::Lower(value.name), values.size());
            values.push_back(std::move(value));
        } else {
            values[found->second] = std::move(value);
        }
        return true;
    }

    // Makes room for a comment line; false when it does not fit.
    bool Reserve(std::size_t lineSize) {
        if (lineSize + 1 > room_) {
            return false;
        }
        room_ -= lineSize + 1;
        return true;
    }

    const Key& At(std::size_t key) const { return keys_[key]; }
    std::vector<Key> Take() { return std::move(keys_); }

private:
    std::size_t room_ = kMaxRegFileSize - kHeader.size();
    std::vector<Key> keys_;
    std::unordered_map<std::string, std::size_t> keyIndex_;
    std::vector<std::unordered_map<std::string, std::size_t>> valueIndex_;
};

struct ParsedValue {
    std::string name;
    bool absent = false; // "name"=-
    DWORD type = REG_SZ;
    std::vector<std::uint8_t> data;
};

// The text line by line, without the line ends, counting lines.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool AtEnd() const { return pos_ > text_.size() || text_.empty(); }
    std::string_view Peek() const {
        const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
        return text_.substr(pos_, end - pos_);
    }
    std::string_view Next() {
        const std::string_view line = Peek();
        pos_ += line.size() + 1;
        ++number_;
        return line;
    }
    // 1-based number of the line Next() returned last.
    std::size_t Number() const { return number_; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t number_ = 0;
};

// One value line, with the continuation lines of a hex list, which it takes
// from `reader`. nullopt when it does not parse.
std::optional<ParsedValue> ParseValue(std::string_view line, LineReader& reader) {
    ParsedValue v;
    std::size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else {
        auto name = ReadQuoted(line, pos);
        if (!name) {
            return std::nullopt;
        }
        v.name = std::move(*name);
    }
    SkipBlanks(line, pos);
    if (pos == line.size() || line[pos] != '=') {
        return std::nullopt;
    }
    ++pos;
    SkipBlanks(line, pos);
    const std::string_view rest = line.substr(pos);
    if (!rest.empty() && rest[0] == '"') {
        std::size_t end = 0;
        auto text = ReadQuoted(rest, end);
        if (!text || !OnlyCommentLeft(rest, end)) {
            return std::nullopt;
        }
        v.data.assign(text->begin(), text->end());
        v.data.push_back(0);
        return v;
    }
    if (!rest.empty() && rest[0] == '-' && OnlyCommentLeft(rest, 1)) {
        v.absent = true;
        return v;
    }
    if (StartsWithNoCase(rest, "dword:")) {
        std::size_t end = 6;
        std::uint32_t number = 0;
        if (!ReadHexNumber(rest, end, 8, number) || !OnlyCommentLeft(rest, end)) {
            return std::nullopt;
        }
        v.type = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8) {
            v.data.push_back(static_cast<std::uint8_t>(number >> shift));
        }
        return v;
    }
    if (!StartsWithNoCase(rest, "hex")) {
        return std::nullopt;
    }
    std::size_t end = 3;
    v.type = REG_BINARY;
    if (end < rest.size() && rest[end] == '(') {
        ++end;
        if (!ReadHexNumber(rest, end, 8, v.type) || end >= rest.size() || rest[end] != ')') {
            return std::nullopt;
        }
        ++end;
    }
    if (end >= rest.size() || rest[end] != ':') {
        return std::nullopt;
    }
    std::string list(rest.substr(end + 1));
    // A list ending in a backslash goes on in the next line; a next line that
    // does not start with a hex digit means the list was cut off.
    while (!list.empty() && list.back() == '\\') {
        list.pop_back();
        const std::string_view next =
            reader.AtEnd() ? std::string_view() : Trim(reader.Peek(), kLineBlanks);
        if (next.empty() || HexDigit(next[0]) < 0) {
            return std::nullopt;
        }
        list += next;
        reader.Next();
    }
    if (!ReadHexList(list, v.data)) {
        return std::nullopt;
    }
    return v;
}

bool IsHeader(std::string_view line) {
    const std::string lower = MemoryRegistry::Lower(std::string(line));
    return lower == "regedit4" || lower == "windows registry editor version 5.00";
}

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16 little-endian (without its byte-order mark) as UTF-8. A lone
// surrogate or a last odd byte becomes U+FFFD; `firstBad` is then the offset
// in the result where the first one went.
std::string Utf16LeToUtf8(std::string_view in, std::optional<std::size_t>& firstBad) {
    std::string out;
    out.reserve(in.size() / 2);
    auto unit = [&in](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(in[i]) |
                                          (static_cast<unsigned char>(in[i + 1]) << 8));
    };
    auto bad = [&] {
        if (!firstBad) {
            firstBad = out.size();
        }
        AppendUtf8(out, 0xFFFD);
    };
    std::size_t i = 0;
    for (; i + 1 < in.size(); i += 2) {
        const std::uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < in.size() && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) < 0xE000) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 2) - 0xDC00));
            i += 2;
        } else if (u >= 0xD800 && u < 0xE000) {
            bad();
        } else {
            AppendUtf8(out, u);
        }
    }
    if (i < in.size()) {
        bad();
    }
    return out;
}

std::string_view Unterminated(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

void AppendLines(std::string& out, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        out += line;
        out += '\n';
    }
}

} // namespace

RegFileContents ParseRegFile(std::string_view text) {
    RegFileContents result;
    std::string decoded;
    std::optional<std::size_t> badUnit;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    } else if (text.substr(0, 2) == "\xFF\xFE") {
        decoded = Utf16LeToUtf8(text.substr(2), badUnit);
        text = decoded;
    }
    LineReader reader(text);
    auto markBad = [&result](std::size_t number) {
        if (!result.damaged) {
            result.damaged = true;
            result.firstBadLine = number;
        }
    };
    // Comment lines wait here for the line they stand before.
    std::vector<std::string> pending;
    auto place = [&pending](std::vector<std::string>& where) {
        where.insert(where.end(), std::make_move_iterator(pending.begin()),
                     std::make_move_iterator(pending.end()));
        pending.clear();
    };
    Builder builder;
    enum class Section { None, Open, Dropped, Bad } section = Section::None;
    std::size_t key = 0;
    bool headerChecked = false;
    while (!reader.AtEnd()) {
        const std::string_view raw = reader.Next();
        const std::string_view line = Trim(raw, kLineBlanks);
        const std::size_t number = reader.Number();
        if (line.empty()) {
            continue;
        }
        if (line[0] == ';') {
            const std::string_view comment = Unterminated(raw);
            if (builder.Reserve(comment.size())) {
                pending.emplace_back(comment);
            } else {
                markBad(number);
            }
            continue;
        }
        if (!headerChecked) {
            headerChecked = true;
            if (IsHeader(line)) {
                place(result.comments.beforeHeader);
                continue;
            }
            markBad(number);
        }
        if (line[0] == '[') {
            if (line.size() < 2 || line.back() != ']') {
                markBad(number);
                section = Section::Bad;
                continue;
            }
            const std::string path =
                MemoryRegistry::JoinPath(std::string(line.substr(1, line.size() - 2)), "");
            std::optional<std::size_t> opened;
            if (!path.empty() && path[0] == '-') {
                section = Section::Dropped;
            } else if (path.empty() || !(opened = builder.OpenKey(path))) {
                markBad(number);
                section = Section::Bad;
            } else {
                key = *opened;
                section = Section::Open;
                if (!pending.empty()) {
                    place(result.comments.beforeKey[MemoryRegistry::Lower(builder.At(key).path)]);
                }
            }
            continue;
        }
        if (line[0] != '"' && line[0] != '@') {
            markBad(number);
            continue;
        }
        auto value = ParseValue(line, reader);
        if (!value || section == Section::None) {
            markBad(number);
        } else if (section == Section::Open && !value->absent) {
            std::pair<std::string, std::string> where;
            if (!pending.empty()) {
                where = {MemoryRegistry::Lower(builder.At(key).path),
                         MemoryRegistry::Lower(value->name)};
            }
            if (!builder.Store(key, std::move(value->name), value->type, std::move(value->data))) {
                markBad(number);
            } else if (!pending.empty()) {
                place(result.comments.beforeValue[std::move(where)]);
            }
        }
    }
    place(result.comments.atEnd);
    if (badUnit) {
        // The line the first undecodable character went to.
        const std::size_t line =
            1 +
            static_cast<std::size_t>(std::count(decoded.begin(), decoded.begin() + *badUnit, '\n'));
        if (!result.damaged || line < result.firstBadLine) {
            result.damaged = true;
            result.firstBadLine = line;
        }
    }
    result.keys = builder.Take();
    return result;
}

std::optional<std::string> WriteRegFile(const std::vector<MemoryRegistry::Key>& keys,
                                        const RegFileComments& comments) {
    std::string out;
    AppendLines(out, comments.beforeHeader);
    out += kHeader;
    // Comments whose line is no longer there go to the end.
    const bool anyPlaced = !comments.beforeKey.empty() || !comments.beforeValue.empty();
    std::size_t placed = 0;
    for (const Key& key : keys) {
        if (key.path.find('\n') != std::string::npos) {
            return std::nullopt;
        }
        const std::string path = anyPlaced ? MemoryRegistry::Lower(key.path) : std::string();
        out += '\n';
        if (const auto it = comments.beforeKey.find(path);
            anyPlaced && it != comments.beforeKey.end()) {
            AppendLines(out, it->second);
            ++placed;
        }
        out += '[';
        out += key.path;
        out += "]\n";
        for (const Value& value : key.values) {
            if (value.name.find('\n') != std::string::npos) {
                return std::nullopt;
            }
            if (!comments.beforeValue.empty()) {
                const auto it =
                    comments.beforeValue.find({path, MemoryRegistry::Lower(value.name)});
                if (it != comments.beforeValue.end()) {
                    AppendLines(out, it->second);
                    ++placed;
                }
            }
            AppendValue(out, value);
        }
        if (out.size() > kMaxRegFileSize) {
            return std::nullopt;
        }
    }
    if (placed < comments.beforeKey.size() + comments.beforeValue.size()) {
        std::unordered_set<std::string> paths;
        std::set<std::pair<std::string, std::string>> values;
        for (const Key& key : keys) {
            paths.insert(MemoryRegistry::Lower(key.path));
            for (const Value& value : key.values) {
                values.emplace(MemoryRegistry::Lower(key.path), MemoryRegistry::Lower(value.name));
            }
        }
        for (const auto& [path, lines] : comments.beforeKey) {
            if (paths.count(path) == 0) {
                AppendLines(out, lines);
            }
        }
        for (const auto& [where, lines] : comments.beforeValue) {
            if (values.count(where) == 0) {
                AppendLines(out, lines);
            }
        }
    }
    AppendLines(out, comments.atEnd);
    if (out.size() > kMaxRegFileSize) {
        return std::nullopt;
    }
    return out;
}

} // namespace fw
