// The machine's settings with a per-user fallback, as a standard user on
// Windows needs them: keys below HKEY_LOCAL_MACHINE are read and written
// there, and when the machine refuses a write (ERROR_ACCESS_DENIED: no
// administrator rights) the value is kept under HKEY_CURRENT_USER at the same
// path instead. Reads look at the per-user value first, then the machine's; a
// listing gives the per-user values first, then the machine's values of other
// names. A machine-wide write that succeeds also updates a per-user value of
// the same name, so an older per-user choice never hides a newer one.
//
// Every handle it hands out is its own (one per opened key, holding the
// machine's and the user's handles of the store below); keys below the other
// roots pass straight through.
#pragma once

#include "settings/Registry.h"

#include <map>
#include <memory>
#include <string>

namespace fw {

class PerUserFallbackRegistry : public KeyOpeningRegistry {
public:
    // `store` holds both roots and must outlive this object.
    explicit PerUserFallbackRegistry(IRegistry& store);
    // The same over a store of its own.
    explicit PerUserFallbackRegistry(std::unique_ptr<IRegistry> store);
    ~PerUserFallbackRegistry() override;
    PerUserFallbackRegistry(const PerUserFallbackRegistry&) = delete;
    PerUserFallbackRegistry& operator=(const PerUserFallbackRegistry&) = delete;

    LONG RegSetValueExA(HKEY key, const std::string& valueName, DWORD reserved, DWORD type,
                        const std::uint8_t* data, DWORD cbData) override;
    LONG RegQueryValueExA(HKEY key, const std::string& valueName, DWORD* reserved, DWORD* type,
                          std::uint8_t* data, DWORD* cbData) override;
    LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName, DWORD* reserved,
                       DWORD* type, std::uint8_t* data, DWORD* cbData) override;
    LONG RegCloseKey(HKEY key) override;

private:
    struct Key {
        HKEY root = 0;
        std::string path;      // below the root
        HKEY machine = 0;      // the key in the store (for other roots: the only one)
        HKEY user = 0;         // the per-user key, when it exists (HKEY_LOCAL_MACHINE only)
        bool writable = false; // `machine` was created, not just opened for reading
    };

    LONG OpenKey(HKEY key, const std::string& subKey, bool create, HKEY* result) override;
    Key* Find(HKEY key);
    bool HasUserValue(const Key& key, const std::string& valueName);

    std::unique_ptr<IRegistry> owned_; // the store, when it is this object's own
    IRegistry& store_;
    std::map<HKEY, std::unique_ptr<Key>> keys_;
    HKEY next_ = 1;
};

} // namespace fw
