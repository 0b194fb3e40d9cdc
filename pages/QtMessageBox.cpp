#include "pages/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>

namespace fw {
namespace {

QMessageBox::Icon ToQt(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Critical:
        return QMessageBox::Critical;
    case MsgIcon::Exclamation:
        return QMessageBox::Warning;
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

void QtMessageBox::Show(const std::string& text, MsgIcon icon, const std::string& title) {
    // Texts break lines with CR LF; a lone CR would show as a stray glyph.
    QString shown = QString::fromStdString(text);
    shown.replace("\r\n", "\n");
    QMessageBox box(ToQt(icon), QString::fromStdString(title), shown, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

} // namespace fw
