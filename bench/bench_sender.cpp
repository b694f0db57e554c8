// fumidori-send against its floors:
// - from starting fumidori-send to the first byte on the line (a pseudo-terminal the
//   bench holds itself, linked as COM1, woken by the byte as it is woken by a child's
//   end), against starting and ending bench_corebare (Qt Core, nothing else);
// - the CPU share of "queue run" during a queued send over fumidori-modemsim, against
//   the call's wall time.
//   bench_sender [STARTS]
#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <pty.h>
#include <unistd.h>
#include <sys/resource.h>
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

// The CPU time of a running process so far (ns precision), in ms.
double cpuSoFarMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/schedstat").arg(pid));
    return stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ').value(0).toDouble() / 1e6 : 0;
}

// The CPU time of the children reaped so far, in ms.
double childrenCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
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
    const QString folder = dir.path() + QStringLiteral("/line/");
    const QString queued = dir.path() + QStringLiteral("/queue/");
    int master = -1, slave = -1;
    char name[256] = {};
    if (!QDir().mkpath(folder + QStringLiteral("ports")) || !QDir().mkpath(queued) ||
        ::openpty(&master, &slave, name, nullptr, nullptr) != 0 ||
        !QFile::link(QString::fromLocal8Bit(name), folder + QStringLiteral("ports/COM1")) ||
        !writeSettings(folder, 3, 2) || !writeSettings(queued, 3, 2)) {
        std::fprintf(stderr, "bench_sender: cannot set up the folders and the line\n");
        return 1;
    }

    QList<double> floor, firstByte, floorCpu, firstByteCpu;
    for (int i = 0; i < starts; ++i) {
        QProcess bare;
        const double c0 = childrenCpuMs();
        const double t0 = monotonic();
        bare.start(bin("bench_corebare"));
        bare.waitForFinished();
        floor << (monotonic() - t0) * 1000;
        floorCpu << childrenCpuMs() - c0;

        QProcess send;
        QEventLoop loop;
        QSocketNotifier byte(master, QSocketNotifier::Read);
        double first = 0, cpu = 0;
        QObject::connect(&byte, &QSocketNotifier::activated, &loop, [&] {
            first = monotonic();
            cpu = cpuSoFarMs(send.processId());
            loop.quit();
        });
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        const double s0 = monotonic();
        send.start(bin("fumidori-send"), {"--folder", folder, "--quiet", "--to", "模擬ポケベル", "ABC"});
        loop.exec();
        byte.setEnabled(false);
        send.terminate(); // the call hangs up at once
        send.waitForFinished();
        tcflush(master, TCIOFLUSH); // what it wrote is no part of the next start
        if (first > 0) {
            firstByte << (first - s0) * 1000;
            firstByteCpu << cpu;
        }
    }
    std::printf("start to first byte on the line, median of %d starts each\n", starts);
    std::printf("bare Qt Core program, start to end     %7.1f ms\n", median(floor));
    std::printf("fumidori-send, start to first byte     %7.1f ms   (%lld of %d starts reached the line)\n",
                median(firstByte), qlonglong(firstByte.size()), starts);
    std::printf("fumidori-send / bare                   %7.2f x    (goal <= 2 x)\n", median(firstByte) / median(floor));
    std::printf("CPU time: bare %.2f ms to its end; fumidori-send %.2f ms when its first byte was seen (%.2f x)\n",
                median(floorCpu), median(firstByteCpu), median(firstByteCpu) / median(floorCpu));

    // A queued send with the centre's waits (3 s) and MailInterval 2: CPU of the runner.
    const QString message = QStringLiteral("監視より: サーバー停止 ABC-123 ﾃｽﾄ 0123456789 本文の続き");
    QProcess sim;
    sim.start(bin("fumidori-modemsim"), {"--folder", queued});
    sim.setReadChannel(QProcess::StandardError);
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "bench_sender: the simulator did not start\n");
        return 1;
    }
    QProcess add;
    add.start(bin("fumidori-send"), {"--folder", queued, "queue", "add", "--optimize", "--to", "模擬ポケベル", message});
    add.waitForFinished();
    if (add.exitCode() != 0) {
        std::fprintf(stderr, "bench_sender: queue add: %s", add.readAllStandardError().constData());
        return 1;
    }
    QProcess run;
    const double r0 = monotonic();
    run.start(bin("fumidori-send"), {"--folder", queued, "--quiet", "queue", "run"});
    run.waitForStarted();
    const QString queue = queued + QStringLiteral("queue/");
    const QString work = queue + QStringLiteral("work/");
    auto empty = [&] {
        return QDir(queue).entryList({"*.msg"}, QDir::Files).isEmpty() &&
               QDir(work).entryList({"*.msg"}, QDir::Files).isEmpty();
    };
    QDir().mkpath(work);
    const bool sent = waitUntil(work, empty);
    const double wall = monotonic() - r0;
    const double cpu = cpuSoFarMs(run.processId()) / 1000;
    run.terminate();
    run.waitForFinished();
    std::printf("\nqueued send of %lld characters: %s\n", qlonglong(message.size()), sent ? "sent" : "NOT sent");
    std::printf("runner wall time %.3f s, CPU time %.4f s = %.3f %% (goal <= 1 %%)\n", wall, cpu, cpu / wall * 100);
    sim.terminate();
    sim.waitForFinished();
    return 0;
}
