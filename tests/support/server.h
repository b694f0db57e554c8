#pragma once

// A server a test starts for itself and ends with itself: its output (both channels)
// kept, and up once that output shows the line that says it is ready.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <csignal>
#include <sys/prctl.h>

struct ServerProcess {
    QProcess process;
    QByteArray log; // what it has printed so far (read as it comes, in waits and in the event loop)
    QProcess::ProcessChannelMode channels = QProcess::MergedChannels; // what log holds

    // Starts program and waits, on the process's own signals, until its output holds
    // ready; false when it ended or did not say so within ms. It goes with this process.
    bool start(const QString &program, const QStringList &args, const QByteArray &ready, int ms = 20000,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(channels);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        QObject::connect(&process, &QProcess::readyRead, [this] { log += process.readAll(); });
        process.start(program, args);
        return waitFor(ready, ms);
    }
    bool waitFor(const QByteArray &text, int ms = 20000)
    {
        const QDeadlineTimer deadline(ms);
        while (!log.contains(text)) {
            if (process.state() == QProcess::NotRunning || !process.waitForReadyRead(int(deadline.remainingTime())))
                return log.contains(text);
        }
        return true;
    }
    // The first line printed: a bus's address, a display's number.
    QByteArray firstLine() const { return log.left(log.indexOf('\n')).trimmed(); }
    ~ServerProcess()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished();
    }
};

// A private session bus (dbus-daemon): its address, empty when it could not start.
inline QByteArray startBus(ServerProcess &bus)
{
    return bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"}, "\n")
               ? bus.firstLine()
               : QByteArray();
}

// Another program holding a lock file: flock(1) itself, until it ends with the server or is
// killed.
inline bool holdLock(ServerProcess &holder, const QString &path)
{
    return holder.start(QStringLiteral("flock"), {"-o", "-x", path, "-c", "echo held; cat"}, "held\n", 5000);
}
