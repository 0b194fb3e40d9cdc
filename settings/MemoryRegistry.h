// A registry held in memory, with the platform registry's semantics: key and
// value names are case-insensitive and case-preserving, values enumerate in the
// order they were first written, string values keep one terminating NUL.
// The file-backed registry keeps its contents in one of these.
#pragma once

#include "settings/Registry.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fw {

class MemoryRegistry : public KeyOpeningRegistry {
public:
    struct Value {
        std::string name;
        DWORD type = REG_SZ;
        std::vector<std::uint8_t> data;
        bool operator==(const Value&) const = default;
    };
    struct Key {
        std::string path; // full path from the root name, e.g. HKEY_LOCAL_MACHINE\SOFTWARE\X
        std::vector<Value> values;
        bool operator==(const Key&) const = default;
    };

    LONG RegSetValueExA(HKEY key, const std::string& valueName, DWORD reserved, DWORD type,
                        const std::uint8_t* data, DWORD cbData) override;
    LONG RegQueryValueExA(HKEY key, const std::string& valueName, DWORD* reserved, DWORD* type,
                          std::uint8_t* data, DWORD* cbData) override;
    LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName, DWORD* reserved,
                       DWORD* type, std::uint8_t* data, DWORD* cbData) override;
    LONG RegCloseKey(HKEY key) override;

    // The contents, in the order keys were first created.
    const std::vector<Key>& Keys() const { return keys_; }
    // Replaces the whole contents (open handles keep naming their paths).
    void Assign(std::vector<Key> keys) { keys_ = std::move(keys); }
    // Creates the key and every missing parent; returns it.
    Key& CreateKey(const std::string& fullPath);
    Key* FindKey(const std::string& fullPath);
    // Sets a value as RegSetValueExA would store it.
    static void StoreValue(Key& key, const std::string& name, DWORD type,
                           std::vector<std::uint8_t> data);

    // "HKEY_LOCAL_MACHINE" for HKEY_LOCAL_MACHINE etc.; nullopt for other values.
    static std::optional<std::string> RootName(HKEY root);
    // Joins and tidies a path: no empty segments, single backslashes.
    static std::string JoinPath(const std::string& base, const std::string& sub);
    static std::string Lower(const std::string& text);

protected:
    // Full path for an open handle or a root; nullopt for an unknown handle.
    std::optional<std::string> PathOf(HKEY key) const;
    // Hooks for a backing store. Reload runs before an operation reads the
    // contents (for an enumeration of values, before index 0 only). BeginChange runs before an
    // operation that may change them (a store takes its lock and reloads there; false: the call
    // fails), EndChange after it, with whether anything changed; it returns false when the change
    // could not be made durable, and the call then fails.
    virtual void Reload() {}
    virtual bool BeginChange() { return true; }
    virtual bool EndChange(bool /*changed*/) { return true; }

private:
    LONG OpenKey(HKEY key, const std::string& subKey, bool create, HKEY* result) override;
    std::vector<Key> keys_;
    std::map<HKEY, std::string> handles_;
    HKEY nextHandle_ = 1;
};

} // namespace fw
