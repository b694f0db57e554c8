#include "modem/baresipprocess.h"

#include "modem/baresipconfig.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

#include <csignal>
#include <sys/prctl.h>

namespace
{

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

} // namespace

BaresipProcess::BaresipProcess(QObject *parent) : QObject(parent), m_program(defaultProgram())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // The engine ends with the program, however the program ends, and takes the stop
    // signals itself even when the program blocks them.
    m_process.setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
    });
    for (QTimer *timer : {&m_startTimer, &m_stopTimer, &m_retryTimer})
        timer->setSingleShot(true);
    m_startTimer.setInterval(StartTimeoutMs);
    m_stopTimer.setInterval(StopTimeoutMs);
    m_retryTimer.setInterval(RetryMs);

    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            fail(QStringLiteral("SIP エンジン（%1）を起動できません: %2。baresip-core はインストールされていますか。")
                     .arg(m_program, m_process.errorString()));
            cleanUp();
        }
    });
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &BaresipProcess::readOutput);
    connect(&m_process, &QProcess::finished, this, &BaresipProcess::processEnded);
    connect(&m_socket, &ControlSocket::connected, this, [this] {
        m_startTimer.stop();
        emit ready();
    });
    connect(&m_socket, &ControlSocket::received, this, &BaresipProcess::readControl);
    // Refused: the engine is not listening yet; try again shortly.
    connect(&m_socket, &ControlSocket::refused, this, [this] {
        if (!m_stopping && !m_failed && isRunning() && m_startTimer.isActive())
            m_retryTimer.start();
    });
    connect(&m_socket, &ControlSocket::closed, this, [this] {
        if (!m_stopping && !m_failed && isRunning())
            fail(QStringLiteral("SIP エンジンが制御の接続を切りました。"));
    });
    connect(&m_retryTimer, &QTimer::timeout, this, &BaresipProcess::connectControl);
    connect(&m_startTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("SIP エンジンが %1 秒以内に準備できませんでした。").arg(StartTimeoutMs / 1000));
        stop();
    });
    connect(&m_stopTimer, &QTimer::timeout, this, [this] { m_process.kill(); });
}

BaresipProcess::~BaresipProcess()
{
    m_process.disconnect(this);
    m_socket.disconnect(this);
    if (isRunning()) {
        m_process.kill();
        m_process.waitForFinished(1000); // reaps the child; a killed process ends at once
    }
}

QString BaresipProcess::defaultProgram()
{
    const QString program = qEnvironmentVariable("FUMIDORI_BARESIP");
    return program.isEmpty() ? QStringLiteral("baresip") : program;
}

QString BaresipProcess::folder() const
{
    return m_folder ? m_folder->path() : QString();
}

void BaresipProcess::start(const QByteArray &config, const QByteArray &accounts, quint16 controlPort,
                           const QByteArray &input)
{
    m_active = true;
    m_stopping = false;
    m_failed = false;
    m_reader = {};
    m_outputLine.clear();
    m_controlPort = controlPort;
    QString error;
    const QString base = baresip::runtimeFolder(&error);
    if (!base.isEmpty()) {
        m_folder = std::make_unique<QTemporaryDir>(base + QStringLiteral("/call-XXXXXX"));
        if (!m_folder->isValid())
            error = QStringLiteral("%1 にフォルダーを作れません: %2").arg(base, m_folder->errorString());
        else if (!writeFile(m_folder->filePath(QStringLiteral("config")), config) ||
                 !writeFile(m_folder->filePath(QStringLiteral("accounts")), accounts))
            error = QStringLiteral("%1 に SIP エンジンの設定を書けません。").arg(m_folder->path());
    }
    if (!error.isEmpty()) {
        fail(error);
        cleanUp();
        return;
    }
    m_startTimer.start();
    m_process.start(m_program, {QStringLiteral("-f"), m_folder->path()});
    if (!input.isEmpty())
        m_process.write(input);
    m_process.closeWriteChannel();
}

void BaresipProcess::connectControl()
{
    if (isRunning() && m_socket.isIdle())
        m_socket.connectTo(m_controlPort);
}

bool BaresipProcess::command(const QString &name, const QString &params)
{
    if (!isReady())
        return false;
    QJsonObject object{{QStringLiteral("command"), name}, {QStringLiteral("token"), QString::number(++m_token)}};
    if (!params.isEmpty())
        object.insert(QStringLiteral("params"), params);
    m_socket.write(netstring::encode(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    return true;
}

void BaresipProcess::stop()
{
    m_startTimer.stop();
    m_retryTimer.stop();
    if (!isRunning()) {
        cleanUp();
        return;
    }
    if (m_stopping)
        return;
    m_stopping = true;
    if (!command(QStringLiteral("quit")))
        m_process.kill();
    m_stopTimer.start();
}

void BaresipProcess::fail(const QString &message)
{
    if (m_failed || m_stopping)
        return;
    m_failed = true;
    emit failed(message);
}

// The engine's output: lines end in LF, the status line is rewritten after CR.
void BaresipProcess::readOutput()
{
    static const QRegularExpression colours(QStringLiteral("\x1b\\[[0-9;]*m"));
    m_outputLine += m_process.readAllStandardOutput();
    qsizetype start = 0;
    for (qsizetype i = 0; i < m_outputLine.size(); ++i) {
        const char c = m_outputLine[i];
        if (c != '\n' && c != '\r')
            continue;
        QString line = QString::fromUtf8(m_outputLine.mid(start, i - start));
        start = i + 1;
        line.remove(colours);
        line.remove(QChar(0));
        line = line.trimmed();
        if (line.isEmpty() || line.contains(QLatin1String("audio=")))
            continue;
        if (line.contains(QLatin1String("baresip is ready.")))
            connectControl();
        emit output(line);
    }
    m_outputLine.remove(0, start);
    if (m_outputLine.size() > 4096) // a line without end: only its tail matters
        m_outputLine.remove(0, m_outputLine.size() - 4096);
}

void BaresipProcess::readControl(const QByteArray &bytes)
{
    const QList<QByteArray> frames = m_reader.feed(bytes);
    for (const QByteArray &frame : frames) {
        const QJsonObject object = QJsonDocument::fromJson(frame).object();
        if (object.value(QStringLiteral("event")).toBool())
            emit event(object.value(QStringLiteral("type")).toString(),
                       object.value(QStringLiteral("param")).toString(), object.value(QStringLiteral("id")).toString());
        else if (object.value(QStringLiteral("response")).toBool())
            emit response(object.value(QStringLiteral("ok")).toBool(), object.value(QStringLiteral("data")).toString());
    }
    if (m_reader.failed()) {
        fail(QStringLiteral("SIP エンジンの制御の応答が読めません。"));
        m_stopping = true;
        m_process.kill();
    }
}

void BaresipProcess::processEnded(int exitCode, QProcess::ExitStatus status)
{
    if (!m_stopping) {
        fail(status == QProcess::CrashExit
                 ? QStringLiteral("SIP エンジン（baresip）が異常終了しました。")
                 : QStringLiteral("SIP エンジン（baresip）が終了しました（終了コード %1）。").arg(exitCode));
    }
    cleanUp();
}

void BaresipProcess::cleanUp()
{
    if (!m_active)
        return;
    m_active = false;
    m_startTimer.stop();
    m_stopTimer.stop();
    m_retryTimer.stop();
    m_socket.abort();
    m_folder.reset();
    m_stopping = false;
    emit finished();
}
