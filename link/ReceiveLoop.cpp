#include "link/ReceiveLoop.h"

namespace fw {

void ReceiveLoop::Receive(const std::function<std::string()>& readAll,
                          const std::function<bool()>& waiting) {
    if (receiving_) {
        return;
    }
    receiving_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{receiving_};
    do {
        const std::string text = readAll();
        if (onArrived_) {
            onArrived_(text);
        }
    } while (waiting());
}

} // namespace fw
