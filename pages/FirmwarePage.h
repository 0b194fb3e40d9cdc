// frmSelectFirmware: the path of the firmware image, typed or chosen in a file
// dialog. Next hands the path shown to the run's choices and stores it as
// "Filename" for the next start; every visit starts from the stored value.
#pragma once

#include "engine/MessageBox.h"
#include "engine/RunConfig.h"
#include "pages/QtPage.h"
#include "settings/Settings.h"

#include <functional>
#include <string>

class QLineEdit;

namespace fw {

inline constexpr const char* kMsgNoFirmware = "No firmware file selected.";
inline constexpr const char* kBrowseTitle = "Select Firmware file to transmit.";
// File names are case-sensitive here, so each entry names both cases. The
// firmware entry comes first and is the one chosen.
inline constexpr const char* kFirmwareFilter =
    "Firmware (*.SX *.sx);;"
    "S-record files (*.sx *.SX *.s19 *.S19 *.s28 *.S28 *.srec *.SREC *.mot *.MOT);;"
    "All Files (*.*)";

// An open-file dialog: the chosen path, or "" when the user cancelled.
using FileChooser = std::function<std::string(QWidget* parent, const std::string& title,
                                              const std::string& start, const std::string& filter)>;
// The toolkit's own dialog.
std::string ChooseFileWithDialog(QWidget* parent, const std::string& title,
                                 const std::string& start, const std::string& filter);

class FirmwarePage : public QtPage {
public:
    FirmwarePage(Settings& settings, RunConfig& choices, IMessageBox& box,
                 FileChooser chooser = ChooseFileWithDialog);
    ~FirmwarePage() override;

    void SetNeighbours(IPage& previous, IPage& next);

    void cmdFirmware_Browse_Click();
    void btnNext_Click();
    void btnPrevious_Click();

protected:
    void BuildControls(QWidget* window) override;
    void FormActivate() override;
    void FormUnload() override;

private:
    Settings& settings_;
    RunConfig& choices_;
    IMessageBox& box_;
    FileChooser chooser_;
    IPage* previous_ = nullptr;
    IPage* next_ = nullptr;
    QLineEdit* txtFullFileName_ = nullptr;
};

} // namespace fw
