#include "modem/baresipprocess.h"

#include "modem/baresipconfig.h"

#include <QFile>
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

// The text of a line as printed: colour sequences and other control characters removed,
// and the blanks at its ends.
QString plainText(QByteArrayView bytes, bool trim = true)
{
    static const QRegularExpression colours(QStringLiteral("\x1b\\[[0-9;]*m"));
    QString line = QString::fromUtf8(bytes);
    line.remove(colours);
    line.removeIf([](QChar ch) { return ch.unicode() < 0x20 || ch.unicode() == 0x7f; });
    return trim ? line.trimmed() : line;
}

void wipe(QByteArray &bytes)
{
    bytes.fill('\0');
    bytes.clear();
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
    for (QTimer *timer : {&m_startTimer, &m_stopTimer})
        timer->setSingleShot(true);
    m_startTimer.setInterval(StartTimeoutMs);
    m_stopTimer.setInterval(StopTimeoutMs);

    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            fail(QStringLiteral("SIP エンジン（%1）を起動できません: %2。baresip-core はインストールされていますか。")
                     .arg(m_program, m_process.errorString()));
            cleanUp();
        }
    });
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &BaresipProcess::readOutput);
    connect(&m_process, &QProcess::finished, this, &BaresipProcess::processEnded);
    connect(&m_startTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("SIP エンジンが %1 秒以内に準備できませんでした。").arg(StartTimeoutMs / 1000));
        stop();
    });
    connect(&m_stopTimer, &QTimer::timeout, this, [this] { m_process.kill(); });
}

BaresipProcess::~BaresipProcess()
{
    wipe(m_password);
    m_process.disconnect(this);
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

void BaresipProcess::start(const QByteArray &config, const QByteArray &accounts, const QByteArray &password)
{
    m_active = true;
    m_ready = false;
    m_prompted = false;
    m_stopping = false;
    m_failed = false;
    m_outputLine.clear();
    wipe(m_password);
    // A folder that cannot be made fails the call, not the message: tried again.
    QString error;
    const QString base = baresip::callFolderBase();
    m_folder = std::make_unique<QTemporaryDir>(base + QStringLiteral("/fumidori-call-XXXXXX"));
    if (!m_folder->isValid())
        error = QStringLiteral("%1 にフォルダーを作れません: %2").arg(base, m_folder->errorString());
    else if (!writeFile(m_folder->filePath(QStringLiteral("config")), config) ||
             !writeFile(m_folder->filePath(QStringLiteral("accounts")), accounts))
        error = QStringLiteral("%1 に SIP エンジンの設定を書けません。").arg(m_folder->path());
    if (!error.isEmpty()) {
        fail(error);
        cleanUp();
        return;
    }
    m_password = password;
    m_startTimer.start();
    m_process.start(m_program, {QStringLiteral("-f"), m_folder->path()});
}

bool BaresipProcess::command(const QString &name, const QString &params)
{
    if (!m_ready || m_stopping || !isRunning())
        return false;
    const QString line = u'/' + name + (params.isEmpty() ? QString() : u' ' + params);
    // One command is one line: nothing in it may end it early or act as a key.
    for (QChar ch : line) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f)
            return false;
    }
    m_process.write(line.toUtf8() + '\n');
    return true;
}

void BaresipProcess::stop()
{
    m_startTimer.stop();
    wipe(m_password);
    if (!isRunning()) {
        cleanUp();
        return;
    }
    if (m_stopping)
        return;
    if (!command(QStringLiteral("quit")))
        m_process.kill();
    m_stopping = true;
    m_stopTimer.start();
}

void BaresipProcess::fail(const QString &message)
{
    if (m_failed || m_stopping)
        return;
    m_failed = true;
    emit failed(message);
}

// The engine's output: lines end in LF, the status line is rewritten after CR. The
// password prompt ends no line: it is looked for in what is still open.
void BaresipProcess::readOutput()
{
    m_outputLine += m_process.readAllStandardOutput();
    qsizetype start = 0;
    for (qsizetype i = 0; i < m_outputLine.size(); ++i) {
        const char c = m_outputLine[i];
        if (c != '\n' && c != '\r')
            continue;
        const QString line = plainText(QByteArrayView(m_outputLine).sliced(start, i - start));
        start = i + 1;
        if (!line.isEmpty() && !line.contains(QLatin1String("audio=")))
            readLine(line);
        if (!m_active)
            return;
    }
    m_outputLine.remove(0, start);
    if (baresip::isPasswordPrompt(plainText(m_outputLine, false))) {
        m_outputLine.clear();
        answerPrompt();
    }
    if (m_outputLine.size() > 4096) // a line without end: only its tail matters
        m_outputLine.remove(0, m_outputLine.size() - 4096);
}

void BaresipProcess::readLine(const QString &line)
{
    emit output(line);
    const baresip::EngineLine read = baresip::readLine(line);
    switch (read.event) {
    case baresip::Event::None:
        return;
    case baresip::Event::Ready:
        if (m_ready || m_stopping || m_failed)
            return;
        m_startTimer.stop();
        m_ready = true;
        emit ready();
        return;
    case baresip::Event::PasswordRefused:
        fail(QStringLiteral("SIP エンジンがパスワードを受け付けませんでした（%1 バイトまでです）。")
                 .arg(baresip::MaxPasswordBytes));
        stop();
        return;
    default:
        emit event(read.event, read.subject, read.detail);
    }
}

// The password goes once, as the first thing the engine reads; a second prompt, or one
// for an account we gave no password, is not answered.
void BaresipProcess::answerPrompt()
{
    if (m_prompted || m_password.isEmpty()) {
        fail(QStringLiteral("SIP エンジンが思わぬところでパスワードを求めました。"));
        m_stopping = true;
        m_process.kill();
        return;
    }
    m_prompted = true;
    m_process.write(m_password + '\n');
    wipe(m_password);
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
    m_ready = false;
    m_startTimer.stop();
    m_stopTimer.stop();
    wipe(m_password);
    m_folder.reset();
    m_stopping = false;
    emit finished();
}
