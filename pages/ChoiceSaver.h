// A page's Next stores its choices for the next start. What could not be
// stored is told once, in one message naming those choices and why; the run
// takes the choices from the page all the same.
#pragma once

#include "engine/MessageBox.h"
#include "settings/Settings.h"

#include <string>
#include <vector>

namespace fw {

class ChoiceSaver {
public:
    explicit ChoiceSaver(Settings& settings) : settings_(settings) {}

    // Stores one value; `choice` names it for the user ("COM port").
    void Save(const std::string& valueName, const std::string& value, const std::string& choice);
    // One message box when any save failed; nothing otherwise.
    void Report(IMessageBox& box) const;
    // The message for the choices that could not be kept; empty when all were.
    std::string Message() const;

private:
    Settings& settings_;
    std::vector<std::string> failed_;
    std::string why_; // of the first failure
};

} // namespace fw
