// Flashwright: the firmware wizard for the analyser. Settings live in the
// system's registry on Windows and in a registry file below the user's
// configuration directory elsewhere (pages/Platform.h). The program takes no
// arguments but --version and --help, which answer and exit without a window.
#include "app/Wizard.h"
#include "engine/RunRecord.h"
#include "link/net/QtNetPort.h"
#include "link/usb/UsbDriverFactory.h"
#include "pages/Platform.h"
#include "pages/QtMessageBox.h"
#include "platform/VersionFacility.h"

#include "FlashwrightVersion.h"

#include <QApplication>
#include <QIcon>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("flashwright %s\n", FW_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: flashwright [--version | --help]\n"
                        "The firmware wizard for the analyser: connection, firmware file,\n"
                        "operations, progress. flashwright-cli does the same from a terminal.\n");
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Flashwright");
    QApplication::setApplicationVersion(FW_VERSION);
    QApplication::setDesktopFileName("flashwright");
    QApplication::setWindowIcon(QIcon::fromTheme("flashwright"));
    // A page hands over to the next before it closes, and message boxes may
    // come up while no page is on screen yet: the wizard itself decides when
    // the program ends (the user has closed the last page).
    QApplication::setQuitOnLastWindowClosed(false);

    fw::PlatformParts platform = fw::MakePlatformParts();
    fw::IRegistry& registry = *platform.registry;
    const std::unique_ptr<fw::IUsbDriver> usb = fw::MakeUsbDriver();
    fw::QtMessageBox box;
    fw::FileRunLog runLog;
    fw::Wizard wizard(fw::WizardServices{
        registry,
        *usb,
        box,
        platform.makeSerialPort,
        platform.makeNetPort,
        platform.portList,
        [&registry] { return fw::MakePlatformVersionFacility(registry); },
        fw::ChooseFileWithDialog,
        &runLog,
        platform.portSearchHold,
    });
    // SIGTERM, SIGHUP (the session ends), SIGINT and SIGQUIT close the wizard as
    // its close box would: a run in progress is recorded as abandoned and the
    // link closed. The program then exits with 128 + the signal's number.
    int exitCode = 0;
    wizard.SetOnAllClosed([&exitCode] { QApplication::exit(exitCode); });
    const std::unique_ptr<QObject> stopSignals = fw::WatchStopSignals([&](int sig) {
        exitCode = 128 + sig;
        wizard.CloseAll();
        QApplication::exit(exitCode);
    });
    if (!stopSignals) {
        std::fprintf(stderr, "flashwright: cannot catch SIGTERM: %s\n", std::strerror(errno));
    }
    wizard.Start();
    const int code = QApplication::exec();
    // A device server's name lookup still out holds no close.
    fw::ExitWithoutWaitingForLookups(code);
    return code;
}
