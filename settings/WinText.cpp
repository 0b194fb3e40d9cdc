#include "settings/WinText.h"

#include "settings/WinApi.h"

#include <cwctype>

namespace fw {

std::wstring WideFromUtf8(std::string_view utf8) {
    if (utf8.empty())
        return {};
    const int size = static_cast<int>(utf8.size());
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), n);
    return wide;
}

std::string Utf8FromWide(std::wstring_view wide) {
    if (wide.empty())
        return {};
    const int size = static_cast<int>(wide.size());
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::string SystemMessage(unsigned long error, std::string_view subject) {
    wchar_t* buffer = nullptr;
    // The inserts are left as they are and filled in below: the system's
    // texts name no arguments we could pass for every code.
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring raw = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
    ::LocalFree(buffer);
    const std::wstring fill = WideFromUtf8(subject.empty() ? "it" : subject);
    std::wstring text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        // %1 .. %99, possibly with a printf format ("%1!s!"); "%%" is a percent
        // sign, "%n" a line break, "%0" the end of the text.
        if (raw[i] == L'%' && i + 1 < raw.size()) {
            const wchar_t next = raw[i + 1];
            if (next >= L'1' && next <= L'9') {
                i += 2;
                while (i < raw.size() && std::iswdigit(raw[i]))
                    ++i;
                if (i < raw.size() && raw[i] == L'!') {
                    const std::size_t close = raw.find(L'!', i + 1);
                    i = close == std::wstring::npos ? raw.size() : close + 1;
                }
                --i;
                text += fill;
                continue;
            }
            if (next == L'0')
                break;
            ++i;
            text += next == L'n' ? L' ' : next;
            continue;
        }
        text += raw[i] == L'\r' || raw[i] == L'\n' ? L' ' : raw[i];
    }
    while (!text.empty() && (text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(error) : Utf8FromWide(text);
}

} // namespace fw
