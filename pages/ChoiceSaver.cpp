#include "pages/ChoiceSaver.h"

namespace fw {

void ChoiceSaver::Save(const std::string& valueName, const std::string& value,
                       const std::string& choice) {
    if (settings_.SaveSettingValue(kSection, valueName, value)) {
        return;
    }
    if (failed_.empty()) {
        why_ = settings_.LastSaveFailure();
    }
    failed_.push_back(choice);
}

std::string ChoiceSaver::Message() const {
    if (failed_.empty()) {
        return {};
    }
    std::string names;
    for (std::size_t i = 0; i < failed_.size(); ++i) {
        names += (i == 0 ? "" : i + 1 == failed_.size() ? " and " : ", ") + failed_[i];
    }
    return "The " + names + " could not be kept for the next start: " + why_ +
           ".\n\nThis run uses what the page shows.";
}

void ChoiceSaver::Report(IMessageBox& box) const {
    if (!failed_.empty()) {
        box.Show(Message(), MsgIcon::Exclamation, kAppTitle);
    }
}

} // namespace fw
