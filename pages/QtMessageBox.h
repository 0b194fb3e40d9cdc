// Modal message boxes through QMessageBox: an OK button, the given icon and
// title, over the program's active window.
#pragma once

#include "engine/MessageBox.h"

namespace fw {

class QtMessageBox : public IMessageBox {
public:
    void Show(const std::string& text, MsgIcon icon, const std::string& title) override;
};

} // namespace fw
