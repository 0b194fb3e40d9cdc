// frmSelectOperations: six boxes, one per bootloader operation, each bound to
// its flag in the run's choices. Next starts the update on the progress page.
#pragma once

#include "engine/RunConfig.h"
#include "pages/QtPage.h"

#include <array>
#include <functional>

class QCheckBox;

namespace fw {

class OperationsPage : public QtPage {
public:
    explicit OperationsPage(Operations& operations);
    ~OperationsPage() override;

    // `connect` runs while both this page and the progress page are up (it
    // opens the link to the analyser).
    void SetNeighbours(IPage& previous, IPage& next, std::function<void()> connect);

    void btnNext_Click();
    void btnPrevious_Click();

protected:
    void BuildControls(QWidget* window) override;
    void FormActivate() override;
    void FormUnload() override;

private:
    struct Box;
    static const std::array<Box, 6> kBoxes;
    VbBool& Flag(int box);
    void BoxClick(int box);

    Operations& operations_;
    IPage* previous_ = nullptr;
    IPage* next_ = nullptr;
    std::function<void()> connect_;
    std::array<QCheckBox*, 6> boxes_{};
};

} // namespace fw
