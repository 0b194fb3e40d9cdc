// Modal message boxes, as the core raises them.
#pragma once

#include <string>

namespace fw {

inline constexpr const char* kAppTitle = "Flashwright";

enum class MsgIcon { None, Critical, Exclamation, Information };

class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    // Shows a modal box with an OK button and returns when the user closes it.
    virtual void Show(const std::string& text, MsgIcon icon, const std::string& title) = 0;
};

} // namespace fw
