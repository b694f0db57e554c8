// Start to first paint and peak memory (VmHWM) of the main window with 200 centres,
// 2000 recipients and 1000 history entries, side by side with bench_bare. Each start
// is its own process, so each peak is that process's own; the time runs from just
// before the parent starts the child to the end of the child's first paint.
//   bench_startup [ROUNDS]          (the parent: prints the table)
//   bench_startup --child FOLDER    (one start of the main window on FOLDER)
#include "benchdata.h"

#include "modem/comport.h"
#include "ui/frmmain.h"
#include "ui/platform.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

namespace
{

// The program's own start-up, as its main() does it.
int startWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    bench::FirstPaint paint;
    app.installEventFilter(&paint);
    AppData data;
    data.folder = app.arguments().value(2);
    QtMessageBoxes boxes;
    QtClipboard clipboard;
    DesktopUrlOpener urls;
    ImmediateExit process;
    Platform platform{&boxes, &clipboard, nullptr, &urls, &process};
    ComPort port(data.folder);
    frmMain window(data, platform, port);
    window.Form_Load();
    window.show();
    std::printf("size %d %d\n", window.width(), window.height());
    return app.exec();
}

struct Start {
    double ms = 0;
    double mib = 0;
    QSize size;
};

// One child start; ms stays 0 when the child printed no first paint.
Start runChild(const QString &program, const QStringList &args)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    const qint64 started = bench::monotonicNs();
    child.start(program, args);
    child.waitForFinished(60000);
    Start result;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 3 && f[0] == "size")
            result.size = QSize(f[1].toInt(), f[2].toInt());
        else if (f.size() == 2)
            result = {double(f[0].toLongLong() - started) / 1e6, double(f[1].toLongLong()) / 1024, result.size};
    }
    return result;
}

void printRow(const char *name, const QList<Start> &starts)
{
    QList<double> ms, mib;
    for (const Start &s : starts) {
        ms << s.ms;
        mib << s.mib;
    }
    std::printf("%-34s %10.1f ms %10.1f MiB\n", name, bench::median(ms), bench::median(mib));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 2 && QByteArray(argv[1]) == "--child")
        return startWindow(argc, argv);
    QCoreApplication app(argc, argv);
    const int rounds = qMax(1, app.arguments().value(1, QStringLiteral("7")).toInt());
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    if (!bench::writeLargeFolder(folder)) {
        std::fprintf(stderr, "bench_startup: could not write the files\n");
        return 1;
    }
    const QString bin = QCoreApplication::applicationDirPath();
    const QString self = QCoreApplication::applicationFilePath();
    const QSize size = runChild(self, {"--child", folder}).size; // also warms the caches
    const QStringList sizeArgs{QString::number(size.width()), QString::number(size.height())};
    QList<Start> bare, label, window;
    for (int i = 0; i < rounds; ++i) {
        bare << runChild(bin + "/bench_bare", sizeArgs);
        label << runChild(bin + "/bench_bare", sizeArgs + QStringList{"--label"});
        window << runChild(self, {"--child", folder});
    }
    std::printf("start to first paint and peak memory, median of %d starts each (%dx%d window, %s;\n"
                "%d centres, %d recipients, %d history entries)\n",
                rounds, size.width(), size.height(), qPrintable(qEnvironmentVariable("QT_QPA_PLATFORM", "offscreen")),
                bench::Centers, bench::Recipients, bench::HistoryEntries);
    printRow("bare QMainWindow", bare);
    printRow("bare QMainWindow + one text label", label);
    printRow("fumidori main window", window);
    QList<double> ratioMs, ratioMib;
    for (int i = 0; i < rounds; ++i) {
        ratioMs << window[i].ms / bare[i].ms;
        ratioMib << window[i].mib / bare[i].mib;
    }
    std::printf("%-34s %10.2f x  %10.2f x    (goal <= 1.3 x for both)\n", "main window / bare window",
                bench::median(ratioMs), bench::median(ratioMib));
    return window.first().ms > 0 ? 0 : 1;
}
