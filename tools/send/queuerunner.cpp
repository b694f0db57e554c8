#include "queuerunner.h"

#include "options.h"
#include "report.h"
#include "store/inifile.h"

#include <QDateTime>

#include <utility>

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

const QString Section = QStringLiteral("Queue");

} // namespace

QueueSettings QueueSettings::load(const QString &dataFolder, QStringList *problems)
{
    QueueSettings s;
    QStringList found;
    const QString path = sendqueue::queueFolder(dataFolder) + QStringLiteral("queue.ini");
    const IniFile ini = IniFile::load(path);
    if (!ini.ok())
        found << ini.error();
    for (const QString &p : ini.problems())
        found << QStringLiteral("queue.ini の ") + p;
    for (const QString &p :
         ini.unknownKeys(Section, {"Attempts", "Delays", "OnSent", "OnFailed", "HookTimeout", "AnswerLimit"}))
        found << QStringLiteral("queue.ini の ") + p;
    for (const QString &section : ini.sections()) {
        if (section.compare(Section, Qt::CaseInsensitive) != 0)
            found << QStringLiteral("queue.ini の [%1] は知らないセクションです。").arg(section);
    }
    const auto bad = [&](const char *key, const QString &what) {
        found << QStringLiteral("queue.ini の %1=%2 は使えません（%3）。既定のままにします。")
                     .arg(QLatin1String(key), sendqueue::capped(ini.value(Section, QLatin1String(key)), 80), what);
    };
    if (ini.has(Section, "Attempts")) {
        bool ok = false;
        const int n = ini.value(Section, "Attempts").toInt(&ok);
        if (ok && n >= 0 && n <= sendqueue::MaxAttempts)
            s.attempts = n;
        else
            bad("Attempts", QStringLiteral("0 から %1 までの回数").arg(sendqueue::MaxAttempts));
    }
    if (ini.has(Section, "Delays")) {
        if (const auto delays = parseDelays(ini.value(Section, "Delays")))
            s.delays = *delays;
        else
            bad("Delays", QStringLiteral("1m,5m,15m のようにコンマで区切った時間"));
    }
    if (ini.has(Section, "HookTimeout")) {
        const auto timeout = parseDelays(ini.value(Section, "HookTimeout"));
        if (timeout && timeout->size() == 1 && timeout->first() > 0 && timeout->first() <= 24 * 3600)
            s.hookTimeoutMs = timeout->first() * 1000;
        else
            bad("HookTimeout", QStringLiteral("1 秒から 24 時間までの時間"));
    }
    if (ini.has(Section, "AnswerLimit")) {
        const auto limit = parseDelays(ini.value(Section, "AnswerLimit"));
        if (limit && limit->size() == 1 && limit->first() >= DeviceAccess::MinAnswerLimitS &&
            limit->first() <= DeviceAccess::MaxAnswerLimitS)
            s.answerLimitS = limit->first();
        else
            bad("AnswerLimit", QStringLiteral("%1 秒から %2 秒までの時間")
                                   .arg(DeviceAccess::MinAnswerLimitS)
                                   .arg(DeviceAccess::MaxAnswerLimitS));
    }
    s.onSent = ini.value(Section, "OnSent");
    s.onFailed = ini.value(Section, "OnFailed");
    if (problems)
        *problems += found;
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
    m_stopLimit.setSingleShot(true);
    connect(&m_stopLimit, &QTimer::timeout, this, &QueueRunner::cutOff);
    m_rewrite.setSingleShot(true);
    connect(&m_rewrite, &QTimer::timeout, this, [this] {
        writeBackUnsaved();
        schedule();
    });
}

QueueRunner::~QueueRunner() = default;

std::optional<Outcome> QueueRunner::start()
{
    if (const sendqueue::Result checked = sendqueue::checkFolders(m_folder); !checked.ok())
        return Outcome{ExitStatus::BadInput, checked.text + QStringLiteral("キューを送りません。")};
    m_lock = std::make_unique<sendqueue::RunnerLock>(m_folder);
    if (!m_lock->tryLock())
        return Outcome{
            ExitStatus::Busy,
            QStringLiteral("このフォルダーのキューは、ほかの queue run（%1）が送っています。").arg(m_lock->holder())};
    const sendqueue::Recovery recovery = sendqueue::recover(m_folder);
    if (recovery.recovered)
        m_reporter.note(QStringLiteral("recovered"),
                        QStringLiteral("前回中断した %1 件のメッセージをキューに戻しました。").arg(recovery.recovered),
                        {{QStringLiteral("count"), recovery.recovered}});
    for (const QString &problem : recovery.problems)
        m_reporter.warn(QStringLiteral("spool"), problem);
    m_watcher.addPath(sendqueue::queueFolder(m_folder));
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
    std::optional<QueuedMessage> due;
    // Every entry is looked at, so that those that can never be sent are set aside now,
    // not only once the messages before them have gone.
    for (const sendqueue::Entry &e : sendqueue::entries(m_folder, sendqueue::State::Waiting)) {
        if (!e.problem.isEmpty()) {
            setAside(e);
            continue;
        }
        // Contents that could not be written back are the message's as far as the runner goes.
        const QueuedMessage m = m_unsaved.value(e.id, e.message);
        if (m.notBefore > t)
            nextWake = nextWake < 0 ? m.notBefore : qMin(nextWake, m.notBefore);
        else if (!due && sendqueue::take(m_folder, e.id).ok())
            due = m;
    }
    if (due) {
        m_unsaved.remove(due->id);
        send(*due);
        return;
    }
    if (nextWake >= 0)
        m_timer.start(int(qBound<qint64>(0, nextWake - t + 1, 24LL * 3600 * 1000)));
    emit idle();
}

// A file that can never be sent is kept as it was, beside the failed ones.
void QueueRunner::setAside(const sendqueue::Entry &e)
{
    QString id;
    const sendqueue::Result moved = sendqueue::quarantine(m_folder, e, &id);
    if (moved.kind == sendqueue::Result::Kind::NotQueued)
        return;
    if (!moved.ok() && id.isEmpty()) {
        spoolProblem(moved, e.id);
        return;
    }
    m_reporter.warn(QStringLiteral("damaged"),
                    QStringLiteral("%1 は送れないため failed/%2.msg に移しました: %3").arg(e.id, id, e.problem),
                    {{QStringLiteral("id"), id}, {QStringLiteral("reason"), e.problem}});
    if (!moved.ok())
        spoolProblem(moved, id);
}

void QueueRunner::writeBackUnsaved()
{
    if (m_stopping)
        return;
    if (m_busy) { // after the message under way
        m_rewrite.start(m_settings.rewriteMs);
        return;
    }
    for (auto it = m_unsaved.begin(); it != m_unsaved.end();) {
        const sendqueue::Result taken = sendqueue::take(m_folder, it.key());
        if (taken.kind == sendqueue::Result::Kind::NotQueued) { // dropped meanwhile
            it = m_unsaved.erase(it);
            continue;
        }
        if (taken.ok() && sendqueue::putBack(m_folder, *it).ok()) {
            m_reporter.note(QStringLiteral("rewritten"), QStringLiteral("%1 を書き戻しました。").arg(it.key()),
                            {{QStringLiteral("id"), it.key()}});
            it = m_unsaved.erase(it);
            continue;
        }
        ++it;
    }
    if (!m_unsaved.isEmpty())
        m_rewrite.start(m_settings.rewriteMs);
}

void QueueRunner::send(const QueuedMessage &m)
{
    m_busy = true;
    m_currentMessage = m;
    m_reporter.note(QStringLiteral("message"), QStringLiteral("%1 を送ります（%2 回目）。").arg(m.id).arg(m.tried + 1),
                    {{QStringLiteral("id"), m.id}, {QStringLiteral("attempt"), m.tried + 1}});
    Target target{m.to, m.number, m.center, m.optimize};
    m_current = new MessageSend(m_folder, target, m.text, m_reporter, m_factory, this);
    m_current->setLineWait(-1); // the window's call ends some time: the queue waits for it
    m_current->setDeviceAccess(m_access);
    connect(m_current, &MessageSend::done, this, [this, m](const Outcome &outcome) { sendEnded(m, outcome); });
    m_current->start();
}

void QueueRunner::spoolProblem(const sendqueue::Result &r, const QString &id)
{
    m_reporter.warn(QStringLiteral("spool"), r.text, {{QStringLiteral("id"), id}, {QStringLiteral("ok"), false}});
}

// Back into queue/ with its new contents; contents that cannot be written stay here.
void QueueRunner::putBack(const QueuedMessage &m)
{
    const sendqueue::Result r = sendqueue::putBack(m_folder, m);
    if (r.ok())
        return;
    m_unsaved.insert(m.id, m);
    spoolProblem(r, m.id);
    if (!m_rewrite.isActive())
        m_rewrite.start(m_settings.rewriteMs);
}

void QueueRunner::sendEnded(QueuedMessage m, const Outcome &outcome)
{
    m_stopLimit.stop();
    const bool interrupted = m_current->interrupted();
    const QString text = m_current->sentText().isEmpty() ? m.text : m_current->sentText();
    m_current->deleteLater();
    m_current = nullptr;
    const int attempt = m.tried + 1;
    QJsonObject fields{{QStringLiteral("id"), m.id}, {QStringLiteral("attempt"), attempt}};
    if (interrupted) {
        // Stopped from outside: the message stays queued as it was, no try counted.
        putBack(m);
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
        if (const sendqueue::Result r = sendqueue::finish(m_folder, m.id); !r.ok())
            spoolProblem(r, m.id);
        hook = m.onSent.isEmpty() ? m_settings.onSent : m.onSent;
        break;
    case ExitStatus::BadInput:
        if (const sendqueue::Result r = sendqueue::fail(m_folder, m, outcome.message, sendqueue::State::Sending);
            !r.ok())
            spoolProblem(r, m.id);
        hook = m.onFailed.isEmpty() ? m_settings.onFailed : m.onFailed;
        break;
    case ExitStatus::LineFailed:
    case ExitStatus::Busy:
        m.tried = attempt;
        m.lastError = sendqueue::capped(outcome.message, sendqueue::MaxFieldBytes);
        if (m.tried > m.attempts) {
            if (const sendqueue::Result r = sendqueue::fail(
                    m_folder, m, QStringLiteral("%1 回試しても送れませんでした: ").arg(attempt) + outcome.message,
                    sendqueue::State::Sending);
                !r.ok())
                spoolProblem(r, m.id);
            told.status = ExitStatus::LineFailed;
            hook = m.onFailed.isEmpty() ? m_settings.onFailed : m.onFailed;
        } else {
            const QList<int> &delays = m.delays.isEmpty() ? m_settings.delays : m.delays;
            m.notBefore = now() + qint64(sendqueue::retryDelay(delays, m.tried)) * 1000;
            putBack(m);
            m_reporter.note(QStringLiteral("retry"),
                            QStringLiteral("%1 は %2 にもう一度送ります。").arg(m.id, timeText(m.notBefore)), fields);
        }
        break;
    }
    if (hook.isEmpty()) {
        afterMessage();
        return;
    }
    m_hook = new Hook(hook, {told, text, attempt, m.id}, m_reporter, m_settings.hookTimeoutMs, this);
    connect(m_hook, &Hook::finished, this, [this] {
        // Gone from here at once: a stop from now on has no hook to wait for.
        std::exchange(m_hook, nullptr)->deleteLater();
        afterMessage();
    });
    m_hook->start();
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
        m_stopLimit.start(m_settings.stopLimitMs);
        return;
    }
    if (m_hook) {
        m_hook->stop();
        return;
    }
    if (!m_busy)
        QTimer::singleShot(0, this, &QueueRunner::stopped);
}

// A call that has not ended stopLimitMs after the stop: its driver goes (closing the
// line), the message stays queued.
void QueueRunner::cutOff()
{
    if (!m_current)
        return;
    m_reporter.warn(QStringLiteral("stopping"), QStringLiteral("回線の切断を待たずに止めます。"));
    m_current->disconnect(this);
    delete m_current;
    m_current = nullptr;
    putBack(m_currentMessage);
    m_busy = false;
    emit stopped();
}
