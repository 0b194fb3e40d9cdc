#include "pages/ComboListBox.h"

#include <QComboBox>

namespace fw {

int ComboListBox::ListCount() const {
    return combo_->count();
}

void ComboListBox::AddItem(const std::string& text) {
    const int selected = combo_->currentIndex();
    combo_->addItem(QString::fromStdString(text));
    if (combo_->currentIndex() != selected) {
        combo_->setCurrentIndex(selected);
    }
}

std::string ComboListBox::List(int index) const {
    return combo_->itemText(index).toStdString();
}

void ComboListBox::SetListIndex(int index) {
    combo_->setCurrentIndex(index);
}

int ComboListBox::ListIndex() const {
    return combo_->currentIndex();
}

} // namespace fw
