#include "settings/MemoryRegistry.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace fw {

namespace {

// Lower(a) == Lower(b) without making either: every look-up of a key or a value
// compares names, and a port search looks up hundreds of values.
bool SameName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return x == y || std::tolower(static_cast<unsigned char>(x)) ==
                             std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

std::string MemoryRegistry::Lower(const std::string& text) {
    std::string out = text;
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::optional<std::string> MemoryRegistry::RootName(HKEY root) {
    switch (root) {
    case HKEY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS:
        return "HKEY_USERS";
    default:
        return std::nullopt;
    }
}

std::string MemoryRegistry::JoinPath(const std::string& base, const std::string& sub) {
    std::string joined = base + "\\" + sub;
    std::string out;
    std::size_t start = 0;
    while (start <= joined.size()) {
        std::size_t end = joined.find('\\', start);
        if (end == std::string::npos) {
            end = joined.size();
        }
        if (end > start) {
            if (!out.empty()) {
                out += '\\';
            }
            out.append(joined, start, end - start);
        }
        start = end + 1;
    }
    return out;
}

std::optional<std::string> MemoryRegistry::PathOf(HKEY key) const {
    if (auto root = RootName(key)) {
        return root;
    }
    auto it = handles_.find(key);
    if (it == handles_.end()) {
        return std::nullopt;
    }
    return it->second;
}

MemoryRegistry::Key* MemoryRegistry::FindKey(const std::string& fullPath) {
    for (Key& key : keys_) {
        if (SameName(key.path, fullPath)) {
            return &key;
        }
    }
    return nullptr;
}

MemoryRegistry::Key& MemoryRegistry::CreateKey(const std::string& fullPath) {
    // Parents first, so that every key on the path exists and opens.
    std::size_t cut = fullPath.find('\\');
    while (cut != std::string::npos) {
        std::string parent = fullPath.substr(0, cut);
        if (parent.find('\\') != std::string::npos && FindKey(parent) == nullptr) {
            keys_.push_back(Key{parent, {}});
        }
        cut = fullPath.find('\\', cut + 1);
    }
    if (Key* existing = FindKey(fullPath)) {
        return *existing;
    }
    keys_.push_back(Key{fullPath, {}});
    return keys_.back();
}

void MemoryRegistry::StoreValue(Key& key, const std::string& name, DWORD type,
                                std::vector<std::uint8_t> data) {
    for (Value& value : key.values) {
        if (SameName(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key.values.push_back(Value{name, type, std::move(data)});
}

LONG MemoryRegistry::OpenKey(HKEY key, const std::string& subKey, bool create, HKEY* result) {
    if (result == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    auto base = PathOf(key);
    if (!base) {
        return ERROR_INVALID_HANDLE;
    }
    std::string path = JoinPath(*base, subKey);
    if (create) {
        if (!BeginChange()) {
            return ERROR_ACCESS_DENIED;
        }
        const bool missing = FindKey(path) == nullptr && path.find('\\') != std::string::npos;
        if (missing) {
            CreateKey(path);
        }
        if (!EndChange(missing)) {
            return ERROR_ACCESS_DENIED;
        }
    } else {
        Reload();
        bool isRoot = path.find('\\') == std::string::npos;
        if (!isRoot && FindKey(path) == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    HKEY handle = nextHandle_++;
    handles_[handle] = path;
    *result = handle;
    return ERROR_SUCCESS;
}

LONG MemoryRegistry::RegSetValueExA(HKEY key, const std::string& valueName, DWORD, DWORD type,
                                    const std::uint8_t* data, DWORD cbData) {
    auto path = PathOf(key);
    if (!path || (data == nullptr && cbData > 0)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!BeginChange()) {
        return ERROR_ACCESS_DENIED;
    }
    // The counted bytes are stored as they are, with one exception the system
    // makes for the string types: when the count leaves out the terminator that
    // lies directly behind the text, it is stored too. (The system looks at
    // that byte, so the caller's buffer must have it.) A count of 0 stores no
    // bytes at all, not a lone NUL.
    const bool isString = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (isString && cbData > 0 && data[cbData - 1] != 0 && data[cbData] == 0) {
        ++cbData;
    }
    std::vector<std::uint8_t> bytes(data, data + cbData);
    StoreValue(CreateKey(*path), valueName, type, std::move(bytes));
    return EndChange(true) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

LONG MemoryRegistry::RegQueryValueExA(HKEY key, const std::string& valueName, DWORD*, DWORD* type,
                                      std::uint8_t* data, DWORD* cbData) {
    auto path = PathOf(key);
    if (!path) {
        return ERROR_INVALID_HANDLE;
    }
    Reload();
    Key* node = FindKey(*path);
    if (node == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    for (const Value& value : node->values) {
        if (!SameName(value.name, valueName)) {
            continue;
        }
        if (type != nullptr) {
            *type = value.type;
        }
        if (cbData == nullptr) {
            return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
        }
        const DWORD size = static_cast<DWORD>(value.data.size());
        if (data != nullptr && size > *cbData) {
            *cbData = size;
            return ERROR_MORE_DATA;
        }
        if (data != nullptr && size > 0) {
            std::memcpy(data, value.data.data(), size);
        }
        *cbData = size;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG MemoryRegistry::RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName,
                                   DWORD*, DWORD* type, std::uint8_t* data, DWORD* cbData) {
    auto path = PathOf(key);
    if (!path || valueName == nullptr || cchValueName == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    // An enumeration sees the contents as they were when it began: reloading
    // between indexes could skip or repeat values of a store that changed, and
    // would read the whole store again for every value.
    if (index == 0) {
        Reload();
    }
    Key* node = FindKey(*path);
    if (node == nullptr || index >= node->values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const Value& value = node->values[index];
    // The name buffer must hold the name and its NUL.
    if (value.name.size() + 1 > *cchValueName) {
        return ERROR_MORE_DATA;
    }
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (cbData != nullptr && data != nullptr && size > *cbData) {
        *cbData = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(valueName, value.name.c_str(), value.name.size() + 1);
    *cchValueName = static_cast<DWORD>(value.name.size());
    if (type != nullptr) {
        *type = value.type;
    }
    if (cbData != nullptr) {
        if (data != nullptr && size > 0) {
            std::memcpy(data, value.data.data(), size);
        }
        *cbData = size;
    }
    return ERROR_SUCCESS;
}

LONG MemoryRegistry::RegCloseKey(HKEY key) {
    if (RootName(key)) {
        return ERROR_SUCCESS;
    }
    return handles_.erase(key) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // namespace fw
