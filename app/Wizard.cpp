#include "app/Wizard.h"

#include <QCoreApplication>
#include <QWidget>

namespace fw {

Wizard::Wizard(WizardServices s)
    : settings(s.registry),
      run(RunServices{progress, progress.Fields(), s.box,
                      TransportMakers{s.makeSerialPort, s.makeNetPort, s.usb}, s.runLog}),
      discovery(s.platformPortList, s.registry, s.box, s.portSearchHold),
      operations(choices.operations), firmware(settings, choices, s.box, s.chooseFile),
      connection(ConnectionPage::Services{settings, choices, s.usb, s.box, discovery,
                                          s.makeSerialPort, s.makeVersionFacility}),
      onAllClosed_([] { QCoreApplication::quit(); }) {
    connection.SetNext(firmware);
    firmware.SetNeighbours(connection, operations);
    operations.SetNeighbours(firmware, progress, [this] { run.Connect(choices); });
    progress.Attach(run, operations);
    for (QtPage* page :
         std::initializer_list<QtPage*>{&connection, &firmware, &operations, &progress}) {
        page->SetAfterUserClose([this] { AfterUserClose(); });
    }
}

void Wizard::Start() {
    SetOperationDefaults(choices.operations);
    connection.Show();
}

bool Wizard::AnyPageLoaded() const {
    return connection.IsLoaded() || firmware.IsLoaded() || operations.IsLoaded() ||
           progress.IsLoaded();
}

void Wizard::CloseAll() {
    for (QtPage* page :
         std::initializer_list<QtPage*>{&progress, &operations, &firmware, &connection}) {
        if (QWidget* window = page->Window()) {
            window->close();
        }
    }
}

void Wizard::AfterUserClose() {
    if (!AnyPageLoaded() && onAllClosed_) {
        onAllClosed_();
    }
}

} // namespace fw
