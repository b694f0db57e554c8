// A long queue and the runner: "queue run --listen" (MaxQueued=30000) on a line the bench
// plays itself (a pseudo-terminal linked as COM1, OK to every command at once), the
// centre's wait before the number set to 3 s. First with nothing else waiting; then
// 27,000 messages due tomorrow are put into queue/ (each written and renamed in, as the
// intakes do) while the runner runs, and pages are sent while 1,000 more come in. Prints
// the time /metrics takes to answer, the runner's CPU time for each message put in, and
// the centre's wait as the line sees it (from the OK of the dial to the next command).
//   bench_queuewait [WAITING]
#include "benchline.h"

#include "store/appdata.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace
{

using namespace benchline;

// One request on a connection of its own: the status, and the time to the whole answer in ms.
std::pair<int, double> exchange(quint16 port, const QByteArray &request)
{
    const double t0 = monotonic();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    QByteArray in;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
        ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        char buffer[65536];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            in.append(buffer, n);
    }
    ::close(fd);
    return {in.mid(9, 3).toInt(), (monotonic() - t0) * 1000};
}

QByteArray request(const QByteArray &method, const QByteArray &path, const QByteArray &token,
                   const QByteArray &body = {})
{
    return method + ' ' + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nAuthorization: Bearer " + token +
           (body.isEmpty()
                ? QByteArray("\r\n")
                : "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n") +
           "\r\n" + body;
}

// count messages due tomorrow, each written under a temporary name and renamed into queue/.
void putIn(const QString &folder, int count)
{
    QueuedMessage m;
    m.to = QStringLiteral("模擬ポケベル");
    m.notBefore = QDateTime::currentMSecsSinceEpoch() + 24 * 3600 * 1000LL;
    const QString queue = sendqueue::queueFolder(folder);
    for (int i = 0; i < count; ++i) {
        m.id = sendqueue::newId();
        m.text = QStringLiteral("LATER %1").arg(i);
        const QString name = queue + m.id + QStringLiteral(".msg");
        QFile f(name + QStringLiteral(".tmp"));
        if (f.open(QIODevice::WriteOnly) && f.write(sendqueue::toJson(m)) > 0) {
            f.close();
            ::rename(QFile::encodeName(f.fileName()).constData(), QFile::encodeName(name).constData());
        }
    }
}

struct Figures {
    QList<double> metrics;
    double cpuPerMessage = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int waiting = argc > 1 ? qMax(100, atoi(argv[1])) : 27000;
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-queuewait-XXXXXX"));
    const QString folder = dir.path() + u'/';
    Modem modem;
    int slave = -1;
    QFile ini(sendqueue::queueFolder(folder) + QStringLiteral("queue.ini"));
    if (!makeFolder(folder, modem, &slave, 3) || !QDir().mkpath(sendqueue::queueFolder(folder)) ||
        !ini.open(QIODevice::WriteOnly) || ini.write("[Queue]\nMaxQueued=30000\nDedupFor=0\n") <= 0) {
        std::fprintf(stderr, "bench_queuewait: cannot set up the folder and the line\n");
        return 1;
    }
    ini.close();
    std::thread line([&] { modem.run(); });

    QProcess run;
    QByteArray out, token;
    const quint16 port = startRunner(run, QCoreApplication::applicationDirPath() + QStringLiteral("/fumidori-send"),
                                     folder, &out, &token);
    if (port == 0) {
        std::fprintf(stderr, "bench_queuewait: the runner did not listen\n");
        return 1;
    }
    const qint64 pid = run.processId();
    // Pages sent one after another while more is put in: each call's result (the runner's
    // --json event) awaited before the next page.
    const auto sendPages = [&](int pages, int more) {
        std::thread adding([&] { putIn(folder, more); });
        for (int i = 0; i < pages; ++i) {
            const qsizetype before = out.count("\"event\":\"result\"");
            exchange(port, request("POST", "/v1/messages", token,
                                   QStringLiteral(R"({"to":"模擬ポケベル","text":"PAGE %1"})").arg(i).toUtf8()));
            while (out.count("\"event\":\"result\"") == before && run.waitForReadyRead(60000))
                out += run.readAllStandardOutput();
        }
        adding.join();
    };
    const auto metricsTimes = [&] {
        QList<double> times;
        for (int i = 0; i < 21; ++i) {
            const auto [status, ms] = exchange(port, request("GET", "/metrics", token));
            if (status == 200)
                times << ms;
        }
        return times;
    };

    Figures empty, full;
    empty.metrics = metricsTimes();
    sendPages(3, 0);
    modem.phase = 1;
    const double cpu0 = cpuMs(pid);
    const double t0 = monotonic();
    putIn(folder, waiting);
    const double putSeconds = monotonic() - t0;
    // The runner has read them all once its index counts them: /metrics says so.
    full.metrics = metricsTimes();
    full.cpuPerMessage = (cpuMs(pid) - cpu0) / waiting;
    sendPages(3, 1000);
    const double cpuPerMore = (cpuMs(pid) - cpu0) / (waiting + 1000);
    const QList<double> settled = metricsTimes();

    run.terminate();
    run.waitForFinished(30000);
    modem.stop = true;
    line.join();
    ::close(slave);

    std::printf("the runner with MaxQueued=30000, the centre's wait before the number 3 s\n");
    std::printf("/metrics, nothing waiting:      median %.1f ms, max %.1f ms (%lld answers)\n",
                percentile(empty.metrics, 0.5), percentile(empty.metrics, 1.0), qlonglong(empty.metrics.size()));
    std::printf("/metrics, %d waiting:        median %.1f ms, max %.1f ms (%lld answers)   (goal <= 50 ms)\n", waiting,
                percentile(full.metrics, 0.5), percentile(full.metrics, 1.0), qlonglong(full.metrics.size()));
    std::printf("/metrics, %d waiting, settled: median %.1f ms, max %.1f ms (%lld answers)\n", waiting + 1000,
                percentile(settled, 0.5), percentile(settled, 1.0), qlonglong(settled.size()));
    std::printf("%d messages put in:          %.1f s; runner CPU %.3f ms a message (%.3f with 1,000 more and 3 "
                "pages)\n",
                waiting, putSeconds, full.cpuPerMessage, cpuPerMore);
    for (int p = 0; p < 2; ++p) {
        QList<double> waits; // the centre's: the gaps of more than a second
        std::copy_if(modem.gaps[p].cbegin(), modem.gaps[p].cend(), std::back_inserter(waits),
                     [](double ms) { return ms > 1000; });
        std::printf("the centre's wait, %s: %lld calls, median %.1f ms, max %.1f ms   (set: 3000 ms)\n",
                    p ? "27,000 waiting, 1,000 coming in" : "nothing waiting               ", qlonglong(waits.size()),
                    percentile(waits, 0.5), percentile(waits, 1.0));
    }
    return 0;
}
