// What the queue does with input far over its limits, timed from outside:
// - fumidori-send with 10 MB on standard input, from start to its exit (a refusal);
// - queue run with a 300 MB (sparse) file in queue/, from start until the file is in
//   failed/, and from SIGTERM to its exit with nothing else to do.
//   bench_queuelimits [ROUNDS]
#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <time.h>
#include <unistd.h>

namespace
{

double monotonic()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

// Until the file exists, watched (at most 60 s).
bool waitForFile(const QString &path)
{
    QFileSystemWatcher watcher({QFileInfo(path).path()});
    QEventLoop loop;
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, [&] {
        if (QFile::exists(path))
            loop.quit();
    });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    if (!QFile::exists(path))
        loop.exec();
    return QFile::exists(path);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? qMax(1, atoi(argv[1])) : 5;
    const QString tool = QCoreApplication::applicationDirPath() + QStringLiteral("/fumidori-send");
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-queuelimits-XXXXXX"));
    const QString folder = dir.path() + u'/';
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), 160, 0, 0, 0};
    data.recipients << Recipient{QStringLiteral("R0"), 0, QStringLiteral("09012345678")};
    if (SaveSettingsFile(data)) {
        std::fprintf(stderr, "bench_queuelimits: cannot write the settings\n");
        return 1;
    }
    const QByteArray tenMegabytes(10 * 1024 * 1024, 'A');

    QList<double> stdinRefusal, setAside, stopped;
    for (int i = 0; i < rounds; ++i) {
        QProcess send;
        double t0 = monotonic();
        send.start(tool, {"--folder", folder, "--quiet", "--to", "R0"});
        send.write(tenMegabytes);
        send.closeWriteChannel();
        send.waitForFinished(60000);
        stdinRefusal << (monotonic() - t0) * 1000;

        const QString id = QStringLiteral("big%1").arg(i);
        const QString entry = folder + QStringLiteral("queue/") + id + QStringLiteral(".msg");
        QDir().mkpath(folder + QStringLiteral("queue/failed"));
        QFile big(entry);
        if (!big.open(QIODevice::WriteOnly) || !big.resize(300LL * 1024 * 1024)) {
            std::fprintf(stderr, "bench_queuelimits: cannot make the 300 MB file\n");
            return 1;
        }
        big.close();
        QProcess run;
        t0 = monotonic();
        run.start(tool, {"--folder", folder, "--quiet", "queue", "run"});
        if (!waitForFile(folder + QStringLiteral("queue/failed/") + id + QStringLiteral(".why"))) {
            std::fprintf(stderr, "bench_queuelimits: the 300 MB file was not set aside\n");
            return 1;
        }
        setAside << (monotonic() - t0) * 1000;
        t0 = monotonic();
        run.terminate();
        run.waitForFinished(60000);
        stopped << (monotonic() - t0) * 1000;
    }
    std::printf("median of %d rounds\n", rounds);
    std::printf("10 MB on standard input, start to refusal        %8.1f ms\n", median(stdinRefusal));
    std::printf("300 MB file in queue/, start to set aside        %8.1f ms\n", median(setAside));
    std::printf("queue run, SIGTERM to exit                        %8.1f ms\n", median(stopped));
    return 0;
}
