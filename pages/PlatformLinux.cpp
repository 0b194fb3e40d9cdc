// Linux: settings in the registry file below the user's configuration folder,
// ports numbered over the device tree (and the registry's extra ports), the Qt
// serial control, the Qt connection to serial device servers over TCP/IP, and
// the stop signals through their pipe.
#include "pages/Platform.h"

#include "link/net/QtNetPort.h"
#include "link/serial/ComPortNames.h"
#include "link/serial/QtSerialPort.h"
#include "platform/StopSignals.h"
#include "settings/FileRegistry.h"
#include "settings/Settings.h"

#include <QSocketNotifier>

namespace fw {

namespace {

PlatformParts Parts(std::unique_ptr<IRegistry> registry, IRegistry* ports) {
    auto names = std::make_shared<ComPortNames>(ports != nullptr ? ports : registry.get());
    return PlatformParts{
        std::move(registry),
        [names] { return std::make_unique<QtSerialPort>(*names); },
        [] { return std::make_unique<QtNetPort>(); },
        [names] { return names->PlatformList(); },
        [names] { return names->HoldRegistryPorts(); },
        [names](int port) { return names->DevicePath(port).value_or(""); },
    };
}

} // namespace

PlatformParts MakePlatformParts() {
    return Parts(std::make_unique<FileRegistry>(DefaultRegistryFile()), nullptr);
}

PlatformParts MakePlatformParts(IRegistry& ports) {
    return Parts(std::make_unique<FileRegistry>(DefaultRegistryFile()), &ports);
}

bool PortsByDevicePath() {
    return true;
}

std::string SettingsPlace() {
    return DefaultRegistryFile();
}

void CopySettings(IRegistry& store, MemoryRegistry& copy) {
    if (auto* file = dynamic_cast<FileRegistry*>(&store)) {
        ComPortNames(file).Ports(); // reads the file
        copy.Assign(file->Keys());
    }
}

std::string SaveSettingsAtOnce(IRegistry& store,
                               const std::vector<std::pair<std::string, std::string>>& values) {
    auto* file = dynamic_cast<FileRegistry*>(&store);
    if (file == nullptr) {
        return "no settings file";
    }
    // One lock, one write: every value reaches the file or none does.
    Settings settings(*file);
    bool saved = file->BeginChanges();
    if (saved) {
        for (const auto& [name, text] : values) {
            settings.SaveSettingValue(kSection, name, text);
        }
        saved = file->EndChanges();
    }
    if (saved) {
        return {};
    }
    if (file->LockBusy()) {
        return "another program has kept " + file->Path() + " locked for " +
               std::to_string(file->LockWait().count() / 1000) + " s";
    }
    const std::string why = file->WriteFailure();
    return why.empty() ? file->Path() + " could not be written" : why;
}

std::unique_ptr<QObject> WatchStopSignals(std::function<void(int signal)> stopped) {
    const std::intptr_t pipe = CatchStopSignals();
    if (pipe < 0) {
        return nullptr;
    }
    auto notifier =
        std::make_unique<QSocketNotifier>(static_cast<qintptr>(pipe), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                     [stopped = std::move(stopped)] { HandleStopSignal(stopped); });
    return notifier;
}

} // namespace fw
