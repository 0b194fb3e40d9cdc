// The platform's own registry, through the wide (UTF-16) functions of
// advapi32; names and texts are UTF-8 on this side, so a value another
// program stored with the ANSI calls reads as that program meant it.
// HKEY_LOCAL_MACHINE is seen through the 32-bit registry view, as 32-bit
// programs see it (SOFTWARE\WOW6432Node on 64-bit Windows): settings a 32-bit
// installation stored are found, and values for other 32-bit programs land
// where they look. A write the machine refuses (a standard user) is kept per
// user under HKEY_CURRENT_USER, which is read first (PerUserFallbackRegistry).
// Windows only.
#pragma once

#include "settings/PerUserFallbackRegistry.h"

#include <memory>

namespace fw {

class WinRegistry : public PerUserFallbackRegistry {
public:
    WinRegistry();

    // The system registry itself, without the per-user fallback: the same
    // calls in UTF-8 over the wide functions, HKEY_LOCAL_MACHINE in the 32-bit
    // view.
    static std::unique_ptr<IRegistry> System();
};

} // namespace fw
