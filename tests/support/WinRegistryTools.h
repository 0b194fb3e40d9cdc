// What the Windows tests do to the system registry beyond the program's own
// calls: clearing away their keys, making a volatile key (the kind the
// hardware keys are), storing a value as an ANSI program would, and telling
// Wine from Windows. Kept apart from the tests because <windows.h> defines the
// registry names as macros. Keys below HKEY_LOCAL_MACHINE are in the 32-bit
// view, where the program keeps them.
#pragma once

#include <optional>
#include <string>

namespace fw::test {

// Deletes the key below HKEY_LOCAL_MACHINE with all its subkeys and values,
// and the same key below HKEY_CURRENT_USER.
void DeleteMachineKeyTree(const std::string& path);
// Creates a volatile key below HKEY_LOCAL_MACHINE; true when it exists after.
bool CreateVolatileMachineKey(const std::string& path);
// Stores `ansi` (bytes in the ANSI code page) as a string value with the ANSI
// call, as a program built without Unicode does.
bool SetAnsiMachineValue(const std::string& path, const std::string& name, const std::string& ansi);
// `text` in the ANSI code page; nullopt when the code page cannot spell it.
std::optional<std::string> InAnsiCodePage(const std::wstring& text);
// True under Wine (its ntdll exports wine_get_version).
bool RunningOnWine();

} // namespace fw::test
