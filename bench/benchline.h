// Shared by the benchmarks that drive "queue run" from outside: the clock, figures of a
// running process, the line the bench plays itself (a pseudo-terminal answering OK), and
// the runner started with its listener.
#pragma once

#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace benchline
{

inline double monotonic()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

inline double percentile(QList<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[qMin(v.size() - 1, qsizetype(p * double(v.size())))];
}

// The CPU time of a running process so far, all its threads (the listener's too), in ms.
inline double cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // After the command's closing parenthesis: utime and stime are the 12th and 13th fields.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
}

// A running process's resident memory (VmRSS) in KiB.
inline qint64 rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// The modem: OK to every command; the time from each OK to the next command of the same
// call (a hang-up ends a call) goes to the list of the phase at hand.
struct Modem {
    int master = -1;
    std::atomic<bool> stop = false;
    std::atomic<int> phase = 0;
    std::mutex mutex;
    QList<double> gaps[3];

    void run()
    {
        QByteArray pending;
        double okAt = 0;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            const double now = monotonic();
            pending.append(buffer, n);
            qsizetype end = 0;
            while ((end = pending.indexOf('\r')) >= 0) {
                const QByteArray command = pending.left(end).trimmed();
                pending.remove(0, end + 1);
                if (command.isEmpty())
                    continue;
                if (okAt > 0) {
                    const std::lock_guard lock(mutex);
                    gaps[phase] << (now - okAt) * 1000;
                }
                [[maybe_unused]] const ssize_t w = ::write(master, "\r\nOK\r\n", 6);
                okAt = command.startsWith("ATH") ? 0 : monotonic();
            }
        }
    }
};

// A data folder with the centre 模擬センター (its wait before the number in seconds) and
// the recipient 模擬ポケベル, whose COM1 is a pseudo-terminal in raw mode: the modem's side
// in modem.master, the other in *slave. False when it cannot be made.
inline bool makeFolder(const QString &folder, Modem &modem, int *slave, int waitBeforeNumber = 0)
{
    char name[256] = {};
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.settings.MailInterval = 0;
    data.centers << MessageCenter{
        QStringLiteral("模擬センター"), 0, QStringLiteral("0570000111"), 160, qint16(waitBeforeNumber), 0, 0};
    data.recipients << Recipient{QStringLiteral("模擬ポケベル"), 0, QStringLiteral("09012345678")};
    if (!QDir().mkpath(folder + QStringLiteral("ports")) || ::openpty(&modem.master, slave, name, nullptr, nullptr) ||
        !QFile::link(QString::fromLocal8Bit(name), folder + QStringLiteral("ports/COM1")) || SaveSettingsFile(data))
        return false;
    termios raw{};
    tcgetattr(modem.master, &raw);
    cfmakeraw(&raw);
    tcsetattr(modem.master, TCSANOW, &raw);
    return true;
}

// fumidori-send queue run --listen 127.0.0.1:0 on the folder, with --json: its port once
// it listens, and its token; 0 when it does not listen within 10 s. Its output so far in *out.
inline quint16 startRunner(QProcess &run, const QString &program, const QString &folder, QByteArray *out,
                           QByteArray *token)
{
    run.start(program, {"--folder", folder, "--quiet", "--json", "queue", "run", "--listen", "127.0.0.1:0"});
    quint16 port = 0;
    while (port == 0 && run.waitForReadyRead(10000)) {
        *out += run.readAllStandardOutput();
        for (const QByteArray &l : out->split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(l).object();
            if (event.value("event").toString() == QLatin1String("listening"))
                port = quint16(event.value("port").toInt());
        }
    }
    QFile tokenFile(folder + QStringLiteral("http-token"));
    *token = tokenFile.open(QIODevice::ReadOnly) ? tokenFile.readLine().trimmed() : QByteArray();
    return token->isEmpty() ? 0 : port;
}

} // namespace benchline
