// A QComboBox as the port search's list box. Adding an entry leaves the
// selection alone (the toolkit would select the first entry added to an empty
// list), so "nothing selected" survives a fill.
#pragma once

#include "pages/PortDiscovery.h"

class QComboBox;

namespace fw {

class ComboListBox : public IListBox {
public:
    explicit ComboListBox(QComboBox* combo) : combo_(combo) {}

    int ListCount() const override;
    void AddItem(const std::string& text) override;
    std::string List(int index) const override;
    void SetListIndex(int index) override;
    int ListIndex() const override;

private:
    QComboBox* combo_;
};

} // namespace fw
