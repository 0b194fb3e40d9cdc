#include "app/Wizard.h"

#include <QCoreApplication>
#include <QWidget>

namespace fw {

Wizard::Wizard(WizardServices s)
    : settings(s.registry),
      run(RunServices{progress, progress.Fields(), s.box,
                      TransportMakers{s.makeSerialPort, s.makeNetPort, s.usb}, s.runLog}),
      bench(BenchPage::Services{choices, s.box,
                                TransportMakers{s.makeSerialPort, s.makeNetPort, s.usb}, s.runLog,
                                s.platformPortList, s.usb}),
      runPage([this]() -> IPage& {
          return connection.BenchChosen() ? static_cast<IPage&>(bench) : progress;
      }),
      discovery(s.platformPortList, s.registry, s.box, s.portSearchHold),
      operations(choices.operations), firmware(settings, choices, s.box, s.chooseFile),
      connection(ConnectionPage::Services{settings, choices, s.usb, s.box, discovery,
                                          s.makeSerialPort, s.makeVersionFacility, s.pickBench}),
      onAllClosed_([] { QCoreApplication::quit(); }) {
    connection.SetNext(firmware);
    firmware.SetNeighbours(connection, operations);
    operations.SetNeighbours(firmware, runPage, [this] {
        if (connection.BenchChosen()) {
            bench.SetAnalysers(connection.BenchNames());
            bench.StartBench();
        } else {
            run.Connect(choices);
        }
    });
    progress.Attach(run, operations);
    bench.Attach(operations);
    for (QtPage* page :
         std::initializer_list<QtPage*>{&connection, &firmware, &operations, &progress, &bench}) {
        page->SetAfterUserClose([this] { AfterUserClose(); });
    }
}

void Wizard::Start() {
    SetOperationDefaults(choices.operations);
    connection.Show();
}

bool Wizard::AnyPageLoaded() const {
    return connection.IsLoaded() || firmware.IsLoaded() || operations.IsLoaded() ||
           progress.IsLoaded() || bench.IsLoaded();
}

void Wizard::CloseAll() {
    for (QtPage* page :
         std::initializer_list<QtPage*>{&bench, &progress, &operations, &firmware, &connection}) {
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
