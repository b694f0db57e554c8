// Start to first paint and peak memory (VmHWM) of the main window with 200 centres,
// 2000 recipients and 1000 history entries, side by side with bench_bare. Each start
// is its own process, so each peak is that process's own; the time runs from just
// before the parent starts the child to the end of the child's first paint.
//   bench_startup [ROUNDS]          (the parent: prints the table)
//   bench_startup --child FOLDER    (one start of the main window on FOLDER)
#include "benchdata.h"

#include "benchwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace
{

// The program's own start-up, as its main() does it.
int startWindow(int argc, char *argv[])
{
    bench::mark("main()");
    QApplication app(argc, argv);
    bench::FirstPaint paint;
    app.installEventFilter(&paint);
    bench::mark("application");
    AppData data;
    data.folder = app.arguments().value(2);
    ImmediateExit process;
    bench::MainWindow program(data, process);
    frmMain &window = program.window;
    bench::mark("window built");
    window.Form_Load();
    bench::mark("files loaded, selectors filled");
    window.show();
    std::printf("size %d %d\n", window.width(), window.height());
    return app.exec();
}

struct Start {
    double ms = 0;
    double mib = 0;
    QSize size;
    QList<QPair<QByteArray, double>> marks; // ms from the start
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
        else if (f.size() >= 3 && f[0] == "mark")
            result.marks << qMakePair(line.mid(f[0].size() + f[1].size() + 2),
                                      double(f[1].toLongLong() - started) / 1e6);
        else if (f.size() == 2) {
            result.ms = double(f[0].toLongLong() - started) / 1e6;
            result.mib = double(f[1].toLongLong()) / 1024;
        }
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

// A program folder like build/bin: the files, and the help collection beside them.
bool prepareFolder(const QString &folder, bool large)
{
    const QString bin = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    for (const char *name : {"fumidori.qhc", "fumidori.qch"})
        QFile::copy(bin + QLatin1String(name), folder + QLatin1String(name));
    if (large)
        return bench::writeLargeFolder(folder);
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.history.resize(data.settings.HistoryCount);
    return !SaveSettingsFile(data) && !SaveHistoryFile(data);
}

// The median time from the start to each mark of the main window's starts.
void printBreakdown(const char *name, const QList<Start> &starts)
{
    if (starts.isEmpty())
        return;
    std::printf("  %s, from the start (medians):", name);
    for (int m = 0; m < starts.first().marks.size(); ++m) {
        QList<double> ms;
        for (const Start &s : starts)
            ms << s.marks.value(m).second;
        std::printf(" %s %.1f ms;", starts.first().marks[m].first.constData(), bench::median(ms));
    }
    QList<double> painted;
    for (const Start &s : starts)
        painted << s.ms;
    std::printf(" painted %.1f ms\n", bench::median(painted));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 2 && QByteArray(argv[1]) == "--child")
        return startWindow(argc, argv);
    QCoreApplication app(argc, argv);
    const int rounds = qMax(1, app.arguments().value(1, QStringLiteral("7")).toInt());
    QTemporaryDir largeDir, emptyDir;
    const QString large = largeDir.path() + QLatin1Char('/');
    const QString empty = emptyDir.path() + QLatin1Char('/');
    if (!prepareFolder(large, true) || !prepareFolder(empty, false)) {
        std::fprintf(stderr, "bench_startup: could not write the files\n");
        return 1;
    }
    const QString bin = QCoreApplication::applicationDirPath();
    const QString self = QCoreApplication::applicationFilePath();
    const QSize size = runChild(self, {"--child", large}).size; // also warms the caches
    const QStringList sizeArgs{QString::number(size.width()), QString::number(size.height())};
    QList<Start> bare, label, window, emptyWindow;
    for (int i = 0; i < rounds; ++i) {
        bare << runChild(bin + "/bench_bare", sizeArgs);
        label << runChild(bin + "/bench_bare", sizeArgs + QStringList{"--label"});
        emptyWindow << runChild(self, {"--child", empty});
        window << runChild(self, {"--child", large});
    }
    std::printf("start to first paint and peak memory, median of %d starts each (%dx%d window, %s;\n"
                "%d centres, %d recipients, %d history entries)\n",
                rounds, size.width(), size.height(), qPrintable(qEnvironmentVariable("QT_QPA_PLATFORM", "offscreen")),
                bench::Centers, bench::Recipients, bench::HistoryEntries);
    printRow("bare QMainWindow", bare);
    printRow("bare QMainWindow + one text label", label);
    printRow("main window, empty address book", emptyWindow);
    printRow("main window, large address book", window);
    QList<double> ratioMs, ratioMib;
    for (int i = 0; i < rounds; ++i) {
        ratioMs << window[i].ms / bare[i].ms;
        ratioMib << window[i].mib / bare[i].mib;
    }
    std::printf("%-34s %10.2f x  %10.2f x    (goal <= 1.3 x for both)\n", "main window / bare window",
                bench::median(ratioMs), bench::median(ratioMib));
    printBreakdown("bare window", bare);
    printBreakdown("main window", window);
    return window.first().ms > 0 ? 0 : 1;
}
