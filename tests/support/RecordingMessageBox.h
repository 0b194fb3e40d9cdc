// Records every message box; a hook can act while a box is "open", as the real
// modal box's event loop would.
#pragma once

#include "engine/MessageBox.h"

#include <functional>
#include <string>
#include <vector>

namespace fw::test {

class RecordingMessageBox : public IMessageBox {
public:
    struct Shown {
        std::string text;
        MsgIcon icon;
        std::string title;
    };

    void Show(const std::string& text, MsgIcon icon, const std::string& title) override {
        shown.push_back({text, icon, title});
        if (whileOpen) {
            whileOpen();
        }
    }

    std::vector<Shown> shown;
    std::function<void()> whileOpen;
};

} // namespace fw::test
