#include "support/pulseserver.h"

#include <QDeadlineTimer>
#include <QStandardPaths>

namespace
{

QString runMultimon(const QStringList &args, const QByteArray &input, QString *error)
{
    QProcess multimon;
    multimon.start(QStringLiteral("multimon-ng"), QStringList{"-q", "-a", "DTMF"} + args);
    if (!multimon.waitForStarted()) {
        *error = QStringLiteral("multimon-ng does not start");
        return {};
    }
    multimon.write(input);
    multimon.closeWriteChannel();
    multimon.waitForFinished(120000);
    QString keys;
    for (const QByteArray &line : multimon.readAllStandardOutput().split('\n')) {
        if (line.startsWith("DTMF: "))
            keys += QLatin1Char(line.at(6));
    }
    if (multimon.exitCode() != 0)
        *error = QString::fromLocal8Bit(multimon.readAllStandardError());
    return keys;
}

} // namespace

PulseServer::~PulseServer()
{
    stopRecording(0);
}

QString PulseServer::address() const
{
    return QStringLiteral("unix:") + m_dir.filePath(QStringLiteral("native"));
}

bool PulseServer::start(QString *error)
{
    if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("parec")).isEmpty()) {
        *error = QStringLiteral("pulseaudio or parec is not installed (scripts/setup installs them)");
        return false;
    }
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    m_server = std::make_unique<ServerProcess>();
    // One null sink (the default, as the only one) and a socket of its own.
    if (!m_server->start(
            QStringLiteral("pulseaudio"),
            {"--daemonize=no", "-n", "--exit-idle-time=-1", "--disable-shm=yes", "--log-target=stderr", "-v", "-L",
             "module-null-sink sink_name=fumidori rate=48000", "-L",
             "module-native-protocol-unix auth-anonymous=1 socket=" + m_dir.filePath(QStringLiteral("native"))},
            "Daemon startup complete", 20000, env)) {
        *error =
            QStringLiteral("the PulseAudio server did not start: ") + QString::fromLocal8Bit(m_server->log.right(600));
        return false;
    }
    // The log goes on at a few lines a stream; the event loop takes it in.
    qputenv("PULSE_SERVER", address().toLocal8Bit());
    return true;
}

bool PulseServer::startRecording(QString *error)
{
    m_recorder = std::make_unique<QProcess>();
    m_recorder->start(QStringLiteral("parec"), {"--server=" + address(), "--device=fumidori.monitor", "--rate=22050",
                                                "--channels=1", "--format=s16le", "--raw", "--latency-msec=20"});
    // The monitor of a null sink gives silence from the start: the first bytes say
    // that the recording runs.
    if (!m_recorder->waitForStarted() || !m_recorder->waitForReadyRead(10000)) {
        *error =
            QStringLiteral("parec gives no samples: ") + QString::fromLocal8Bit(m_recorder->readAllStandardError());
        return false;
    }
    return true;
}

QByteArray PulseServer::stopRecording(int moreMs)
{
    if (!m_recorder)
        return {};
    // The monitor runs in real time: moreMs of it take in what is still on its way.
    const qint64 wanted = m_recorder->bytesAvailable() + qint64(moreMs) * 22050 * 2 / 1000;
    const QDeadlineTimer deadline(moreMs + 5000);
    while (m_recorder->bytesAvailable() < wanted && m_recorder->waitForReadyRead(int(deadline.remainingTime()))) {
    }
    m_recorder->terminate();
    m_recorder->waitForFinished(5000);
    const QByteArray samples = m_recorder->readAllStandardOutput();
    m_recorder.reset();
    return samples;
}

QString multimonKeys(const QByteArray &raw22050, QString *error)
{
    return runMultimon({"-t", "raw", "-"}, raw22050, error);
}

QString multimonKeysOfWav(const QString &path, QString *error)
{
    return runMultimon({"-t", "wav", path}, {}, error);
}
