// The page tests need a QApplication; they run on the offscreen platform
// unless told otherwise.
#include <QApplication>

#include <gtest/gtest.h>

namespace {

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform cannot raise windows and says so at every page shown.
void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (!text.contains("does not support raise()") && defaultHandler != nullptr) {
        defaultHandler(type, context, text);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    defaultHandler = qInstallMessageHandler(QuietHandler);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
