#include "pages/Page.h"

namespace fw {

void HandOver(IPage& current, IPage& target, const std::function<void()>& between) {
    target.SetLeft(current.Left());
    target.SetTop(current.Top());
    target.Show();
    if (between) {
        between();
    }
    current.Unload();
}

} // namespace fw
