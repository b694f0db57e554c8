#include "hooks.h"

#include "report.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryFile>
#include <QTimer>

Hook::Hook(QString command, HookContext context, Reporter &reporter, QObject *parent)
    : QObject(parent), m_command(std::move(command)), m_reporter(reporter), m_process(new QProcess(this)),
      m_file(new QTemporaryFile(this)), m_timer(new QTimer(this))
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const Outcome &o = context.outcome;
    env.insert(QStringLiteral("FUMIDORI_STATUS"), o.word());
    env.insert(QStringLiteral("FUMIDORI_EXIT"), QString::number(o.exitCode()));
    env.insert(QStringLiteral("FUMIDORI_RECIPIENT"), o.recipient);
    env.insert(QStringLiteral("FUMIDORI_CENTER"), o.center);
    env.insert(QStringLiteral("FUMIDORI_ATTEMPT"), QString::number(context.attempt));
    env.insert(QStringLiteral("FUMIDORI_REASON"), o.status == ExitStatus::Sent ? QString() : o.message);
    env.insert(QStringLiteral("FUMIDORI_ID"), context.id);
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
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, m_process, &QProcess::kill);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        m_timer->stop();
        failed(m_process->errorString());
        emit finished();
    });
    connect(m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        if (!m_timer->isActive())
            failed(QStringLiteral("%1 秒で終わらなかったため止めました").arg(TimeoutMs / 1000));
        else if (status != QProcess::NormalExit)
            failed(QStringLiteral("異常終了"));
        else if (code != 0)
            failed(QStringLiteral("終了コード %1").arg(code));
        m_timer->stop();
        emit finished();
    });
}

void Hook::start()
{
    m_timer->start(TimeoutMs);
    m_process->start();
}

void Hook::failed(const QString &why)
{
    m_reporter.warn(QStringLiteral("hook"), QStringLiteral("フック「%1」が失敗しました（%2）。").arg(m_command, why),
                    {{QStringLiteral("ok"), false}, {QStringLiteral("command"), m_command}});
}
