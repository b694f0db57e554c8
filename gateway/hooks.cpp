#include "gateway/hooks.h"

#include "gateway/reporter.h"
#include "store/sendqueue.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryFile>
#include <QTimer>

#include <csignal>
#include <unistd.h>

Hook::Hook(QString command, HookContext context, Reporter &reporter, int timeoutMs, QObject *parent)
    : QObject(parent), m_command(std::move(command)), m_reporter(reporter), m_process(new QProcess(this)),
      m_file(new QTemporaryFile(this)), m_timer(new QTimer(this)), m_grace(new QTimer(this)), m_timeoutMs(timeoutMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const auto set = [&env](const char *name, const QString &value) {
        env.insert(QLatin1String(name), sendqueue::capped(value, MaxValueBytes));
    };
    const Outcome &o = context.outcome;
    set("FUMIDORI_STATUS", context.status.isEmpty() ? o.word() : context.status);
    set("FUMIDORI_EXIT", QString::number(o.exitCode()));
    set("FUMIDORI_RECIPIENT", o.recipient);
    set("FUMIDORI_CENTER", o.center);
    set("FUMIDORI_ATTEMPT", QString::number(context.attempt));
    set("FUMIDORI_REASON", o.status() == ExitStatus::Sent ? QString() : o.message);
    set("FUMIDORI_ID", context.id);
    set("FUMIDORI_LINE", context.line);
    if (m_file->open()) {
        m_file->write(context.text.toUtf8());
        m_file->flush();
        env.insert(QStringLiteral("FUMIDORI_MESSAGE_FILE"), m_file->fileName());
    }
    m_process->setProcessEnvironment(env);
    m_process->setProgram(QStringLiteral("/bin/sh"));
    m_process->setArguments({QStringLiteral("-c"), m_command});
    m_process->setStandardInputFile(QProcess::nullDevice());
    // The hook's own output never mixes into --json's events on standard output.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    // A group of its own, so that what the hook starts can be ended with it.
    m_process->setChildProcessModifier([] { ::setpgid(0, 0); });
    m_timer->setSingleShot(true);
    m_grace->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this,
            [this] { terminate(QStringLiteral("%1 秒で終わらなかったため止めました").arg(m_timeoutMs / 1000.0)); });
    connect(m_grace, &QTimer::timeout, this, [this] {
        signalGroup(SIGKILL);
        m_group = 0;
        if (m_exited)
            end();
    });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        failed(m_process->errorString());
        m_group = 0;
        m_exited = true;
        end();
    });
    connect(m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        m_exited = true;
        m_timer->stop();
        if (!m_stoppedWhy.isEmpty())
            failed(m_stoppedWhy);
        else if (status != QProcess::NormalExit)
            failed(QStringLiteral("異常終了"));
        else if (code != 0)
            failed(QStringLiteral("終了コード %1").arg(code));
        // A hook that was stopped: what it left in its group goes when the grace is over.
        // One that ended by itself may leave something running on purpose.
        if (!m_grace->isActive()) {
            m_group = 0;
            end();
        }
    });
}

Hook::~Hook()
{
    // Nothing the hook started outlives the runner that started it.
    signalGroup(SIGKILL);
}

void Hook::start()
{
    m_timer->start(m_timeoutMs);
    m_process->start();
    m_group = m_process->processId();
}

void Hook::stop()
{
    if (!m_ended && m_stoppedWhy.isEmpty())
        terminate(QStringLiteral("終了の合図で止めました"));
}

void Hook::terminate(const QString &why)
{
    m_stoppedWhy = why;
    m_timer->stop();
    signalGroup(SIGTERM);
    m_grace->start(qMin(GraceMs, qMax(m_timeoutMs, 100)));
}

void Hook::signalGroup(int sig)
{
    if (m_group > 0)
        ::kill(pid_t(-m_group), sig);
}

void Hook::end()
{
    if (m_ended)
        return;
    m_ended = true;
    m_grace->stop();
    emit finished();
}

void Hook::failed(const QString &why)
{
    m_reporter.warn(QStringLiteral("hook"), QStringLiteral("フック「%1」が失敗しました（%2）。").arg(m_command, why),
                    {{QStringLiteral("ok"), false}, {QStringLiteral("command"), m_command}});
}
