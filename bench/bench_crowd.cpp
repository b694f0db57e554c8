// The HTTP intake of "queue run" under load: 1,000 messages posted over 10 kept
// connections (from 10 loopback addresses, as 10 clients) while the runner drives a call
// after call on a line the bench plays itself (a pseudo-terminal linked as COM1,
// answering every command with OK at once). Prints the rate the runner accepts posts,
// the runner's memory growth, and the time from each OK to the runner's next command,
// before and during the posts. With --same every post is the same alert (a storm of
// repeats): all of them are to leave one message. With --crowd, MESSAGES posts with the
// token (100 unless given), each on a connection of its own, before and while 1,080
// connections without the token crowd the listener (idle, slow, keep-alive, each opened
// again as soon as it is shut): how many are answered 202 and how long each waits.
//   bench_crowd [MESSAGES] [--same | --crowd]
#include "benchline.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <future>
#include <mutex>
#include <netinet/in.h>
#include <numeric>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace
{

using namespace benchline;

// A connection to the listener from 127.0.0.<address>; -1 when refused.
int connectFrom(quint32 address, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = {}, to = {};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl((127u << 24) | address);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One answer on the connection: its status (0: closed first), its body; close: the server
// closes the connection after it.
int readAnswer(int fd, QByteArray &in, QByteArray *body, bool *close)
{
    qsizetype headEnd = -1;
    qsizetype length = -1;
    while (true) {
        if (headEnd < 0 && (headEnd = in.indexOf("\r\n\r\n")) >= 0) {
            const QByteArray head = in.left(headEnd).toLower();
            const qsizetype at = head.indexOf("content-length:");
            length = at < 0 ? 0 : head.mid(at + 15, head.indexOf("\r\n", at) - at - 15).trimmed().toLongLong();
            *close = head.contains("connection: close");
        }
        if (headEnd >= 0 && in.size() >= headEnd + 4 + length)
            break;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return 0;
        in.append(buffer, n);
    }
    const int status = in.mid(9, 3).toInt();
    *body = in.mid(headEnd + 4, length);
    in.remove(0, headEnd + 4 + length);
    return status;
}

QByteArray postRequest(const QByteArray &token, const QString &page)
{
    const QByteArray body = QStringLiteral(R"({"to":"模擬ポケベル","text":"%1"})").arg(page).toUtf8();
    return "POST /v1/messages HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
           "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
           body;
}

// One client: kept connections from its own loopback address (a new one whenever the
// listener ends one, as it does a few seconds on), posting count messages one after
// another; the ids of the 202 answers.
QStringList postAll(int client, quint16 port, const QByteArray &token, int count, const QString &text = {})
{
    QStringList ids;
    int fd = -1;
    QByteArray in;
    for (int i = 0; i < count; ++i) {
        if (fd < 0 && (fd = connectFrom(2 + quint32(client), port)) < 0)
            return ids;
        const QByteArray request =
            postRequest(token, text.isEmpty() ? QStringLiteral("ALERT %1-%2").arg(client).arg(i) : text);
        QByteArray reply;
        bool close = false;
        if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size())
            break;
        const int status = readAnswer(fd, in, &reply, &close);
        if (status == 202)
            ids << QJsonDocument::fromJson(reply).object().value("id").toString();
        if (status == 0 || close) {
            ::close(fd);
            fd = -1;
            in.clear();
        }
        if (status == 0)
            break;
    }
    if (fd >= 0)
        ::close(fd);
    return ids;
}

// Connections without the token, kept up as the listener shuts them: 1,000 from 125
// addresses (127.0.0.20 on) that send nothing, 64 from 8 more that send half a request
// line, 8 from 127.0.0.1 asking /healthz on a kept connection. Each one shut is opened
// again at once; the thread wakes on the sockets' own events.
struct Crowd {
    int stop = ::eventfd(0, EFD_CLOEXEC); // written to end it
    std::promise<void> busy;              // set once the listener has shut 1,000 of them
    qint64 reopened = 0;

    void run(quint16 port)
    {
        struct Member {
            quint32 address;
            QByteArray request;
        };
        QList<Member> members;
        for (quint32 a = 20; a < 145; ++a)
            for (int i = 0; i < 8; ++i)
                members.append(Member{a, {}});
        for (quint32 a = 145; a < 153; ++a)
            for (int i = 0; i < 8; ++i)
                members.append(Member{a, "GET /healthz HTTP/1.1\r\nHost:"});
        for (int i = 0; i < 8; ++i)
            members.append(Member{1, "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"});
        QList<pollfd> fds(members.size(), pollfd{-1, POLLIN, 0});
        fds.append({stop, POLLIN, 0});
        const auto open = [&](qsizetype i) {
            fds[i].fd = connectFrom(members[i].address, port);
            if (fds[i].fd >= 0 && !members[i].request.isEmpty())
                ::send(fds[i].fd, members[i].request.constData(), size_t(members[i].request.size()), MSG_NOSIGNAL);
        };
        for (qsizetype i = 0; i < members.size(); ++i)
            open(i);
        while (!fds.last().revents) {
            if (::poll(fds.data(), nfds_t(fds.size()), -1) <= 0)
                continue;
            for (qsizetype i = 0; i < members.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                char buffer[4096];
                if (::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
                    continue; // an answer: its close comes next
                ::close(fds[i].fd);
                open(i);
                if (++reopened == 1000)
                    busy.set_value();
            }
        }
        for (const pollfd &p : fds)
            if (p.fd >= 0)
                ::close(p.fd);
    }
};

// Posts with the token, each on a connection of its own from 127.0.0.1, one after
// another: the time from connecting to the answer of each, in ms; accepted: the 202s.
QList<double> timedPosts(quint16 port, const QByteArray &token, const QString &tag, int count, int *accepted)
{
    QList<double> waits;
    for (int i = 0; i < count; ++i) {
        const double start = monotonic();
        const int fd = connectFrom(1, port);
        QByteArray in, reply;
        bool close = false;
        const QByteArray request = postRequest(token, QStringLiteral("%1 %2").arg(tag).arg(i));
        const int status =
            fd >= 0 && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()
                ? readAnswer(fd, in, &reply, &close)
                : 0;
        waits << (monotonic() - start) * 1000;
        *accepted += status == 202 ? 1 : 0;
        if (fd >= 0)
            ::close(fd);
    }
    return waits;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const bool same = args.contains(QStringLiteral("--same"));
    const bool crowded = args.contains(QStringLiteral("--crowd"));
    const int messages = argc > 1 && !args[1].startsWith(QLatin1String("--")) ? qMax(10, atoi(argv[1]))
                         : crowded                                            ? 100
                                                                              : 1000;
    constexpr int Clients = 10;
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-http-XXXXXX"));
    const QString folder = dir.path() + u'/';
    Modem modem;
    int slave = -1;
    if (!makeFolder(folder, modem, &slave)) {
        std::fprintf(stderr, "bench_crowd: cannot set up the folder and the line\n");
        return 1;
    }
    std::thread line([&] { modem.run(); });

    QProcess run;
    QByteArray out, token;
    const quint16 port = startRunner(run, QCoreApplication::applicationDirPath() + QStringLiteral("/fumidori-send"),
                                     folder, &out, &token);
    if (port == 0) {
        std::fprintf(stderr, "bench_crowd: the runner did not listen\n");
        return 1;
    }

    // A few calls first, for the line's figures without the posts.
    const QStringList warmUp = postAll(0, port, token, 20, QStringLiteral("WARM"));
    while (out.count("\"event\":\"result\"") < warmUp.size() && run.waitForReadyRead(10000))
        out += run.readAllStandardOutput();
    if (crowded) {
        int alone = 0, amid = 0;
        const QList<double> before = timedPosts(port, token, QStringLiteral("ALONE"), messages, &alone);
        Crowd crowd;
        std::thread members([&] { crowd.run(port); });
        crowd.busy.get_future().wait();
        const QList<double> during = timedPosts(port, token, QStringLiteral("CROWD"), messages, &amid);
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t w = ::write(crowd.stop, &one, sizeof one);
        members.join();
        const qint64 shut = crowd.reopened;
        modem.stop = true;
        line.join();
        run.terminate();
        run.waitForFinished(30000);
        std::printf("posts with the token, each on a connection of its own from 127.0.0.1\n");
        for (const auto &[what, waits, answered] :
             {std::tuple("alone", before, alone), std::tuple("in the crowd", during, amid)})
            std::printf("%-13s %d of %lld answered 202; wait median %.1f ms, p99 %.1f ms, max %.1f ms\n", what,
                        answered, qlonglong(waits.size()), percentile(waits, 0.5), percentile(waits, 0.99),
                        percentile(waits, 1.0));
        std::printf("crowd connections shut by the listener (and opened again): %lld\n", qlonglong(shut));
        ::close(slave);
        return alone == messages && amid == messages ? 0 : 1;
    }
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
                    postAll(c, port, token, messages / Clients, same ? QStringLiteral("WATCHDOG") : QString());
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
    if (same)
        std::printf("one alert posted each time: %lld distinct id(s), %lld message(s) taken in   (goal 1)\n",
                    qlonglong(ids.size()), qlonglong(taken));
    const qsizetype answered = std::accumulate(accepted.cbegin(), accepted.cend(), qsizetype(0),
                                               [](qsizetype n, const QStringList &l) { return n + l.size(); });
    std::printf("accept rate             %.0f /s   (goal >= 500 /s)\n", double(answered) / elapsed);
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
    return missing == 0 && !warmUp.isEmpty() ? 0 : 1;
}
