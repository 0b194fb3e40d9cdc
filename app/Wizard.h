// The whole wizard wired together: settings, the four pages and the run (its
// link and its update engine, which owns the run's state). The program builds
// one over the real registry file, converter driver and serial ports; tests
// build one over fakes.
#pragma once

#include "engine/MessageBox.h"
#include "link/usb/UsbDriver.h"
#include "pages/BenchPage.h"
#include "pages/ConnectionPage.h"
#include "pages/FirmwarePage.h"
#include "pages/OperationsPage.h"
#include "pages/PortDiscovery.h"
#include "pages/ProgressPage.h"
#include "run/AnalyserRun.h"
#include "settings/Registry.h"
#include "settings/Settings.h"

#include <functional>

namespace fw {

struct WizardServices {
    IRegistry& registry;
    IUsbDriver& usb;
    IMessageBox& box;
    // The serial controls of the connection page (test opens) and of a run's
    // serial link.
    SerialPortFactory makeSerialPort;
    // A run's connection to a serial device server; null: none on this platform.
    NetPortFactory makeNetPort;
    // The platform's serial port names for the port search.
    PortListSource platformPortList;
    VersionFacilityFactory makeVersionFacility;
    FileChooser chooseFile = ChooseFileWithDialog;
    // Where the record of every run goes; null: nowhere.
    IRunLog* runLog = nullptr;
    // Held while the connection page searches the ports; empty: nothing.
    PortSearchHold portSearchHold = nullptr;
    // The bench's checklist on the connection page; null: no bench.
    BenchPicker pickBench = PickBenchWithDialog;
};

// Where the operations page's Next goes: the progress page of the one run, or
// the bench page when the connection page chose a bench.
class RunPageSwitch : public IPage {
public:
    explicit RunPageSwitch(std::function<IPage&()> target) : target_(std::move(target)) {}
    int Left() override { return target_().Left(); }
    int Top() override { return target_().Top(); }
    void SetLeft(int left) override { target_().SetLeft(left); }
    void SetTop(int top) override { target_().SetTop(top); }
    void Show() override { target_().Show(); }
    void Unload() override { target_().Unload(); }

private:
    std::function<IPage&()> target_;
};

class Wizard {
public:
    explicit Wizard(WizardServices services);
    Wizard(const Wizard&) = delete;
    Wizard& operator=(const Wizard&) = delete;

    // Start-up: the operation defaults, then the connection page.
    void Start();
    bool AnyPageLoaded() const;
    // Closes every page as its close box does: a run in progress stops and is
    // recorded as abandoned, the link closes, and the hook below runs.
    void CloseAll();
    // Runs when the user has closed the last page window (by default the
    // program's event loop ends).
    void SetOnAllClosed(std::function<void()> hook) { onAllClosed_ = std::move(hook); }

    Settings settings;
    // What the pages show, handed to a run when the operations page's Next
    // starts it.
    RunConfig choices;
    ProgressPage progress;
    AnalyserRun run;
    BenchPage bench;
    RunPageSwitch runPage;
    PortDiscovery discovery;
    OperationsPage operations;
    FirmwarePage firmware;
    ConnectionPage connection;

private:
    void AfterUserClose();

    std::function<void()> onAllClosed_;
};

} // namespace fw
