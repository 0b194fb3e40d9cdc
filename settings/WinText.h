// Text at the edges of the Win32 API: the program keeps UTF-8 inside and
// speaks UTF-16 to the system's wide ("W") calls. Windows only.
#pragma once

#include <string>
#include <string_view>

namespace fw {

// UTF-8 to UTF-16. A byte that is not part of valid UTF-8 becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);
// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);

// The system's text for a Win32 error code, in UTF-8, without the trailing
// full stop and line break. Inserts the text leaves open ("%1 is not a valid
// Win32 application") are filled with `subject` (or "it" when empty), so no
// "%1" reaches the user; a code the system has no text for reads "error N".
std::string SystemMessage(unsigned long error, std::string_view subject = {});

} // namespace fw
