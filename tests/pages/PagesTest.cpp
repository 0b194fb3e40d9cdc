// The wizard's pages, offscreen, over fakes: serial ports by number, a
// converter driver, a message box that records and answers at once and a file
// dialog that answers `chosen`. Covered: what the connection page restores,
// searches and stores; the walk between pages; the firmware path; the
// progress page's rows and what Previous and the close box do to a run.
#include "app/Wizard.h"
#include "settings/MemoryRegistry.h"
#include "tests/port_discovery/SerialLine.h"
#include "tests/support/FakeUsbDriver.h"
#include "tests/support/RecordingMessageBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fw::test {
namespace {

// A host that names itself Windows 95 (9x family, 4.0 build 950).
struct Windows95 : IVersionFacility {
    explicit Windows95(IRegistry& r) : registry(r) {}
    bool GetVersionExA(OsVersionInfo& info) override {
        info.dwMajorVersion = 4;
        info.dwBuildNumber = 950;
        info.dwPlatformId = kPlatformWin32Windows;
        return true;
    }
    bool GetVersionExA(OsVersionInfoEx&) override { return false; }
    ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD, BYTE) override { return mask; }
    bool VerifyVersionInfoA(const OsVersionInfoEx&, DWORD, ULONGLONG) override { return false; }
    IRegistry& Registry() override { return registry; }
    IRegistry& registry;
};

// A store that refuses every write while `refuse` holds, as HKEY_LOCAL_MACHINE
// does for a standard user; reads go on.
struct RefusingRegistry : MemoryRegistry {
    bool refuse = false;

protected:
    bool BeginChange() override { return !refuse; }
};

class Pages : public ::testing::Test {
protected:
    void TearDown() override {
        wizard.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // Builds the wizard over the settings and devices set up so far and shows
    // its first page.
    Wizard& Start() {
        wizard.reset();
        wizard = std::make_unique<Wizard>(WizardServices{
            registry, usb, box, [this] { return std::make_unique<ScriptedPort>(line); }, nullptr,
            [this] { return line.PlatformList(); },
            [this]() -> std::shared_ptr<IVersionFacility> {
                if (windows95) {
                    return std::make_shared<Windows95>(registry);
                }
                return MakePlatformVersionFacility(registry);
            },
            [this](QWidget*, const std::string&, const std::string& start,
                   const std::string& filter) {
                browsedFrom.push_back(start);
                browseFilter = filter;
                return chosen;
            }});
        wizard->SetOnAllClosed([this] { ++allClosed; });
        wizard->Start();
        return *wizard;
    }
    // Walks on to the progress page over `type` with only the operation `only`.
    ProgressPage& Run(const char* type, VbBool Operations::*only,
                      const std::string& file = "/nonexistent.SX") {
        line.free = {1};
        Store(kConnectionType, type);
        Store(kFilename, file);
        Wizard& w = Start();
        Click(w.connection, "btnNext");
        Click(w.firmware, "btnNext");
        w.choices.operations = Operations{};
        w.choices.operations.*only = kTrue;
        Click(w.operations, "btnNext");
        return w.progress;
    }
    std::string Stored(const char* name) {
        return settings.GetSettingValue(kSection, name, "<unset>");
    }
    void Store(const char* name, const std::string& value) {
        settings.SaveSettingValue(kSection, name, value);
    }
    template <class T> static T* Find(QtPage& page, const char* name) {
        T* child = page.IsLoaded() ? page.Window()->findChild<T*>(name) : nullptr;
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    static void Click(QtPage& page, const char* button) {
        Find<QPushButton>(page, button)->click();
    }
    QComboBox* Combo(const char* name) { return Find<QComboBox>(wizard->connection, name); }
    QLineEdit* Address() { return Find<QLineEdit>(wizard->connection, "txtConnection_IP"); }
    QLineEdit* Path() { return Find<QLineEdit>(wizard->firmware, "txtFullFileName"); }
    // The connection type frame in front: the three lie on each other, the
    // last raised on top.
    std::string FrontFrame() {
        auto* frame = Find<QGroupBox>(wizard->connection, "fraConnection");
        const auto frames = frame->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly);
        return frames.last()->objectName().toStdString();
    }

    RefusingRegistry registry;
    Settings settings{registry};
    FakeUsbDriver usb;
    RecordingMessageBox box;
    SerialLine line;
    std::vector<std::string> browsedFrom; // where each file dialog started
    std::string chosen;                   // what the file dialog answers
    std::string browseFilter;             // the last dialog's name filters
    int allClosed = 0;
    bool windows95 = false;
    std::unique_ptr<Wizard> wizard;
};

// --- Connection page --------------------------------------------------------

TEST_F(Pages, FirstRunShowsSerialPortOneAndNextStoresATrimmedAddress) {
    line.free = {1, 3};
    Start();
    EXPECT_EQ(Combo("cboConnection_Type")->currentText(), "Serial Port");
    EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), "COM1");
    EXPECT_EQ(Address()->text(), "192.168.0.1");
    EXPECT_EQ(FrontFrame(), "fraConnection_Serial");
    EXPECT_TRUE(box.shown.empty());

    QTest::keyClick(Combo("cboConnection_Type"), Qt::Key_T);
    EXPECT_EQ(FrontFrame(), "fraConnection_TCPIP");
    Address()->setText("  10.1.2.3 ");
    Click(wizard->connection, "btnNext");
    EXPECT_EQ(Stored(kConnectionType), "TCP");
    EXPECT_EQ(Stored(kAddress), "10.1.2.3");
    EXPECT_EQ(Stored(kComPort), "<unset>");
}

TEST_F(Pages, SearchMessagesComeTwiceForSerialAndOnceForOtherTypes) {
    line.held = {3};
    line.free = {4};
    Start();
    ASSERT_EQ(box.shown.size(), 2u);
    EXPECT_EQ(box.shown[1].text, "The COM port specified no longer exists.\r\n"
                                 "Setting will be changed to a valid COM port.");
    // The stored port 1 matches no entry: the walk ends on the first one.
    EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), "COM3 (In Use)");
    Click(wizard->connection, "btnNext");
    EXPECT_EQ(Stored(kConnectionType), "COM");
    EXPECT_EQ(Stored(kComPort), "3");

    box.shown.clear();
    Store(kConnectionType, "TCP");
    Store(kAddress, "10.0.0.9");
    Start();
    EXPECT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(Combo("cboConnection_Serial")->count(), 2); // searched all the same
    EXPECT_EQ(FrontFrame(), "fraConnection_TCPIP");
    EXPECT_EQ(Address()->text(), "10.0.0.9");
}

TEST_F(Pages, StoredPortIsFoundFromTheEndAndKeptAcrossTypeChanges) {
    // A port another program holds stays chosen: falling back to the first
    // entry would flash whatever analyser answers there.
    const struct {
        std::set<int> free, held;
        const char* stored;
        const char* shown;
    } cases[] = {{{1, 3, 10}, {}, "10", "COM10"}, {{1, 3}, {7}, "7", "COM7 (In Use)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        line.free = c.free;
        line.held = c.held;
        Store(kComPort, c.stored);
        Start();
        EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), c.shown);
        QTest::keyClick(Combo("cboConnection_Type"), Qt::Key_U);
        EXPECT_EQ(FrontFrame(), "fraConnection_USB");
        // Back to the serial type: the list is searched again, the port kept.
        QTest::keyClick(Combo("cboConnection_Type"), Qt::Key_Home);
        EXPECT_EQ(FrontFrame(), "fraConnection_Serial");
        EXPECT_EQ(Combo("cboConnection_Serial")->currentText(), c.shown);
        Click(wizard->connection, "btnNext");
        EXPECT_EQ(Stored(kComPort), c.stored);
        EXPECT_TRUE(box.shown.empty());
    }
}

TEST_F(Pages, UsbDevicesAreListedAndNextStoresTheSerialOrTheDriverFailureIsShown) {
    line.free = {1};
    Store(kConnectionType, "USB");
    usb.devices = {{"MA12XY34", "Merlane USB Analyser"}, {"FT000042", "Cable"}};
    Start();
    QComboBox* list = Combo("cboConnection_USB");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(0), "Merlane USB Analyser : MA12XY34");
    EXPECT_EQ(list->itemText(1), "Cable : FT000042");
    EXPECT_EQ(FrontFrame(), "fraConnection_USB");
    list->setCurrentIndex(1);
    Click(wizard->connection, "btnNext");
    EXPECT_EQ(Stored(kConnectionType), "USB");
    EXPECT_EQ(Stored(kUsbAnalyser), "FT000042");

    usb.throwFrom = "*";
    Start();
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].text,
              "There was an error initiating the usb driver : driver library not loaded");
    Click(wizard->connection, "btnNext"); // nothing listed: the box's own text is stored
    EXPECT_EQ(Stored(kUsbAnalyser), "Combo3");

    // A host named Windows 95 offers no converter list: the driver is not asked.
    usb.throwFrom.clear();
    usb.log.clear();
    box.shown.clear();
    windows95 = true;
    Start();
    EXPECT_EQ(Combo("cboConnection_USB")->count(), 0);
    EXPECT_EQ(Combo("cboConnection_USB")->currentText(), "Combo3");
    EXPECT_TRUE(usb.log.empty());
    EXPECT_TRUE(box.shown.empty());
}

// --- The run's choices --------------------------------------------------------

// The run takes what the pages show, not what the store holds: also when the
// store refuses every write. With none listed it is the stored port, or COM1.
TEST_F(Pages, RunTakesThePagesChoicesWhateverTheStoreKeeps) {
    struct Case {
        const char* name;
        std::set<int> free;
        int stored; // the "COM Port" stored with "/stored.SX" before the start; 0: none
        int entry;  // the serial entry chosen on the page; -1: as loaded
        int port;   // the port the run opens
    };
    const Case cases[] = {
        {"OtherPortAndFileTypedWritesRefused", {1, 3}, 3, 0, 1},
        {"NothingStoredNothingListed", {}, 0, -1, 1},
        {"StoredPortNothingListed", {}, 5, -1, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        registry.refuse = false;
        registry.Assign({});
        if (c.stored != 0) {
            Store(kComPort, std::to_string(c.stored));
            Store(kFilename, "/stored.SX");
        }
        line.free = c.free;
        registry.refuse = true;
        Wizard& w = Start();
        if (c.entry >= 0) {
            ASSERT_EQ(Combo("cboConnection_Serial")->currentText(), "COM3");
            Combo("cboConnection_Serial")->setCurrentIndex(c.entry);
        }
        Click(w.connection, "btnNext");
        Path()->setText("/typed.SX");
        Click(w.firmware, "btnNext");
        w.choices.operations = Operations{};
        w.choices.operations.bOpUpload = kTrue;
        Click(w.operations, "btnNext");
        w.run.engine.AFTimer1_Timer(); // the file is checked: it does not exist
        const RunRecord& run = w.run.engine.LastRun();
        EXPECT_EQ(run.connection.type, "COM");
        EXPECT_EQ(run.connection.port, c.port);
        // Without a port to open the run ends at the connection, unchecked.
        EXPECT_EQ(run.firmware.has_value(), !c.free.empty());
        if (run.firmware) {
            EXPECT_EQ(run.firmware->path, "/typed.SX");
        }
        EXPECT_EQ(Stored(kComPort), c.stored != 0 ? std::to_string(c.stored) : "<unset>");
        EXPECT_EQ(Stored(kFilename), c.stored != 0 ? "/stored.SX" : "<unset>");
        // Each page said once what it could not keep, and why.
        std::vector<std::string> notKept;
        for (const auto& shown : box.shown) {
            if (shown.text.find("could not be kept") != std::string::npos) {
                notKept.push_back(shown.text);
                EXPECT_EQ(shown.icon, MsgIcon::Exclamation);
            }
        }
        const std::string why =
            ": access to HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnvel\\Flashwright\\Settings "
            "was denied.\n\nThis run uses what the page shows.";
        EXPECT_EQ(notKept,
                  (std::vector<std::string>{
                      std::string("The connection type") + (c.free.empty() ? "" : " and COM port") +
                          " could not be kept for the next start" + why,
                      "The firmware file could not be kept for the next start" + why}));
        box.shown.clear();
    }
}

// --- The walk and the firmware path -----------------------------------------

TEST_F(Pages, EachPageTakesThePlaceOfTheOneItReplacesAndTheOperationsStay) {
    line.free = {1};
    Store(kConnectionType, "COM");
    Store(kFilename, "/fw/a.SX");
    Wizard& w = Start();
    w.connection.Window()->move(137, 91);
    auto go = [&](QtPage& from, const char* button, QtPage& to) {
        Click(from, button);
        EXPECT_FALSE(from.IsLoaded());
        ASSERT_TRUE(to.IsLoaded() && to.Window()->isVisible());
        EXPECT_EQ(to.Window()->pos(), QPoint(137, 91));
    };
    auto ticked = [&] {
        std::string marks;
        for (const char* name :
             {"chkOpertaion_Bootloader", "chkOperation_Erase", "chkOperation_Erase_EEPROM",
              "chkOpertation_Erase_RAM", "chkOperation_Upload", "chkOperation_Run"}) {
            marks += Find<QCheckBox>(w.operations, name)->isChecked() ? 'x' : '-';
        }
        return marks;
    };
    go(w.connection, "btnNext", w.firmware);
    go(w.firmware, "btnNext", w.operations);
    EXPECT_EQ(ticked(), "xx--xx"); // the defaults
    Find<QCheckBox>(w.operations, "chkOperation_Upload")->click();
    Find<QCheckBox>(w.operations, "chkOperation_Erase_EEPROM")->click();
    go(w.operations, "btnNext", w.progress);
    go(w.progress, "btnPrevious", w.operations);
    EXPECT_EQ(ticked(), "xxx--x");
    go(w.operations, "btnPrevious", w.firmware);
    go(w.firmware, "btnNext", w.operations);
    EXPECT_EQ(ticked(), "xxx--x");
    EXPECT_EQ(w.choices.operations.bOpUpload, kFalse);
    go(w.operations, "btnPrevious", w.firmware);
    go(w.firmware, "btnPrevious", w.connection);
}

TEST_F(Pages, FirmwarePathNeedsTextBrowseStartsAtItAndOnlyNextStoresIt) {
    line.free = {1};
    Wizard& w = Start();
    Click(w.connection, "btnNext");
    Click(w.firmware, "btnNext");
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].text, "No firmware file selected.");
    EXPECT_TRUE(w.firmware.IsLoaded());
    EXPECT_EQ(Stored(kFilename), "<unset>");
    // Blanks are a path like any other: stored unchanged.
    QTest::keyClicks(Path(), "  ");
    Click(w.firmware, "btnNext");
    EXPECT_EQ(Stored(kFilename), "  ");

    Click(w.operations, "btnPrevious");
    Path()->setText("/fw/old.SX");
    Click(w.firmware, "cmdFirmware_Browse"); // cancelled
    EXPECT_EQ(Path()->text(), "/fw/old.SX");
    chosen = "/fw/new.bin";
    Click(w.firmware, "cmdFirmware_Browse");
    EXPECT_EQ(Path()->text(), "/fw/new.bin");
    EXPECT_EQ(browsedFrom, std::vector<std::string>(2, "/fw/old.SX"));
    // Which entries of the dialog's filter (the first is the one chosen) show
    // a file, matched case-sensitively as on Linux: one letter an entry.
    const QStringList entries = QString::fromStdString(browseFilter).split(";;");
    ASSERT_EQ(entries.size(), 3);
    EXPECT_TRUE(entries[0].startsWith("Firmware (")) << browseFilter;
    EXPECT_TRUE(entries[1].startsWith("S-record files (")) << browseFilter;
    for (const char* row : {"fw.SX FSA", "fw.sx FSA", "fw.s19 -SA", "FW.S28 -SA", "fw.srec -SA",
                            "FW.SREC -SA", "fw.mot -SA", "FW.MOT -SA", "fw.hex --A"}) {
        const QStringList fileAndLetters = QString(row).split(' ');
        QString letters;
        for (const QString& entry : entries) {
            bool shown = false;
            for (const QString& pattern : entry.section('(', 1).chopped(1).split(' ')) {
                shown = shown ||
                        QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern))
                            .match(fileAndLetters[0])
                            .hasMatch();
            }
            letters += shown ? entry.at(0) : QChar('-');
        }
        EXPECT_EQ(letters.toStdString(), fileAndLetters[1].toStdString()) << row;
    }
    // Previous does not store; coming back shows the stored path again.
    Click(w.firmware, "btnPrevious");
    Click(w.connection, "btnNext");
    EXPECT_EQ(Path()->text(), "  ");
}

// --- Progress page ----------------------------------------------------------

TEST_F(Pages, EachProgressRowShowsItsOwnStepAndTheTimerRunsTheEngineToTheEnd) {
    ProgressPage& page = Run("COM", &Operations::bOpRun);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return wizard->run.engine.State().nUpdateState == UpdateState::Finished; }, 3000));
    std::map<int, std::array<std::string, 2>> rows; // by height: caption, status label and text
    for (QLabel* label : page.Window()->findChildren<QLabel*>()) {
        const std::string name = label->objectName().toStdString();
        const bool status = name.starts_with("lblProgress_");
        if (status || name.starts_with("Label1_")) {
            rows[label->y()][status] = (status ? name + " " : "") + label->text().toStdString();
        }
    }
    std::string shown;
    for (const auto& [y, row] : rows) {
        shown += row[0] + ": " + row[1] + "\n";
    }
    EXPECT_EQ(shown, "Connect to Analyser: lblProgress_Connection OK\n"
                     "Enter Bootloader: lblProgress_Bootloader SKIPPED\n"
                     "Erase Flash ROM: lblProgress_Erase SKIPPED\n"
                     "Erase EEPROM: lblProgress_Erase_EEPROM SKIPPED\n"
                     "Erase RAM: lblProgress_Erase_RAM SKIPPED\n"
                     "Upload Firmware: lblProgress_Upload SKIPPED\n"
                     "Verify Upload: lblProgress_Verify SKIPPED\n"
                     "Run Firmware: lblProgress_RUN OK\n");
    const QLabel* run = Find<QLabel>(page, "lblProgress_RUN");
    EXPECT_EQ(run->palette().color(QPalette::WindowText), QColor(0, 128, 0));
}

TEST_F(Pages, PreviousAndTheCloseBoxFreeTheLink) {
    ProgressPage& page = Run("COM", &Operations::bOpBootloader);
    EXPECT_EQ(line.open, std::set<int>{1});
    Click(page, "btnPrevious"); // the run stops, its timer with it
    EXPECT_EQ(wizard->run.engine.State().nUpdateState, UpdateState::Idle);
    EXPECT_EQ(page.AFTimer1(), nullptr);
    EXPECT_TRUE(line.open.empty());
    Click(wizard->operations, "btnNext");
    EXPECT_EQ(line.open, std::set<int>{1});
    // Closing the window ends the run and the program.
    page.Window()->close();
    EXPECT_EQ(wizard->run.engine.State().nUpdateState, UpdateState::Idle);
    EXPECT_TRUE(line.open.empty());
    EXPECT_FALSE(wizard->AnyPageLoaded()); // no other page was shown
    EXPECT_EQ(allClosed, 1);

    usb.devices = {{"FT000042", "Cable"}};
    Run("USB", &Operations::bOpBootloader);
    EXPECT_EQ(usb.open.size(), 1u);
    Click(wizard->progress, "btnPrevious");
    EXPECT_TRUE(usb.open.empty());
    EXPECT_FALSE(wizard->run.link.IsOpen());
}

} // namespace
} // namespace fw::test

// The page tests need a QApplication; they run on the offscreen platform
// unless told otherwise.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
