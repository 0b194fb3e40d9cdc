#include "pages/QtPage.h"

#include "engine/MessageBox.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
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

QGroupBox* AddPageFrame(QWidget* window, const char* objectName) {
    auto* frame = new QGroupBox(window);
    frame->setObjectName(QString::fromUtf8(objectName));
    PlaceTwips(frame, 120, 0, 4575, 4095);
    return frame;
}

QLabel* MakeLabel(const char* objectName, const char* text, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(QString::fromUtf8(objectName));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QPushButton* AddButton(QWidget* parent, const char* objectName, const char* caption, int left,
                       int top, int width, int height, std::function<void()> onClick) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setObjectName(QString::fromUtf8(objectName));
    PlaceTwips(button, left, top, width, height);
    QObject::connect(button, &QPushButton::clicked, button, std::move(onClick));
    return button;
}

namespace {

// The layouts were drawn for an 8-point dialog font. A wider font (every
// platform has its own) gets smaller in half points until the fixed captions
// fit their controls again, but no smaller than 6 points.
constexpr double kDesignPointSize = 8.0;
constexpr double kSmallestPointSize = 6.0;

bool CaptionsFit(const QWidget* window) {
    for (const QWidget* w : window->findChildren<QWidget*>()) {
        if (w->isHidden()) {
            continue;
        }
        if (qobject_cast<const QLabel*>(w) != nullptr ||
            qobject_cast<const QCheckBox*>(w) != nullptr) {
            if (w->sizeHint().width() > w->width()) {
                return false;
            }
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
            // A push button's own size hint asks for generous margins; only its
            // text must fit.
            const QString text = QString(button->text()).remove('&');
            if (button->fontMetrics().horizontalAdvance(text) + 6 > button->width()) {
                return false;
            }
        }
    }
    return true;
}

void FitFont(QWidget* window) {
    QFont font = window->font();
    for (double size = kDesignPointSize; size >= kSmallestPointSize; size -= 0.5) {
        font.setPointSizeF(size);
        window->setFont(font);
        if (CaptionsFit(window)) {
            return;
        }
    }
}

} // namespace

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
    window->setFixedSize(TwipsToPx(clientWidth_), TwipsToPx(clientHeight_));
    window_ = window;
    BuildControls(window);
    FitFont(window);
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
