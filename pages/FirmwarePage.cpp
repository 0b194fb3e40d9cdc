#include "pages/FirmwarePage.h"

#include "pages/ChoiceSaver.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace fw {

std::string ChooseFileWithDialog(QWidget* parent, const std::string& title,
                                 const std::string& start, const std::string& filter) {
    return QFileDialog::getOpenFileName(parent, QString::fromStdString(title),
                                        QString::fromStdString(start),
                                        QString::fromStdString(filter))
        .toStdString();
}

FirmwarePage::FirmwarePage(Settings& settings, RunConfig& choices, IMessageBox& box,
                           FileChooser chooser)
    : QtPage("frmSelectFirmware", 4770, 4635), settings_(settings), choices_(choices), box_(box),
      chooser_(std::move(chooser)) {
}

FirmwarePage::~FirmwarePage() {
    UnloadNow();
}

void FirmwarePage::SetNeighbours(IPage& previous, IPage& next) {
    previous_ = &previous;
    next_ = &next;
}

void FirmwarePage::BuildControls(QWidget* window) {
    QGroupBox* fraFirmware = AddPageFrame(window, "fraFirmware");
    PlaceTwips(MakeLabel("Label5", "What firmware to do you wish to load?", fraFirmware), 120, 360,
               3495, 255);

    txtFullFileName_ = new QLineEdit(fraFirmware);
    txtFullFileName_->setObjectName("txtFullFileName");
    PlaceTwips(txtFullFileName_, 240, 720, 3975, 315);

    auto* browse = AddButton(fraFirmware, "cmdFirmware_Browse", "Browse", 3360, 1200, 855, 255,
                             [this] { cmdFirmware_Browse_Click(); });

    auto* btnPrevious = AddButton(window, "btnPrevious", "&Previous", 1920, 4200, 1335, 375,
                                  [this] { btnPrevious_Click(); });

    auto* btnNext =
        AddButton(window, "btnNext", "&Next", 3360, 4200, 1335, 375, [this] { btnNext_Click(); });

    QWidget::setTabOrder(browse, txtFullFileName_);
    QWidget::setTabOrder(txtFullFileName_, btnPrevious);
    QWidget::setTabOrder(btnPrevious, btnNext);
    browse->setFocus();
}

void FirmwarePage::FormActivate() {
    txtFullFileName_->setText(
        QString::fromStdString(settings_.GetSettingValue(kSection, kFilename, "")));
}

void FirmwarePage::FormUnload() {
    txtFullFileName_ = nullptr;
}

void FirmwarePage::cmdFirmware_Browse_Click() {
    const std::string chosen =
        chooser_(Window(), kBrowseTitle, txtFullFileName_->text().toStdString(), kFirmwareFilter);
    // A cancelled dialog gives "" and leaves the path as it was. The page may
    // have gone while the dialog was up.
    if (!chosen.empty() && txtFullFileName_ != nullptr) {
        txtFullFileName_->setText(QString::fromStdString(chosen));
    }
}

void FirmwarePage::btnNext_Click() {
    const std::string path = txtFullFileName_->text().toStdString();
    if (path.empty()) {
        box_.Show(kMsgNoFirmware, MsgIcon::Exclamation, kAppTitle);
        return;
    }
    choices_.filename = path;
    ChoiceSaver saver(settings_);
    saver.Save(kFilename, path, "firmware file");
    saver.Report(box_);
    if (next_ != nullptr) {
        HandOver(*this, *next_);
    }
}

void FirmwarePage::btnPrevious_Click() {
    if (previous_ != nullptr) {
        HandOver(*this, *previous_);
    }
}

} // namespace fw
