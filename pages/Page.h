// A wizard page as the hand-over between pages sees it.
#pragma once

#include <functional>

namespace fw {

class IPage {
public:
    virtual ~IPage() = default;
    // Screen position of the page window (loads the page when needed).
    virtual int Left() = 0;
    virtual int Top() = 0;
    virtual void SetLeft(int left) = 0;
    virtual void SetTop(int top) = 0;
    // Shows the page modeless, loading it first when it is not loaded.
    virtual void Show() = 0;
    // Destroys the window and its controls; the page instance and its fields stay.
    virtual void Unload() = 0;
};

// Every Next and Previous: the target takes the current page's Left and Top, is
// shown modeless, `between` runs while both pages are on screen (the operations
// page's Next connects to the analyser there), then the current page is unloaded.
void HandOver(IPage& current, IPage& target, const std::function<void()>& between = {});

} // namespace fw
