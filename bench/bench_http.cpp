// The HTTP intake of "queue run" under load: 1,000 messages posted over 10 kept
// connections (from 10 loopback addresses, as 10 clients) while the runner drives a call
// after call on a line the bench plays itself (a pseudo-terminal linked as COM1,
// answering every command with OK at once). Prints the rate the runner accepts posts,
// the runner's memory growth, and the time from each OK to the runner's next command,
// before and during the posts. With --same every post is the same alert (a storm of
// repeats, each to be decided against the folder's index and answered at 10,000 a second):
// all of them are to leave one message. With --beats every post is a beat of a
// heartbeat (Alertmanager's Watchdog, every client at once): none is to leave a message.
//   bench_http [MESSAGES] [--same | --beats]
#include "benchline.h"

#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <numeric>
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

// One client: a kept connection from its own loopback address, posting count messages
// one after another; the ids of the 202 answers.
const QByteArray BeatPath = "/v1/heartbeat/watchdog";

QStringList postAll(int client, quint16 port, const QByteArray &token, int count, const QString &text = {},
                    bool beats = false)
{
    QStringList ids;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = {}, to = {};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + quint32(client));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return ids;
    }
    QByteArray in;
    for (int i = 0; i < count; ++i) {
        const QString page = text.isEmpty() ? QStringLiteral("ALERT %1-%2").arg(client).arg(i) : text;
        const QByteArray body = beats ? QByteArray(R"({"version":"4","status":"firing","alerts":[]})")
                                      : QStringLiteral(R"({"to":"模擬ポケベル","text":"%1"})").arg(page).toUtf8();
        const QByteArray request =
            "POST " + (beats ? BeatPath : QByteArray("/v1/messages")) +
            " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
            "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
            body;
        if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size())
            break;
        // One answer: its head, then Content-Length bytes of body.
        qsizetype headEnd = -1;
        qsizetype length = -1;
        while (true) {
            if (headEnd < 0 && (headEnd = in.indexOf("\r\n\r\n")) >= 0) {
                const qsizetype at = in.toLower().indexOf("content-length:");
                length = at < 0 ? 0 : in.mid(at + 15, in.indexOf("\r\n", at) - at - 15).trimmed().toLongLong();
            }
            if (headEnd >= 0 && in.size() >= headEnd + 4 + length)
                break;
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(fd);
                return ids;
            }
            in.append(buffer, n);
        }
        const QByteArray reply = in.mid(headEnd + 4, length);
        if (in.startsWith("HTTP/1.1 202"))
            ids << QJsonDocument::fromJson(reply).object().value("id").toString();
        else if (beats && in.startsWith("HTTP/1.1 200"))
            ids << QStringLiteral("beat");
        in.remove(0, headEnd + 4 + length);
    }
    ::close(fd);
    return ids;
}

bool writeOnCall(const QString &folder)
{
    QFile file(folder + QStringLiteral("oncall.ini"));
    return file.open(QIODevice::WriteOnly) &&
           file.write(QStringLiteral("[Heartbeat watchdog]\nEvery=5m\nPage=模擬ポケベル\n").toUtf8()) > 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const bool same = args.contains(QStringLiteral("--same"));
    const bool beats = args.contains(QStringLiteral("--beats"));
    const int messages = argc > 1 && !args[1].startsWith(QStringLiteral("--")) ? qMax(10, atoi(argv[1])) : 1000;
    constexpr int Clients = 10;
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-http-XXXXXX"));
    const QString folder = dir.path() + u'/';
    Modem modem;
    int slave = -1;
    if (!makeFolder(folder, modem, &slave) || (beats && !writeOnCall(folder))) {
        std::fprintf(stderr, "bench_http: cannot set up the folder and the line\n");
        return 1;
    }
    std::thread line([&] { modem.run(); });

    QProcess run;
    QByteArray out, token;
    const quint16 port = startRunner(run, QCoreApplication::applicationDirPath() + QStringLiteral("/fumidori-send"),
                                     folder, &out, &token);
    if (port == 0) {
        std::fprintf(stderr, "bench_http: the runner did not listen\n");
        return 1;
    }

    // A few calls first, for the line's figures without the posts.
    const QStringList warmUp = postAll(0, port, token, 20, QStringLiteral("WARM"));
    while (out.count("\"event\":\"result\"") < warmUp.size() && run.waitForReadyRead(10000))
        out += run.readAllStandardOutput();
    const qint64 rssBefore = rssKiB(run.processId());
    const double cpuBefore = cpuMs(run.processId());
    modem.phase = 1;
    const double t0 = monotonic();
    QList<QStringList> accepted(Clients);
    {
        std::vector<std::jthread> clients;
        for (int c = 0; c < Clients; ++c)
            clients.emplace_back([&, c] {
                accepted[c] =
                    postAll(c, port, token, messages / Clients, same ? QStringLiteral("WATCHDOG") : QString(), beats);
            });
    }
    const double elapsed = monotonic() - t0;
    modem.phase = 2;
    const qint64 rssAfter = rssKiB(run.processId());
    const double cpu = cpuMs(run.processId()) - cpuBefore;

    // Each accepted message is on disk, or was sent already (a result told).
    QSet<QString> ids;
    for (const QStringList &list : accepted)
        ids.unite(QSet<QString>(list.cbegin(), list.cend()));
    ids.remove(QStringLiteral("beat"));
    run.terminate();
    run.waitForFinished(30000);
    out += run.readAllStandardOutput();
    QSet<QString> seen;
    for (const QByteArray &l : out.split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(l).object();
        if (event.value("event").toString() == QLatin1String("result") && event.value("exit").toInt() == 0)
            seen << event.value("id").toString();
    }
    for (const QString &sub : {QString(), QStringLiteral("work/"), QStringLiteral("failed/")}) {
        for (const QString &file : QDir(folder + QStringLiteral("queue/") + sub).entryList({"*.msg"}, QDir::Files))
            seen << file.chopped(4);
    }
    const qsizetype missing = (ids - seen).size();
    qsizetype taken = 0; // messages of the posts in the queue's folders or sent
    for (const QString &id : std::as_const(seen))
        taken += warmUp.contains(id) ? 0 : 1;
    modem.stop = true;
    line.join();

    std::printf("%lld messages posted over %d kept connections (10 clients) while calls go on\n",
                qlonglong(messages / Clients * Clients), Clients);
    std::printf("accepted (202)          %lld, %lld of them neither on disk nor sent afterwards\n",
                qlonglong(ids.size()), qlonglong(missing));
    if (beats)
        std::printf("beats of one heartbeat: %lld answered 200, %lld message(s) taken in   (goal 0)\n",
                    qlonglong(std::accumulate(accepted.cbegin(), accepted.cend(), qsizetype(0),
                                              [](qsizetype n, const QStringList &l) { return n + l.count("beat"); })),
                    qlonglong(taken));
    if (same)
        std::printf("one alert posted each time: %lld distinct id(s), %lld message(s) taken in   (goal 1)\n",
                    qlonglong(ids.size()), qlonglong(taken));
    const qsizetype answered = std::accumulate(accepted.cbegin(), accepted.cend(), qsizetype(0),
                                               [](qsizetype n, const QStringList &l) { return n + l.size(); });
    std::printf("accept rate             %.0f /s   (goal >= %s /s)\n", double(answered) / elapsed,
                same ? "10,000 repeats" : "500");
    std::printf("runner CPU time         %.3f ms a post (calls included), %.0f %% of the posting time\n",
                cpu / double(qMax<qsizetype>(1, answered)), cpu / (elapsed * 1000) * 100);
    std::printf("runner memory (VmRSS)   %.1f MiB before, %.1f MiB after: +%.2f MiB   (goal < 5 MiB)\n",
                rssBefore / 1024.0, rssAfter / 1024.0, (rssAfter - rssBefore) / 1024.0);
    for (int p = 0; p < 2; ++p)
        std::printf("OK to next command, %s: %lld commands, median %.3f ms, p99 %.3f ms, max %.3f ms%s\n",
                    p ? "during the posts" : "before the posts ", qlonglong(modem.gaps[p].size()),
                    percentile(modem.gaps[p], 0.5), percentile(modem.gaps[p], 0.99), percentile(modem.gaps[p], 1.0),
                    p ? "   (goal p99 <= 2 ms)" : "");
    ::close(slave);
    return missing == 0 && !warmUp.isEmpty() && (!beats || taken == 0) ? 0 : 1;
}
