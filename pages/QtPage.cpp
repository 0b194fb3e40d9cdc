#include "pages/QtPage.h"

#include "app/MessageBox.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace fw {

double ScreenDpi() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->logicalDotsPerInch() : 96.0;
}

int TwipsToPx(double twips, double dpi) {
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

int TwipsToPx(double twips) {
    return TwipsToPx(twips, ScreenDpi());
}

void PlaceTwips(QWidget* widget, int left, int top, int width, int height) {
    const double dpi = ScreenDpi();
    widget->setGeometry(TwipsToPx(left, dpi), TwipsToPx(top, dpi), TwipsToPx(width, dpi),
                        TwipsToPx(height, dpi));
}

PageWindow::PageWindow(std::function<void()> onClose)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      onClose_(std::move(onClose)) {
}

void PageWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (onClose_) {
        // The handler unloads the page, which detaches and disposes of this
        // window once the close has run its course.
        auto handler = onClose_;
        handler();
    }
}

QtPage::QtPage(std::string objectName, int clientWidth, int clientHeight)
    : objectName_(std::move(objectName)), clientWidth_(clientWidth), clientHeight_(clientHeight) {
}

QtPage::~QtPage() {
    // The derived page's FormUnload can no longer run here; derived pages
    // unload in their own destructors. A window left over is simply deleted.
    delete window_.data();
}

int QtPage::Left() {
    EnsureLoaded();
    return window_->pos().x();
}

int QtPage::Top() {
    EnsureLoaded();
    return window_->pos().y();
}

void QtPage::SetLeft(int left) {
    EnsureLoaded();
    window_->move(left, window_->pos().y());
}

void QtPage::SetTop(int top) {
    EnsureLoaded();
    window_->move(window_->pos().x(), top);
}

void QtPage::Show() {
    EnsureLoaded();
    const bool wasVisible = window_->isVisible();
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (!wasVisible) {
        FormActivate();
    }
}

void QtPage::Unload() {
    UnloadWindow(true);
}

void QtPage::UnloadWindow(bool deferDelete) {
    if (!window_) {
        return;
    }
    FormUnload();
    PageWindow* window = window_;
    window_ = nullptr;
    window->Detach();
    window->hide();
    if (deferDelete) {
        // Unloads are started from the window's own buttons and close box; the
        // window goes once that event has been handled.
        window->deleteLater();
    } else {
        delete window;
    }
}

void QtPage::EnsureLoaded() {
    if (window_) {
        return;
    }
    auto* window = new PageWindow([this] { OnUserClose(); });
    window->setObjectName(QString::fromStdString(objectName_));
    window->setWindowTitle(QString::fromUtf8(kAppTitle));
    // The layouts were drawn for an 8-point dialog font; the toolkit's default
    // is often larger and would clip the one-line labels.
    QFont font = window->font();
    font.setPointSizeF(8.0);
    window->setFont(font);
    window->setFixedSize(TwipsToPx(clientWidth_), TwipsToPx(clientHeight_));
    window_ = window;
    BuildControls(window);
    FormLoad();
}

void QtPage::OnUserClose() {
    QueryClose();
    Unload();
    if (afterUserClose_) {
        afterUserClose_();
    }
}

} // namespace fw
