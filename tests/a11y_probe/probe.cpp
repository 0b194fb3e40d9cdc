// Writes the accessible tree of a Qt program's visible windows to a file, a
// line a node, indented by depth:
//   ComboBox "COM7 (In Use)" = "COM7 (In Use)"
//     List ""
//       ListItem "COM1"
// (role, name, and value when there is one; "[hidden]" on nodes not shown,
// such as a closed list's items). The file is rewritten, by rename, whenever
// the text changes, so a reader never sees half of it.
#include <QAccessible>
#include <QGenericPlugin>
#include <QGuiApplication>
#include <QMetaEnum>
#include <QSaveFile>
#include <QTimer>
#include <QWindow>

namespace {

constexpr int kMaxDepth = 40;
constexpr int kMaxNodes = 20000; // a bound for a tree that goes wrong
constexpr int kPeriodMs = 200;

QString Quoted(QString text) {
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

void Describe(QAccessibleInterface* node, int depth, QString& out, int& nodes) {
    if (node == nullptr || !node->isValid() || depth > kMaxDepth || ++nodes > kMaxNodes)
        return;
    const char* role = QMetaEnum::fromType<QAccessible::Role>().valueToKey(node->role());
    out += QString(depth * 2, QLatin1Char(' '));
    out += role != nullptr ? QLatin1String(role) : QString::number(node->role());
    out += QLatin1Char(' ') + Quoted(node->text(QAccessible::Name));
    const QString value = node->text(QAccessible::Value);
    if (!value.isEmpty())
        out += QLatin1String(" = ") + Quoted(value);
    if (node->state().invisible)
        out += QLatin1String(" [hidden]");
    out += QLatin1Char('\n');
    const int count = node->childCount();
    for (int i = 0; i < count; ++i)
        Describe(node->child(i), depth + 1, out, nodes);
}

class Probe : public QObject {
public:
    explicit Probe(const QString& path) : path_(path) {
        connect(&timer_, &QTimer::timeout, this, &Probe::Write);
        timer_.start(kPeriodMs);
    }

private:
    void Write() {
        QString text;
        int nodes = 0;
        for (QWindow* window : QGuiApplication::topLevelWindows()) {
            if (window->isVisible())
                Describe(window->accessibleRoot(), 0, text, nodes);
        }
        if (text == last_)
            return;
        QSaveFile file(path_);
        if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit())
            last_ = text;
    }

    QString path_;
    QString last_;
    QTimer timer_;
};

} // namespace

class ProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "probe.json")

public:
    QObject* create(const QString& key, const QString& specification) override {
        if (key.compare(QLatin1String("fw_a11y_probe"), Qt::CaseInsensitive) != 0 ||
            specification.isEmpty())
            return nullptr;
        return new Probe(specification);
    }
};

#include "probe.moc"
