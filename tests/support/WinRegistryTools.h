// What the Windows tests do to the system registry beyond the program's own
// calls: clearing away their keys, making a volatile key (the kind the
// hardware keys are), and telling Wine from Windows. Kept apart from the tests
// because <windows.h> defines the registry names as macros.
#pragma once

#include <string>

namespace fw::test {

// Deletes the key below HKEY_LOCAL_MACHINE with all its subkeys and values.
void DeleteMachineKeyTree(const std::string& path);
// Creates a volatile key below HKEY_LOCAL_MACHINE; true when it exists after.
bool CreateVolatileMachineKey(const std::string& path);
// True under Wine (its ntdll exports wine_get_version).
bool RunningOnWine();

} // namespace fw::test
