// The walk through the pages: positions, the operation flags and the firmware
// path.
#include "tests/pages/PagesTest.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

namespace fw::test {
namespace {

class WizardFlow : public PagesTest {
protected:
    void SetUp() override {
        rig.line.free = {1};
        rig.Store(kConnectionType, "TCP"); // no link to open on the progress page
    }
    QCheckBox* Box(const char* name) { return Find<QCheckBox>(rig.wizard->operations, name); }
    QLineEdit* Path() { return Find<QLineEdit>(rig.wizard->firmware, "txtFullFileName"); }
};

TEST_F(WizardFlow, EveryPageTakesThePlaceOfTheOneItReplaces) {
    rig.Store(kFilename, "/fw/a.SX");
    Wizard& w = rig.Build();
    w.Start();
    w.connection.Window()->move(137, 91);
    const std::vector<std::pair<QtPage*, const char*>> walk{
        {&w.connection, "btnNext"},   {&w.firmware, "btnNext"},       {&w.operations, "btnNext"},
        {&w.progress, "btnPrevious"}, {&w.operations, "btnPrevious"}, {&w.firmware, "btnPrevious"},
    };
    const std::vector<QtPage*> next{&w.firmware,   &w.operations, &w.progress,
                                    &w.operations, &w.firmware,   &w.connection};
    for (std::size_t i = 0; i < walk.size(); ++i) {
        Click(*walk[i].first, walk[i].second);
        EXPECT_FALSE(walk[i].first->IsLoaded()) << i;
        ASSERT_TRUE(next[i]->IsLoaded()) << i;
        EXPECT_TRUE(next[i]->Window()->isVisible()) << i;
        EXPECT_EQ(Pos(*next[i]), QPoint(137, 91)) << i;
    }
}

TEST_F(WizardFlow, OperationBoxesFollowTheFlagsAcrossPages) {
    rig.Store(kFilename, "/fw/a.SX");
    Wizard& w = rig.Build();
    w.Start();
    Click(w.connection, "btnNext");
    Click(w.firmware, "btnNext");
    const std::vector<std::pair<const char*, bool>> defaults{
        {"chkOpertaion_Bootloader", true},    {"chkOperation_Erase", true},
        {"chkOperation_Erase_EEPROM", false}, {"chkOpertation_Erase_RAM", false},
        {"chkOperation_Upload", true},        {"chkOperation_Run", true}};
    for (const auto& [name, ticked] : defaults) {
        EXPECT_EQ(Box(name)->isChecked(), ticked) << name;
    }

    Box("chkOperation_Upload")->click();
    Box("chkOperation_Erase_EEPROM")->click();
    EXPECT_EQ(w.mod.bOpUpload, kFalse);
    EXPECT_EQ(w.mod.bOpEraseEEPROM, kTrue);
    EXPECT_EQ(w.mod.bOpBootloader, kTrue); // the others as they were
    EXPECT_EQ(w.mod.bOpEraseRAM, kFalse);

    // Back to the firmware page and forward; then to the progress page and back.
    Click(w.operations, "btnPrevious");
    Click(w.firmware, "btnNext");
    EXPECT_FALSE(Box("chkOperation_Upload")->isChecked());
    EXPECT_TRUE(Box("chkOperation_Erase_EEPROM")->isChecked());
    Click(w.operations, "btnNext");
    Click(w.progress, "btnPrevious");
    EXPECT_FALSE(Box("chkOperation_Upload")->isChecked());
    EXPECT_EQ(w.mod.bOpUpload, kFalse);
    EXPECT_EQ(w.mod.bOpEraseEEPROM, kTrue);
}

TEST_F(WizardFlow, OperationsTabOrderAndAccessKeys) {
    rig.Store(kFilename, "/fw/a.SX");
    Wizard& w = rig.Build();
    w.Start();
    Click(w.connection, "btnNext");
    Click(w.firmware, "btnNext");
    std::vector<std::string> order;
    QWidget* widget = Box("chkOpertaion_Bootloader");
    for (int i = 0; i < 8; ++i, widget = widget->nextInFocusChain()) {
        order.push_back(widget->objectName().toStdString());
    }
    EXPECT_EQ(order, (std::vector<std::string>{
                         "chkOpertaion_Bootloader", "chkOperation_Erase", "chkOperation_Upload",
                         "chkOperation_Run", "chkOperation_Erase_EEPROM", "chkOpertation_Erase_RAM",
                         "btnPrevious", "btnNext"}));

    ASSERT_TRUE(QTest::qWaitForWindowActive(w.operations.Window()));
    // An access key clicks its button the way a mouse click would, after the
    // button has shown itself pressed.
    QTest::keyClick(w.operations.Window(), Qt::Key_P, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.firmware.IsLoaded(); }, 2000));
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.firmware.Window()));
    QTest::keyClick(w.firmware.Window(), Qt::Key_N, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.operations.IsLoaded(); }, 2000));
}

TEST_F(WizardFlow, FirmwarePageRefusesAnEmptyPathAndStoresAnyOther) {
    Wizard& w = rig.Build();
    w.Start();
    Click(w.connection, "btnNext");
    EXPECT_EQ(Path()->text(), "");
    Click(w.firmware, "btnNext");
    ASSERT_EQ(rig.box.shown.size(), 1u);
    EXPECT_EQ(rig.box.shown[0].text, "No firmware file selected.");
    EXPECT_EQ(rig.box.shown[0].icon, MsgIcon::Exclamation);
    EXPECT_EQ(rig.box.shown[0].title, "Flashwright");
    EXPECT_TRUE(w.firmware.IsLoaded());
    EXPECT_EQ(rig.Stored(kFilename), "<unset>");

    // Blanks are a path like any other: stored unchanged.
    QTest::keyClicks(Path(), "  ");
    EXPECT_EQ(Find<QLabel>(w.firmware, "lblFullFileName")->text(), "  ");
    Click(w.firmware, "btnNext");
    EXPECT_EQ(rig.Stored(kFilename), "  ");
    EXPECT_TRUE(w.operations.IsLoaded());
}

TEST_F(WizardFlow, BrowseStartsAtThePathCancelKeepsItAndOnlyNextStores) {
    rig.Store(kFilename, "/fw/old.SX");
    Wizard& w = rig.Build();
    w.Start();
    Click(w.connection, "btnNext");
    EXPECT_EQ(Path()->text(), "/fw/old.SX");

    rig.chosen = ""; // cancelled
    Click(w.firmware, "cmdFirmware_Browse");
    EXPECT_EQ(Path()->text(), "/fw/old.SX");
    rig.chosen = "/fw/new.bin";
    Click(w.firmware, "cmdFirmware_Browse");
    EXPECT_EQ(Path()->text(), "/fw/new.bin");
    EXPECT_EQ(Find<QLabel>(w.firmware, "lblFullFileName")->text(), "/fw/new.bin");
    ASSERT_EQ(rig.chooserCalls.size(), 2u);
    EXPECT_EQ(rig.chooserCalls[0], "Select Firmware file to transmit.|/fw/old.SX|"
                                   "Firmware (*.SX *.sx);;All Files (*.*)");

    // Previous does not store; coming back shows the stored path again.
    Click(w.firmware, "btnPrevious");
    EXPECT_EQ(rig.Stored(kFilename), "/fw/old.SX");
    Click(w.connection, "btnNext");
    EXPECT_EQ(Path()->text(), "/fw/old.SX");

    rig.chosen = "/fw/new.bin";
    Click(w.firmware, "cmdFirmware_Browse");
    Click(w.firmware, "btnNext");
    EXPECT_EQ(rig.Stored(kFilename), "/fw/new.bin");
}

} // namespace
} // namespace fw::test
