#include "settings/PerUserFallbackRegistry.h"

#include <vector>

namespace fw {

namespace {

// Reads the name of value `index` of `key` from `store`, whatever its length.
// The status is ERROR_SUCCESS or ERROR_MORE_DATA (its data, not asked for, did
// not fit) when there is such a value; `name` is set only then.
LONG ValueName(IRegistry& store, HKEY key, DWORD index, std::string& name) {
    char buffer[16384];
    DWORD length = sizeof buffer;
    DWORD size = 0;
    const LONG status =
        store.RegEnumValueA(key, index, buffer, &length, nullptr, nullptr, nullptr, &size);
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)
        name.assign(buffer, length);
    return status;
}

bool IsRoot(HKEY key) {
    return key >= HKEY_CLASSES_ROOT && key <= HKEY_USERS;
}

std::string Join(const std::string& base, const std::string& sub) {
    if (base.empty())
        return sub;
    if (sub.empty())
        return base;
    return base + "\\" + sub;
}

} // namespace

PerUserFallbackRegistry::PerUserFallbackRegistry(IRegistry& store) : store_(store) {
}

PerUserFallbackRegistry::PerUserFallbackRegistry(std::unique_ptr<IRegistry> store)
    : owned_(std::move(store)), store_(*owned_) {
}

PerUserFallbackRegistry::~PerUserFallbackRegistry() {
    while (!keys_.empty())
        RegCloseKey(keys_.begin()->first);
}

PerUserFallbackRegistry::Key* PerUserFallbackRegistry::Find(HKEY key) {
    const auto it = keys_.find(key);
    return it == keys_.end() ? nullptr : it->second.get();
}

LONG PerUserFallbackRegistry::OpenKey(HKEY key, const std::string& subKey, bool create,
                                      HKEY* result) {
    auto opened = std::make_unique<Key>();
    if (IsRoot(key)) {
        opened->root = key;
        opened->path = subKey;
    } else if (const Key* parent = Find(key)) {
        opened->root = parent->root;
        opened->path = Join(parent->path, subKey);
    } else {
        return ERROR_INVALID_HANDLE;
    }
    const bool machineWide = opened->root == HKEY_LOCAL_MACHINE;
    LONG status = create ? store_.RegCreateKeyA(opened->root, opened->path, &opened->machine)
                         : store_.RegOpenKeyA(opened->root, opened->path, &opened->machine);
    opened->writable = create && status == ERROR_SUCCESS;
    if (machineWide) {
        if (create && status == ERROR_ACCESS_DENIED) {
            // No right to create or write the machine's key: read it where it
            // exists, and keep what is written per user.
            status = store_.RegOpenKeyA(opened->root, opened->path, &opened->machine);
            const LONG userStatus =
                store_.RegCreateKeyA(HKEY_CURRENT_USER, opened->path, &opened->user);
            if (userStatus != ERROR_SUCCESS) {
                if (status == ERROR_SUCCESS)
                    store_.RegCloseKey(opened->machine);
                return userStatus;
            }
        } else if (store_.RegOpenKeyA(HKEY_CURRENT_USER, opened->path, &opened->user) !=
                   ERROR_SUCCESS) {
            opened->user = 0;
        }
        if (status != ERROR_SUCCESS)
            opened->machine = 0;
        if (opened->machine == 0 && opened->user == 0)
            return status;
    } else if (status != ERROR_SUCCESS) {
        return status;
    }
    const HKEY handle = next_++;
    keys_[handle] = std::move(opened);
    if (result != nullptr)
        *result = handle;
    return ERROR_SUCCESS;
}

bool PerUserFallbackRegistry::HasUserValue(const Key& key, const std::string& valueName) {
    if (key.user == 0)
        return false;
    DWORD size = 0;
    const LONG status =
        store_.RegQueryValueExA(key.user, valueName, nullptr, nullptr, nullptr, &size);
    return status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
}

LONG PerUserFallbackRegistry::RegSetValueExA(HKEY handle, const std::string& valueName,
                                             DWORD reserved, DWORD type, const std::uint8_t* data,
                                             DWORD cbData) {
    Key* key = Find(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    LONG status = ERROR_ACCESS_DENIED;
    if (key->machine != 0 && (key->writable || key->root != HKEY_LOCAL_MACHINE))
        status = store_.RegSetValueExA(key->machine, valueName, reserved, type, data, cbData);
    if (key->root != HKEY_LOCAL_MACHINE)
        return status;
    if (status == ERROR_SUCCESS) {
        if (HasUserValue(*key, valueName))
            store_.RegSetValueExA(key->user, valueName, reserved, type, data, cbData);
        return status;
    }
    if (status != ERROR_ACCESS_DENIED)
        return status;
    if (key->user == 0 &&
        store_.RegCreateKeyA(HKEY_CURRENT_USER, key->path, &key->user) != ERROR_SUCCESS) {
        key->user = 0;
        return status;
    }
    return store_.RegSetValueExA(key->user, valueName, reserved, type, data, cbData);
}

LONG PerUserFallbackRegistry::RegQueryValueExA(HKEY handle, const std::string& valueName,
                                               DWORD* reserved, DWORD* type, std::uint8_t* data,
                                               DWORD* cbData) {
    const Key* key = Find(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (key->user != 0) {
        const LONG status =
            store_.RegQueryValueExA(key->user, valueName, reserved, type, data, cbData);
        if (status != ERROR_FILE_NOT_FOUND || key->machine == 0)
            return status;
    }
    return store_.RegQueryValueExA(key->machine, valueName, reserved, type, data, cbData);
}

LONG PerUserFallbackRegistry::RegEnumValueA(HKEY handle, DWORD index, char* valueName,
                                            DWORD* cchValueName, DWORD* reserved, DWORD* type,
                                            std::uint8_t* data, DWORD* cbData) {
    Key* key = Find(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    // The per-user values take the first indexes.
    DWORD userCount = 0;
    if (key->user != 0) {
        const LONG status = store_.RegEnumValueA(key->user, index, valueName, cchValueName,
                                                 reserved, type, data, cbData);
        if (status != ERROR_NO_MORE_ITEMS)
            return status;
        // Count them.
        for (std::string name;; ++userCount) {
            const LONG counted = ValueName(store_, key->user, userCount, name);
            if (counted != ERROR_SUCCESS && counted != ERROR_MORE_DATA)
                break;
        }
    }
    if (key->machine == 0)
        return ERROR_NO_MORE_ITEMS;
    // Then the machine's, less those a per-user value of the same name hides.
    DWORD wanted = index - userCount;
    for (DWORD machineIndex = 0;; ++machineIndex) {
        std::string name;
        const LONG status = ValueName(store_, key->machine, machineIndex, name);
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            return status;
        if (HasUserValue(*key, name))
            continue;
        if (wanted-- == 0)
            return store_.RegEnumValueA(key->machine, machineIndex, valueName, cchValueName,
                                        reserved, type, data, cbData);
    }
}

LONG PerUserFallbackRegistry::RegCloseKey(HKEY handle) {
    const auto it = keys_.find(handle);
    if (it == keys_.end())
        return ERROR_INVALID_HANDLE;
    if (it->second->machine != 0)
        store_.RegCloseKey(it->second->machine);
    if (it->second->user != 0)
        store_.RegCloseKey(it->second->user);
    keys_.erase(it);
    return ERROR_SUCCESS;
}

} // namespace fw
