#include "pages/OperationsPage.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace fw {

struct OperationsPage::Box {
    const char* name;
    int top;
    int height;
    const Operation& operation; // caption and flag
};

// In the order on screen, which is the order the operations run in.
const std::array<OperationsPage::Box, 6> OperationsPage::kBoxes{{
    {"chkOpertaion_Bootloader", 960, 255, kOperations[0]},
    {"chkOperation_Erase", 1320, 195, kOperations[1]},
    {"chkOperation_Erase_EEPROM", 1680, 255, kOperations[2]},
    {"chkOpertation_Erase_RAM", 2040, 255, kOperations[3]},
    {"chkOperation_Upload", 2400, 195, kOperations[4]},
    {"chkOperation_Run", 2760, 255, kOperations[5]},
}};

OperationsPage::OperationsPage(Operations& operations)
    : QtPage("frmSelectOperations", 4770, 4635), operations_(operations) {
}

OperationsPage::~OperationsPage() {
    UnloadNow();
}

void OperationsPage::SetNeighbours(IPage& previous, IPage& next, std::function<void()> connect) {
    previous_ = &previous;
    next_ = &next;
    connect_ = std::move(connect);
}

VbBool& OperationsPage::Flag(int box) {
    return operations_.*(kBoxes[static_cast<std::size_t>(box)].operation.flag);
}

void OperationsPage::BuildControls(QWidget* window) {
    QGroupBox* fraOperation = AddPageFrame(window, "fraOperation");
    PlaceTwips(MakeLabel("Label6", "Select the operations you wish to perform:", fraOperation), 240,
               480, 3375, 375);

    for (std::size_t i = 0; i < kBoxes.size(); ++i) {
        auto* box = new QCheckBox(kBoxes[i].operation.caption, fraOperation);
        box->setObjectName(kBoxes[i].name);
        PlaceTwips(box, 360, kBoxes[i].top, 3735, kBoxes[i].height);
        // A box's click runs on every change of its value, also when the page
        // sets it.
        QObject::connect(box, &QCheckBox::toggled, box,
                         [this, i](bool) { BoxClick(static_cast<int>(i)); });
        boxes_[i] = box;
    }

    auto* btnPrevious = AddButton(window, "btnPrevious", "&Previous", 1920, 4200, 1335, 375,
                                  [this] { btnPrevious_Click(); });

    auto* btnNext =
        AddButton(window, "btnNext", "&Next", 3360, 4200, 1335, 375, [this] { btnNext_Click(); });

    // The two extra erases come last: they are the rarely wanted ones.
    const std::array<QWidget*, 8> tabOrder{boxes_[0], boxes_[1], boxes_[4],   boxes_[5],
                                           boxes_[2], boxes_[3], btnPrevious, btnNext};
    for (std::size_t i = 0; i + 1 < tabOrder.size(); ++i) {
        QWidget::setTabOrder(tabOrder[i], tabOrder[i + 1]);
    }
    boxes_[0]->setFocus();
}

void OperationsPage::FormActivate() {
    for (std::size_t i = 0; i < boxes_.size(); ++i) {
        boxes_[i]->setChecked(Flag(static_cast<int>(i)) != 0);
    }
}

void OperationsPage::FormUnload() {
    boxes_.fill(nullptr);
}

void OperationsPage::BoxClick(int box) {
    Flag(box) = ToVb(boxes_[static_cast<std::size_t>(box)]->isChecked());
}

void OperationsPage::btnNext_Click() {
    if (next_ != nullptr) {
        HandOver(*this, *next_, connect_);
    }
}

void OperationsPage::btnPrevious_Click() {
    if (previous_ != nullptr) {
        HandOver(*this, *previous_);
    }
}

} // namespace fw
