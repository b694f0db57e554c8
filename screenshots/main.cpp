#include "screenshots/shots.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QList>
#include <QPair>
#include <QWidget>
#include <cstdio>

namespace {
QList<QPair<QString, ShotFunction>> &registry()
{
    static QList<QPair<QString, ShotFunction>> shots;
    return shots;
}
} // namespace

ShotRegistrar::ShotRegistrar(const char *name, ShotFunction function)
{
    registry().append({QString::fromLatin1(name), std::move(function)});
}

void saveShot(QWidget *widget, const QString &folder, const QString &fileName)
{
    widget->show();
    QApplication::processEvents(); // one pass so the widget lays out and paints before it is grabbed
    const QString path = QDir(folder).filePath(fileName);
    if (!widget->grab().save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
}

// Usage: fumidori-screenshots FOLDER [NAME...]: renders every registered form, or the named ones.
int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString folder = args.value(0, QStringLiteral("build/screenshots"));
    QDir().mkpath(folder);
    for (const auto &[name, function] : registry())
        if (args.size() < 2 || args.mid(1).contains(name))
            function(folder);
    return 0;
}
