#include "pages/ConnectionPage.h"

#include "engine/RunConfig.h"
#include "settings/Text.h"

#include "FlashwrightVersion.h"
#include "link/LinkOperations.h"
#include "link/usb/ConverterList.h"
#include "pages/BenchNames.h"
#include "pages/ChoiceSaver.h"
#include "platform/OperatingSystem.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <array>
#include <string_view>

namespace fw {
namespace {

constexpr std::array<const char*, 3> kTypeEntries{"Serial Port", "TCP/IP Network Port", "USB Port"};
// The list's entries in the order of ConnectionType.
constexpr std::array<ConnectionType, 3> kTypes{ConnectionType::Serial, ConnectionType::Tcp,
                                               ConnectionType::Usb};

// Blanks only, as the address has always been trimmed; tabs stay.
std::string TrimBlanks(const std::string& text) {
    return std::string(Trim(text, " "));
}

// The type list's key press runs the type-change handling before the key
// itself is handled (a key that changes the selection then raises the list's
// click, which runs it again for the new type).
class TypeKeyFilter : public QObject {
public:
    TypeKeyFilter(QObject* parent, std::function<void()> onKey)
        : QObject(parent), onKey_(std::move(onKey)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            // Character keys only (letters, digits, Enter, Backspace, Esc);
            // arrows, Tab and Alt shortcuts are not key presses of the list.
            if (!key->text().isEmpty() && key->text() != "\t" &&
                !(key->modifiers() & Qt::AltModifier)) {
                onKey_();
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> onKey_;
};

class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// The type frames' labels stand at the frame's very left edge, on its border
// line; their text starts a little further in.
QLabel* MakeFrameLabel(const char* name, const char* text, QWidget* frame) {
    QLabel* label = MakeLabel(name, text, frame);
    label->setIndent(TwipsToPx(60));
    return label;
}

QGroupBox* MakeTypeFrame(const char* name, const char* caption, QWidget* parent) {
    auto* frame = new QGroupBox(caption, parent);
    frame->setObjectName(name);
    // The three frames lie on top of each other; the one in front must cover
    // the others completely.
    frame->setAutoFillBackground(true);
    PlaceTwips(frame, 120, 1080, 4335, 1335);
    return frame;
}

} // namespace

std::string VersionCaption() {
    return "Version " + std::to_string(FW_VERSION_MAJOR) + "." + std::to_string(FW_VERSION_MINOR) +
           "." + std::to_string(FW_VERSION_PATCH);
}

ConnectionPage::ConnectionPage(Services services)
    : QtPage("frmSelectCommunications", 4740, 4605), s_(std::move(services)) {
}

ConnectionPage::~ConnectionPage() {
    UnloadNow();
}

void ConnectionPage::BuildControls(QWidget* window) {
    QGroupBox* fraConnection = AddPageFrame(window, "fraConnection");

    PlaceTwips(MakeLabel("Label1", "Connect to the analyser via which port type?", fraConnection),
               120, 360, 3735, 375);

    cboConnection_Type_ = new QComboBox(fraConnection);
    cboConnection_Type_->setObjectName("cboConnection_Type");
    PlaceTwips(cboConnection_Type_, 360, 720, 3975, 315);
    QObject::connect(cboConnection_Type_, &QComboBox::activated, cboConnection_Type_,
                     [this](int) { cboConnection_Type_Change(); });
    cboConnection_Type_->installEventFilter(
        new TypeKeyFilter(cboConnection_Type_, [this] { cboConnection_Type_Change(); }));

    fraConnection_Serial_ = MakeTypeFrame("fraConnection_Serial", "Serial Port", fraConnection);
    PlaceTwips(MakeFrameLabel("Label3", "Communication Port:", fraConnection_Serial_), 0, 360, 2655,
               255);
    cboConnection_Serial_ = new QComboBox(fraConnection_Serial_);
    cboConnection_Serial_->setObjectName("cboConnection_Serial");
    PlaceTwips(cboConnection_Serial_, 240, 720, 3975, 315);
    serialList_.emplace(cboConnection_Serial_);

    fraConnection_USB_ = MakeTypeFrame("fraConnection_USB", "USB Port", fraConnection);
    PlaceTwips(MakeFrameLabel("Label4", "Device name:", fraConnection_USB_), 0, 360, 3255, 375);
    cboConnection_USB_ = new QComboBox(fraConnection_USB_);
    cboConnection_USB_->setObjectName("cboConnection_USB");
    cboConnection_USB_->setEditable(true);
    cboConnection_USB_->setInsertPolicy(QComboBox::NoInsert);
    cboConnection_USB_->setEditText("Combo3");
    PlaceTwips(cboConnection_USB_, 240, 720, 3975, 315);

    fraConnection_TCPIP_ = MakeTypeFrame("fraConnection_TCPIP", "TCP/IP Port", fraConnection);
    PlaceTwips(MakeFrameLabel("Label2", "Network Address :", fraConnection_TCPIP_), 0, 360, 1815,
               255);
    txtConnection_IP_ = new QLineEdit(fraConnection_TCPIP_);
    txtConnection_IP_->setObjectName("txtConnection_IP");
    PlaceTwips(txtConnection_IP_, 240, 720, 3975, 315);

    auto* btnNext =
        AddButton(window, "btnNext", "&Next", 3360, 4200, 1335, 375, [this] { btnNext_Click(); });

    PlaceTwips(MakeLabel("lblVersion", "", window), 120, 4200, 1695, 375);

    QPushButton* btnBench = nullptr;
    if (s_.pickBench) {
        btnBench = AddButton(window, "btnBench", "&Bench...", 1920, 4200, 1335, 375,
                             [this] { btnBench_Click(); });
    }

    QWidget::setTabOrder(cboConnection_Type_, txtConnection_IP_);
    QWidget::setTabOrder(txtConnection_IP_, cboConnection_USB_);
    QWidget::setTabOrder(cboConnection_USB_, cboConnection_Serial_);
    QWidget::setTabOrder(cboConnection_Serial_, btnNext);
    if (btnBench != nullptr) {
        QWidget::setTabOrder(btnNext, btnBench);
    }
    cboConnection_Type_->setFocus();

    MSComm1_ = s_.makeSerialPort();
}

void ConnectionPage::FormLoad() {
    Window()->findChild<QLabel*>("lblVersion")->setText(QString::fromStdString(VersionCaption()));

    ComboListBox typeList(cboConnection_Type_);
    for (const char* entry : kTypeEntries) {
        typeList.AddItem(entry);
    }

    // A stored type that names none is a serial port.
    const ConnectionType type =
        ParseConnectionType(s_.settings.GetSettingValue(kSection, kConnectionType, "COM"))
            .value_or(ConnectionType::Serial);
    SelectType(type == ConnectionType::Usb   ? kTypeUsb
               : type == ConnectionType::Tcp ? kTypeTcpIp
                                             : kTypeSerial);

    // Whatever the type: the serial list is searched now when the type change
    // did not fill it, and the wanted port is selected (again).
    s_.discovery.loadComPortAndBaud(*MSComm1_, *serialList_, 1, kFalse);

    // The stored port, looked for from the end; without a match the first
    // entry is the last one tried and stays selected. A port another program
    // holds stays the chosen one: the run then fails to open it and says so,
    // where falling back to the first entry would reset and erase whatever
    // analyser answers there.
    const std::string port = s_.settings.GetSettingValue(kSection, kComPort, "1");
    for (int i = cboConnection_Serial_->count() - 1; i >= 0; --i) {
        cboConnection_Serial_->setCurrentIndex(i);
        std::string entry = cboConnection_Serial_->itemText(i).toStdString();
        if (entry.ends_with(kInUseMark)) {
            entry.resize(entry.size() - std::string_view(kInUseMark).size());
        }
        if ((entry.size() > 3 ? entry.substr(3) : std::string()) == port) {
            break;
        }
    }

    txtConnection_IP_->setText(QString::fromStdString(
        s_.settings.GetSettingValue(kSection, kAddress, kDefaultNetAddress)));
}

void ConnectionPage::FormUnload() {
    MSComm1_.reset();
    serialList_.reset();
    cboConnection_Type_ = nullptr;
    cboConnection_Serial_ = nullptr;
    cboConnection_USB_ = nullptr;
    txtConnection_IP_ = nullptr;
    fraConnection_Serial_ = nullptr;
    fraConnection_USB_ = nullptr;
    fraConnection_TCPIP_ = nullptr;
}

void ConnectionPage::SelectType(int index) {
    // Setting the selection is a click on the list.
    cboConnection_Type_->setCurrentIndex(index);
    cboConnection_Type_Change();
}

void ConnectionPage::cboConnection_Type_Change() {
    // A fresh look at the system on every change, as it may have been updated.
    const OperatingSystem system(s_.makeVersionFacility());
    switch (cboConnection_Type_->currentIndex()) {
    case kTypeSerial: {
        const int selected = cboConnection_Serial_->currentIndex();
        cboConnection_Serial_->clear();
        s_.discovery.loadComPortAndBaud(*MSComm1_, *serialList_, 1, kFalse);
        // Back to the entry that was chosen before the search (none when none
        // was, or when the list has become too short for it).
        cboConnection_Serial_->setCurrentIndex(selected < cboConnection_Serial_->count() ? selected
                                                                                         : -1);
        fraConnection_Serial_->raise();
        break;
    }
    case kTypeTcpIp:
        fraConnection_TCPIP_->raise();
        break;
    case kTypeUsb: {
        WaitCursor wait;
        fraConnection_USB_->raise();
        // The oldest systems have no converter list to ask.
        if (system.Name().find("Windows 95") == std::string::npos) {
            loadUsbDevices();
        }
        break;
    }
    default:
        break;
    }
}

void ConnectionPage::loadUsbDevices() {
    cboConnection_USB_->clear();
    const ConverterList list = ListConverters(s_.usb);
    for (const Converter& c : list.converters) {
        cboConnection_USB_->addItem(QString::fromStdString(c.description + " : " + c.serial));
    }
    if (!list.converters.empty()) {
        cboConnection_USB_->setCurrentIndex(0);
    }
    if (!list.error.empty()) {
        // Entries listed before the failure stay.
        s_.box.Show(std::string(kMsgUsbDriverError) + list.error, MsgIcon::Critical, kAppTitle);
    }
}

void ConnectionPage::btnBench_Click() {
    const std::vector<std::string> stored =
        SplitBenchNames(s_.settings.GetSettingValue(kSection, kBench, ""));
    std::vector<BenchEntry> entries;
    const auto add = [&](const std::string& label, const std::string& name) {
        for (const BenchEntry& e : entries) {
            if (e.name == name) {
                return;
            }
        }
        entries.push_back(
            {label, name, std::find(stored.begin(), stored.end(), name) != stored.end()});
    };
    // The serial ports as the list shows them (searched when it is empty).
    if (cboConnection_Serial_->count() == 0) {
        s_.discovery.loadComPortAndBaud(*MSComm1_, *serialList_, 1, kFalse);
    }
    for (int i = 0; i < cboConnection_Serial_->count(); ++i) {
        const std::string entry = cboConnection_Serial_->itemText(i).toStdString();
        add(entry, "COM" + std::to_string(EntryPortNumber(entry)));
    }
    for (const Converter& c : ListConverters(s_.usb).converters) {
        add(c.description + " : " + c.serial, kUsbNamePrefix + c.serial);
    }
    // What was chosen before and is not listed now (unplugged, or an address).
    for (const std::string& name : stored) {
        add(name, name);
    }
    const std::optional<std::vector<std::string>> chosen = s_.pickBench(Window(), entries);
    if (!chosen) {
        return;
    }
    ChoiceSaver saver(s_.settings);
    saver.Save(kBench, JoinBenchNames(*chosen), "bench");
    saver.Report(s_.box);
    benchNames_ = *chosen;
    benchChosen_ = true;
    if (next_ != nullptr) {
        HandOver(*this, *next_);
    }
}

void ConnectionPage::btnNext_Click() {
    benchChosen_ = false;
    RunConfig& run = s_.choices;
    ChoiceSaver saver(s_.settings);
    switch (cboConnection_Type_->currentIndex()) {
    case kTypeSerial: {
        run.type = kTypes[kTypeSerial];
        saver.Save(kConnectionType, TypeCode(run.type), "connection type");
        // The port number of the entry shown, also of one marked as in use;
        // with no entry shown the stored port stays as it was, and is the one
        // the run opens.
        const std::string shown = cboConnection_Serial_->currentText().toStdString();
        if (!shown.empty()) {
            run.comPort = std::to_string(EntryPortNumber(shown));
            saver.Save(kComPort, run.comPort, "COM port");
        } else {
            run.comPort = s_.settings.GetSettingValue(kSection, kComPort, RunConfig{}.comPort);
        }
        break;
    }
    case kTypeTcpIp:
        run.type = kTypes[kTypeTcpIp];
        run.address = TrimBlanks(txtConnection_IP_->text().toStdString());
        saver.Save(kConnectionType, TypeCode(run.type), "connection type");
        saver.Save(kAddress, run.address, "network address");
        break;
    case kTypeUsb:
        run.type = kTypes[kTypeUsb];
        // The device's serial number is the last 8 characters of its entry.
        run.usbSerial = cboConnection_USB_->currentText().right(8).toStdString();
        saver.Save(kConnectionType, TypeCode(run.type), "connection type");
        saver.Save(kUsbAnalyser, run.usbSerial, "USB device");
        break;
    default:
        break;
    }
    saver.Report(s_.box);
    if (next_ != nullptr) {
        HandOver(*this, *next_);
    }
}

} // namespace fw
