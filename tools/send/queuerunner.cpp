#include "queuerunner.h"

#include "options.h"
#include "report.h"
#include "store/locks.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace
{

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
}

} // namespace

QueueSettings QueueSettings::load(const QString &dataFolder)
{
    QueueSettings s;
    const QString path = sendqueue::queueFolder(dataFolder) + QStringLiteral("queue.ini");
    if (!QFileInfo::exists(path))
        return s;
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("Queue"));
    s.attempts = qBound(0, ini.value(QStringLiteral("Attempts"), s.attempts).toInt(), 1000);
    if (const auto delays = parseDelays(ini.value(QStringLiteral("Delays")).toString()))
        s.delays = *delays;
    s.onSent = ini.value(QStringLiteral("OnSent")).toString();
    s.onFailed = ini.value(QStringLiteral("OnFailed")).toString();
    return s;
}

QueueRunner::QueueRunner(QString folder, QueueSettings settings, Reporter &reporter, MessageSend::DriverFactory factory,
                         QObject *parent)
    : QObject(parent), m_folder(std::move(folder)), m_settings(std::move(settings)), m_reporter(reporter),
      m_factory(std::move(factory))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &QueueRunner::schedule);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &QueueRunner::schedule);
}

QueueRunner::~QueueRunner() = default;

std::optional<Outcome> QueueRunner::start()
{
    const QString queue = sendqueue::queueFolder(m_folder);
    for (const QString &dir : {queue, sendqueue::workFolder(m_folder), sendqueue::failedFolder(m_folder)}) {
        if (!QDir().mkpath(dir))
            return Outcome{ExitStatus::BadInput, QStringLiteral("フォルダー %1 を作れません。").arg(dir)};
    }
    m_lock = std::make_unique<PortLock>(queue + QStringLiteral("runner.lock"));
    if (!m_lock->tryLock())
        return Outcome{ExitStatus::Busy,
                       m_lock->isUnusable()
                           ? QStringLiteral("このフォルダーのキューを送れません。") + m_lock->busyText()
                           : QStringLiteral("このフォルダーのキューは、ほかの queue run が送っています。") +
                                 m_lock->busyText()};
    if (const int recovered = sendqueue::recover(m_folder))
        m_reporter.note(QStringLiteral("recovered"),
                        QStringLiteral("前回中断した %1 件のメッセージをキューに戻しました。").arg(recovered),
                        {{QStringLiteral("count"), recovered}});
    m_watcher.addPath(queue);
    QTimer::singleShot(0, this, &QueueRunner::schedule);
    return std::nullopt;
}

void QueueRunner::schedule()
{
    if (m_busy || m_stopping)
        return;
    m_timer.stop();
    const qint64 t = now();
    qint64 nextWake = -1;
    for (const QString &id : sendqueue::waitingIds(m_folder)) {
        QString problem;
        const std::optional<QueuedMessage> m = sendqueue::read(sendqueue::queueFolder(m_folder), id, &problem);
        if (!m) {
            // A file that is not a message is kept as it was, beside the failed ones.
            if (QFile::rename(sendqueue::queueFolder(m_folder) + id + QStringLiteral(".msg"),
                              sendqueue::failedFolder(m_folder) + id + QStringLiteral(".msg")))
                m_reporter.warn(
                    QStringLiteral("damaged"),
                    QStringLiteral("%1 はメッセージとして読めないため failed/ に移しました: %2").arg(id, problem),
                    {{QStringLiteral("id"), id}});
            continue;
        }
        if (m->notBefore > t) {
            nextWake = nextWake < 0 ? m->notBefore : qMin(nextWake, m->notBefore);
            continue;
        }
        if (sendqueue::take(m_folder, id)) {
            send(*m);
            return;
        }
    }
    if (nextWake >= 0)
        m_timer.start(int(qBound<qint64>(0, nextWake - t + 1, 24LL * 3600 * 1000)));
    emit idle();
}

void QueueRunner::send(const QueuedMessage &m)
{
    m_busy = true;
    m_reporter.note(QStringLiteral("message"), QStringLiteral("%1 を送ります（%2 回目）。").arg(m.id).arg(m.tried + 1),
                    {{QStringLiteral("id"), m.id}, {QStringLiteral("attempt"), m.tried + 1}});
    Target target{m.to, m.number, m.center, m.optimize};
    m_current = new MessageSend(m_folder, target, m.text, m_reporter, m_factory, this);
    m_current->setLineWait(-1); // the window's call ends some time: the queue waits for it
    m_current->setDeviceAccess(m_access);
    connect(m_current, &MessageSend::done, this, [this, m](const Outcome &outcome) { sendEnded(m, outcome); });
    m_current->start();
}

void QueueRunner::sendEnded(QueuedMessage m, const Outcome &outcome)
{
    const bool interrupted = m_current->interrupted();
    const QString text = m_current->sentText().isEmpty() ? m.text : m_current->sentText();
    m_current->deleteLater();
    m_current = nullptr;
    const int attempt = m.tried + 1;
    QJsonObject fields{{QStringLiteral("id"), m.id}, {QStringLiteral("attempt"), attempt}};
    if (interrupted) {
        // Stopped from outside: the message stays queued as it was, no try counted.
        if (auto error = sendqueue::putBack(m_folder, m))
            m_reporter.problem(*error);
        m_busy = false;
        emit stopped();
        return;
    }
    m_reporter.result(outcome, fields);
    emit tried(m.id, outcome, attempt);
    QString hook;
    Outcome told = outcome;
    switch (outcome.status) {
    case ExitStatus::Sent:
        sendqueue::finish(m_folder, m.id);
        hook = m.onSent.isEmpty() ? m_settings.onSent : m.onSent;
        break;
    case ExitStatus::BadInput:
        if (auto error = sendqueue::fail(m_folder, m, outcome.message, sendqueue::State::Sending))
            m_reporter.problem(*error);
        hook = m.onFailed.isEmpty() ? m_settings.onFailed : m.onFailed;
        break;
    case ExitStatus::LineFailed:
    case ExitStatus::Busy:
        m.tried = attempt;
        m.lastError = outcome.message;
        if (m.tried > m.attempts) {
            if (auto error = sendqueue::fail(
                    m_folder, m, QStringLiteral("%1 回試しても送れませんでした: ").arg(attempt) + outcome.message,
                    sendqueue::State::Sending))
                m_reporter.problem(*error);
            told.status = ExitStatus::LineFailed;
            hook = m.onFailed.isEmpty() ? m_settings.onFailed : m.onFailed;
        } else {
            const QList<int> &delays = m.delays.isEmpty() ? m_settings.delays : m.delays;
            m.notBefore = now() + qint64(sendqueue::retryDelay(delays, m.tried)) * 1000;
            if (auto error = sendqueue::putBack(m_folder, m))
                m_reporter.problem(*error);
            m_reporter.note(QStringLiteral("retry"),
                            QStringLiteral("%1 は %2 にもう一度送ります。").arg(m.id, timeText(m.notBefore)), fields);
        }
        break;
    }
    if (hook.isEmpty()) {
        afterMessage();
        return;
    }
    auto *run = new Hook(hook, {told, text, attempt, m.id}, m_reporter, this);
    connect(run, &Hook::finished, this, [this, run] {
        run->deleteLater();
        afterMessage();
    });
    run->start();
}

void QueueRunner::afterMessage()
{
    m_busy = false;
    if (m_stopping) {
        emit stopped();
        return;
    }
    schedule();
}

void QueueRunner::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_timer.stop();
    if (m_current) {
        m_current->abort();
        return;
    }
    if (!m_busy)
        QTimer::singleShot(0, this, &QueueRunner::stopped);
}
