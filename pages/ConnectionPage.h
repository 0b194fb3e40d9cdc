// frmSelectCommunications: how the analyser is reached (serial port, TCP/IP
// address or USB converter) and which port, address or device. Loading the
// page restores the stored choices and searches the serial ports; Next hands
// the choices shown to the run's choices, stores them for the next start and
// moves on to the firmware page.
#pragma once

#include "engine/MessageBox.h"
#include "engine/RunConfig.h"
#include "link/Transport.h"
#include "link/usb/UsbDriver.h"
#include "pages/BenchPage.h"
#include "pages/ComboListBox.h"
#include "pages/PortDiscovery.h"
#include "pages/QtPage.h"
#include "platform/VersionFacility.h"
#include "settings/Settings.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QGroupBox;
class QLineEdit;

namespace fw {

// The platform services a fresh OperatingSystem is made from.
using VersionFacilityFactory = std::function<std::shared_ptr<IVersionFacility>()>;

// "Version 4.1.0": the program's version, each part in plain decimal.
std::string VersionCaption();

enum ConnectionTypeIndex { kTypeSerial = 0, kTypeTcpIp = 1, kTypeUsb = 2 };

class ConnectionPage : public QtPage {
public:
    struct Services {
        Settings& settings;
        RunConfig& choices; // what a run started later connects to
        IUsbDriver& usb;
        IMessageBox& box;
        PortDiscovery& discovery;
        SerialPortFactory makeSerialPort;
        VersionFacilityFactory makeVersionFacility;
        // The bench's checklist; null: the page offers no bench.
        BenchPicker pickBench = nullptr;
    };

    explicit ConnectionPage(Services services);
    ~ConnectionPage() override;

    void SetNext(IPage& next) { next_ = &next; }

    void cboConnection_Type_Change();
    void loadUsbDevices();
    void btnNext_Click();
    // Several analysers at once: the checklist of the listed ports, the
    // listed converters and typed addresses; once chosen (and stored as
    // "Bench"), on to the firmware page as Next goes.
    void btnBench_Click();
    // The last hand-over to the firmware page was the bench's, with these.
    bool BenchChosen() const { return benchChosen_; }
    const std::vector<std::string>& BenchNames() const { return benchNames_; }

protected:
    void BuildControls(QWidget* window) override;
    void FormLoad() override;
    void FormUnload() override;

private:
    void SelectType(int index);

    Services s_;
    IPage* next_ = nullptr;
    bool benchChosen_ = false;
    std::vector<std::string> benchNames_;

    QComboBox* cboConnection_Type_ = nullptr;
    QComboBox* cboConnection_Serial_ = nullptr;
    QComboBox* cboConnection_USB_ = nullptr;
    QLineEdit* txtConnection_IP_ = nullptr;
    QGroupBox* fraConnection_Serial_ = nullptr;
    QGroupBox* fraConnection_USB_ = nullptr;
    QGroupBox* fraConnection_TCPIP_ = nullptr;
    std::optional<ComboListBox> serialList_;
    std::unique_ptr<ISerialPort> MSComm1_; // for the test opens of the port search
};

} // namespace fw
