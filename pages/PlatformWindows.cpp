// Windows: settings in the system registry (HKEY_LOCAL_MACHINE in the 32-bit
// view, a standard user's kept per user), the ports the system lists under
// HARDWARE\DEVICEMAP\SERIALCOMM, the Win32 COM port control, the Qt
// connection to serial device servers over TCP/IP, and the console's stop
// events through an event handle.
//
// <windows.h> defines HKEY_LOCAL_MACHINE, ERROR_SUCCESS and the like as macros,
// which would rewrite fw's constants of the same names: what is needed of it is
// wrapped first, then those macros are dropped before fw's headers come in.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

namespace {

// Removes a settings value from the machine's key (32-bit view) and the
// user's, where either has it.
void DeleteSettingValue(const std::wstring& keyPath, const std::wstring& name) {
    const std::pair<::HKEY, ::REGSAM> roots[] = {{HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
                                                 {HKEY_CURRENT_USER, 0}};
    for (const auto& [root, view] : roots) {
        ::HKEY key = nullptr;
        if (::RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_SET_VALUE | view, &key) == 0) {
            ::RegDeleteValueW(key, name.c_str());
            ::RegCloseKey(key);
        }
    }
}

} // namespace

#include "settings/WinNamesDropped.h"

#include "pages/Platform.h"

#include "link/net/QtNetPort.h"
#include "link/serial/ComPortNames.h"
#include "link/serial/Win32SerialPort.h"
#include "platform/StopSignals.h"
#include "settings/Settings.h"
#include "settings/UsefulUtils.h"
#include "settings/WinRegistry.h"
#include "settings/WinText.h"

#include <QWinEventNotifier>

#include <optional>

namespace fw {

namespace {

// The value of the SERIALCOMM key whose data names COM port `port`: the
// system's device ("\Device\Serial0").
std::string SerialCommDevice(IRegistry& registry, int port) {
    HKEY key = 0;
    if (registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKeyPath, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return {};
    }
    std::string found;
    for (DWORD i = 0;; ++i) {
        char name[256];
        std::uint8_t data[256];
        DWORD nameSize = sizeof name;
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG status =
            registry.RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        std::string text(reinterpret_cast<const char*>(data), dataSize);
        text = text.substr(0, text.find('\0'));
        if (ComPortNames::ParseComName(text) == port) {
            found.assign(name, nameSize);
            break;
        }
    }
    registry.RegCloseKey(key);
    return found;
}

PlatformParts Parts() {
    auto registry = std::make_unique<WinRegistry>();
    IRegistry* store = registry.get();
    PortListSource ports = RegistryPortList(*registry);
    return PlatformParts{
        std::move(registry),
        [] { return std::make_unique<Win32SerialPort>(); },
        [] { return std::make_unique<QtNetPort>(); },
        std::move(ports),
        nullptr,
        [store](int port) { return SerialCommDevice(*store, port); },
    };
}

} // namespace

PlatformParts MakePlatformParts() {
    return Parts();
}

PlatformParts MakePlatformParts(IRegistry&) {
    return Parts();
}

bool PortsByDevicePath() {
    return false;
}

std::string SettingsPlace() {
    return std::string("HKEY_LOCAL_MACHINE\\") + kSettingsKeyPrefix + kSection +
           " (32-bit view; per user below HKEY_CURRENT_USER)";
}

void CopySettings(IRegistry&, MemoryRegistry&) {
}

std::string SaveSettingsAtOnce(IRegistry& store,
                               const std::vector<std::pair<std::string, std::string>>& values) {
    // The registry has no step that writes several values at once: they go
    // one by one, and once one is refused those written before it are set
    // back as they were (a value that was not there is taken away again).
    Settings settings(store);
    const std::string keyPath = std::string(kSettingsKeyPrefix) + kSection;
    std::vector<std::optional<std::string>> before;
    constexpr const char* kAbsent = "\x01<absent>";
    for (const auto& [name, text] : values) {
        const std::string old = RegReadString(store, keyPath, name, kAbsent, HKEY_LOCAL_MACHINE);
        before.push_back(old == kAbsent ? std::nullopt : std::optional<std::string>(old));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (settings.SaveSettingValue(kSection, values[i].first, values[i].second)) {
            continue;
        }
        const std::string why = settings.LastSaveFailure();
        for (std::size_t j = 0; j < i; ++j) {
            if (before[j]) {
                settings.SaveSettingValue(kSection, values[j].first, *before[j]);
            } else {
                DeleteSettingValue(WideFromUtf8(keyPath), WideFromUtf8(values[j].first));
            }
        }
        return why;
    }
    return {};
}

std::unique_ptr<QObject> WatchStopSignals(std::function<void(int signal)> stopped) {
    const std::intptr_t event = CatchStopSignals();
    if (event < 0) {
        return nullptr;
    }
    auto notifier = std::make_unique<QWinEventNotifier>(reinterpret_cast<::HANDLE>(event));
    QObject::connect(notifier.get(), &QWinEventNotifier::activated, notifier.get(),
                     [stopped = std::move(stopped)] { HandleStopSignal(stopped); });
    return notifier;
}

} // namespace fw
