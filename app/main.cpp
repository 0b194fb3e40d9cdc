// Flashwright: the firmware wizard for the analyser. Settings live in the
// registry file below the user's configuration directory; the program takes no
// arguments.
#include "app/Wizard.h"
#include "engine/ModFlashwright.h"
#include "engine/RunRecord.h"
#include "link/ComPortNames.h"
#include "link/QtNetSerialPort.h"
#include "link/UsbDriverFactory.h"
#include "pages/QtMessageBox.h"
#include "platform/VersionFacility.h"
#include "settings/FileRegistry.h"

#include "FlashwrightVersion.h"

#include <QApplication>
#include <QIcon>

#include <memory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Flashwright");
    QApplication::setApplicationVersion(FW_VERSION);
    QApplication::setDesktopFileName("flashwright");
    QApplication::setWindowIcon(QIcon::fromTheme("flashwright"));
    // A page hands over to the next before it closes, and message boxes may
    // come up while no page is on screen yet: the wizard itself decides when
    // the program ends (the user has closed the last page).
    QApplication::setQuitOnLastWindowClosed(false);

    fw::FileRegistry registry(fw::DefaultRegistryFile());
    const std::unique_ptr<fw::IUsbDriver> usb = fw::MakeUsbDriver();
    fw::ComPortNames portNames(&registry);
    fw::QtMessageBox box;
    fw::FileRunLog runLog;
    fw::Wizard wizard(fw::WizardServices{
        registry,
        *usb,
        box,
        [&portNames] { return std::make_unique<fw::QtNetSerialPort>(portNames); },
        [&portNames] { return portNames.PlatformList(); },
        [&registry] { return fw::MakePlatformVersionFacility(registry); },
        fw::ChooseFileWithDialog,
        &runLog,
    });
    wizard.Start();
    return QApplication::exec();
}
