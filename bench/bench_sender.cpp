// fumidori-send against its floors, over fumidori-modemsim on a pseudo-terminal:
// - from starting fumidori-send to the first byte on the line, against starting and
//   ending bench_corebare (Qt Core, nothing else); both read CLOCK_MONOTONIC, as the
//   simulator's transcript does;
// - the CPU share of "queue run" during a queued send, against the call's wall time.
//   bench_sender [STARTS]
#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <time.h>

namespace
{

double monotonic()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

QString bin(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

// The time of the first byte the program wrote at or after since, from the transcript.
double firstReceived(const QString &transcript, double since)
{
    QFile file(transcript);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() >= 3 && parts[1] == "rx" && parts[0].toDouble() >= since)
            return parts[0].toDouble();
    }
    return 0;
}

// Runs the event loop until the file or folder changes and check() holds, or 60 s.
bool waitUntil(const QString &path, const std::function<bool()> &check)
{
    QFileSystemWatcher watcher({path});
    QEventLoop loop;
    QTimer timeout;
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto look = [&] {
        if (check())
            loop.quit();
    };
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &loop, look);
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, look);
    timeout.start(60000);
    if (check())
        return true;
    loop.exec();
    return check();
}

double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (f.value(11).toDouble() + f.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

bool writeSettings(const QString &folder, qint16 wait, qint16 mailInterval)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.settings.MailInterval = mailInterval;
    data.centers << MessageCenter{
        QStringLiteral("模擬センター"), 0, QStringLiteral("0570000111"), 160, wait, wait, wait};
    data.recipients << Recipient{QStringLiteral("模擬ポケベル"), 0, QStringLiteral("09012345678")};
    return !SaveSettingsFile(data);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int starts = argc > 1 ? qMax(1, atoi(argv[1])) : 15;
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-sender-XXXXXX"));
    const QString folder = dir.path() + QLatin1Char('/');
    const QString transcript = folder + QStringLiteral("transcript.txt");
    QProcess sim;
    sim.start(bin("fumidori-modemsim"), {"--folder", folder, "--transcript", transcript});
    sim.setReadChannel(QProcess::StandardError);
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000) || !writeSettings(folder, 3, 2)) {
        std::fprintf(stderr, "bench_sender: the simulator did not start\n");
        return 1;
    }

    QList<double> floor, firstByte;
    for (int i = 0; i < starts; ++i) {
        QProcess bare;
        const double t0 = monotonic();
        bare.start(bin("bench_corebare"));
        bare.waitForFinished();
        floor << (monotonic() - t0) * 1000;

        QProcess send;
        const double s0 = monotonic();
        send.start(bin("fumidori-send"), {"--folder", folder, "--quiet", "--to", "模擬ポケベル", "ABC"});
        double first = 0;
        waitUntil(transcript, [&] { return (first = firstReceived(transcript, s0)) > 0; });
        send.terminate(); // the call hangs up at once
        send.waitForFinished();
        if (first > 0)
            firstByte << (first - s0) * 1000;
    }
    std::printf("start to first byte on the line, median of %d starts each\n", starts);
    std::printf("bare Qt Core program, start to end     %7.1f ms\n", median(floor));
    std::printf("fumidori-send, start to first byte     %7.1f ms   (%lld of %d starts reached the line)\n",
                median(firstByte), qlonglong(firstByte.size()), starts);
    std::printf("fumidori-send / bare                   %7.2f x    (goal <= 2 x)\n", median(firstByte) / median(floor));

    // A queued send with the centre's waits (3 s) and MailInterval 2: CPU of the runner.
    const QString message = QStringLiteral("監視より: サーバー停止 ABC-123 ﾃｽﾄ 0123456789 本文の続き");
    QProcess add;
    add.start(bin("fumidori-send"), {"--folder", folder, "queue", "add", "--to", "模擬ポケベル", message});
    add.waitForFinished();
    QProcess run;
    const double r0 = monotonic();
    run.start(bin("fumidori-send"), {"--folder", folder, "--quiet", "queue", "run"});
    run.waitForStarted();
    const QString queue = folder + QStringLiteral("queue/");
    const QString work = queue + QStringLiteral("work/");
    auto empty = [&] {
        return QDir(queue).entryList({"*.msg"}, QDir::Files).isEmpty() &&
               QDir(work).entryList({"*.msg"}, QDir::Files).isEmpty();
    };
    QDir().mkpath(work);
    const bool sent = waitUntil(work, empty);
    const double wall = monotonic() - r0;
    const double cpu = cpuSeconds(run.processId());
    run.terminate();
    run.waitForFinished();
    std::printf("\nqueued send of %lld characters: %s\n", qlonglong(message.size()), sent ? "sent" : "NOT sent");
    std::printf("runner wall time %.3f s, CPU time %.4f s = %.3f %% (goal <= 1 %%)\n", wall, cpu, cpu / wall * 100);
    sim.terminate();
    sim.waitForFinished();
    return 0;
}
