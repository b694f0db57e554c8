// The floor for bench_startup: a bare main window, built and started the way the
// program is (same build, QApplication, one QMainWindow of the given size), printing
// its first paint like the program's. With --label it also shows one line of
// Japanese text, which is what brings in the fonts.
//   bench_bare [WIDTH HEIGHT] [--label]
#include "benchdata.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    bench::mark("main()");
    QApplication app(argc, argv);
    bench::mark("application");
    bench::FirstPaint paint;
    app.installEventFilter(&paint);
    QMainWindow window;
    const QStringList args = app.arguments();
    if (args.size() > 2)
        window.resize(args[1].toInt(), args[2].toInt());
    if (args.contains(QStringLiteral("--label")))
        window.setCentralWidget(new QLabel(QStringLiteral("本文 ABC ｶﾅ")));
    window.show();
    return app.exec();
}
