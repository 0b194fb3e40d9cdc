// The Qt side of a wizard page: a persistent page object whose window is built
// when the page is loaded and destroyed when it is unloaded. Fields of the
// derived page survive an unload; controls do not.
//
// Geometry comes in twips (1/1440 inch), converted with the screen's logical
// DPI, so a page has the same physical size as it was designed with.
#pragma once

#include "pages/Page.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <string>

class QCloseEvent;
class QGroupBox;
class QLabel;
class QPushButton;

namespace fw {

// The logical DPI of the primary screen (96 when there is none).
double ScreenDpi();
int TwipsToPx(double twips, double dpi);
int TwipsToPx(double twips);
// Places `widget` at left/top/width/height twips inside its parent.
void PlaceTwips(QWidget* widget, int left, int top, int width, int height);
// The captionless frame that holds a page's controls, at the place every page
// has it (120, 0, 4575, 4095 twips).
QGroupBox* AddPageFrame(QWidget* window, const char* objectName);
// A label named `objectName`, its text at the top left of its area.
QLabel* MakeLabel(const char* objectName, const char* text, QWidget* parent);
// A push button named `objectName` with `caption` ("&" marks the access key),
// placed in twips inside `parent`, that runs `onClick` when clicked.
QPushButton* AddButton(QWidget* parent, const char* objectName, const char* caption, int left,
                       int top, int width, int height, std::function<void()> onClick);

// The top-level window of a page. Closing it from the title bar is handed to
// the page (which decides what a close does to its work).
class PageWindow : public QWidget {
    Q_OBJECT
public:
    explicit PageWindow(std::function<void()> onClose);
    // The page no longer wants to hear about closes (it is being unloaded).
    void Detach() { onClose_ = nullptr; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::function<void()> onClose_;
};

class QtPage : public IPage {
public:
    // `clientWidth` x `clientHeight` twips of client area; the window caption is
    // the program's title.
    QtPage(std::string objectName, int clientWidth, int clientHeight);
    ~QtPage() override;
    QtPage(const QtPage&) = delete;
    QtPage& operator=(const QtPage&) = delete;

    int Left() override;
    int Top() override;
    void SetLeft(int left) override;
    void SetTop(int top) override;
    // Loads when needed, shows, and runs the page's activation when the window
    // was not on screen before (a page already up is only raised).
    void Show() override;
    void Unload() override;

    bool IsLoaded() const { return window_ != nullptr; }
    // The page's window while loaded, else null.
    QWidget* Window() const { return window_; }
    // Runs after the user closed the window from its title bar and the page has
    // been unloaded (the wizard ends the program there when no page is left).
    void SetAfterUserClose(std::function<void()> hook) { afterUserClose_ = std::move(hook); }

protected:
    // Creates the controls in `window` (sized and titled already).
    virtual void BuildControls(QWidget* window) = 0;
    // Runs once the controls exist, before the window is first shown.
    virtual void FormLoad() {}
    // Runs each time the page comes on screen.
    virtual void FormActivate() {}
    // Runs as the page is unloaded, while the controls still exist: release
    // everything that points into them.
    virtual void FormUnload() {}
    // The user closed the window from its title bar; runs before the unload.
    virtual void QueryClose() {}

    void EnsureLoaded();
    // Unload for the destructor of a derived page: the window goes at once.
    void UnloadNow() { UnloadWindow(false); }

private:
    void UnloadWindow(bool deferDelete);
    void OnUserClose();

    std::string objectName_;
    int clientWidth_;
    int clientHeight_;
    QPointer<PageWindow> window_;
    std::function<void()> afterUserClose_;
};

} // namespace fw
