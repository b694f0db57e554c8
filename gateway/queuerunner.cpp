#include "gateway/queuerunner.h"

#include "gateway/decisions.h"
#include "gateway/linecheck.h"
#include "gateway/queueadd.h"
#include "gateway/reporter.h"
#include "gateway/values.h"
#include "store/inifile.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace
{

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
}

const QString Section = QStringLiteral("Queue");
constexpr qsizetype MaxQueuedLimit = 1000000;

QString isoTime(qint64 ms)
{
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms).toString(Qt::ISODate) : QString();
}

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
    for (const QString &p : ini.unknownKeys(
             Section, {"Attempts",     "Delays",     "OnSent",        "OnFailed", "HookTimeout", "AnswerLimit",
                       "Listen",       "TokenFile",  "AlertTemplate", "CoolOff",  "CheckEvery",  "DedupFor",
                       "MaxQueued",    "OnLineDown", "OnLineUp",      "Snpp",     "SnppAllow",   "SnppCenter",
                       "MaxPerPerson", "Per",        "TestPage",      "TestAt"}))
        found << QStringLiteral("queue.ini の ") + p;
    for (const QString &section : ini.sections()) {
        if (section.compare(Section, Qt::CaseInsensitive) != 0 && !QueueLine::sectionName(section))
            found << QStringLiteral("queue.ini の [%1] は知らないセクションです。").arg(section);
    }
    s.lines = QueueLine::read(ini, &s.lineProblems);
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
        if (const auto timeout = parseDuration(ini.value(Section, "HookTimeout"), 1, 24 * 3600))
            s.hookTimeoutMs = *timeout * 1000;
        else
            bad("HookTimeout", QStringLiteral("1 秒から 24 時間までの時間"));
    }
    if (ini.has(Section, "AnswerLimit")) {
        if (const auto limit = parseDuration(ini.value(Section, "AnswerLimit"), DeviceAccess::MinAnswerLimitS,
                                             DeviceAccess::MaxAnswerLimitS))
            s.answerLimitS = *limit;
        else
            bad("AnswerLimit", QStringLiteral("%1 秒から %2 秒までの時間")
                                   .arg(DeviceAccess::MinAnswerLimitS)
                                   .arg(DeviceAccess::MaxAnswerLimitS));
    }
    if (ini.has(Section, "CoolOff")) {
        if (const auto coolOff = parseDuration(ini.value(Section, "CoolOff"), 1, QueueRunner::MaxCoolOffS))
            s.coolOffMs = *coolOff * 1000;
        else
            bad("CoolOff", QStringLiteral("1 秒から 1 時間までの時間"));
    }
    if (ini.has(Section, "CheckEvery")) {
        if (const auto every = QueueLine::parseCheckEvery(ini.value(Section, "CheckEvery")))
            s.checkEveryMs = qint64(*every) * 1000;
        else
            bad("CheckEvery",
                QStringLiteral("0（確かめない）か、%1 秒から 24 時間までの時間").arg(QueueLine::MinCheckEveryS));
    }
    {
        QStringList bad;
        s.testPage = TestPage::read(ini, Section, &bad);
        for (const QString &text : std::as_const(bad))
            found << QStringLiteral("queue.ini の [%1]: ").arg(Section) + text;
    }
    if (ini.has(Section, "DedupFor")) {
        if (const auto dedupFor = parseDuration(ini.value(Section, "DedupFor"), 0, 24 * 3600))
            s.dedupForMs = qint64(*dedupFor) * 1000;
        else
            bad("DedupFor", QStringLiteral("0（重複も送る）から 24 時間までの時間"));
    }
    if (ini.has(Section, "MaxQueued")) {
        bool ok = false;
        const qsizetype n = ini.value(Section, "MaxQueued").toLongLong(&ok);
        if (ok && n >= 1 && n <= MaxQueuedLimit)
            s.maxQueued = n;
        else
            bad("MaxQueued", QStringLiteral("1 から %1 までの件数").arg(MaxQueuedLimit));
    }
    if (ini.has(Section, "MaxPerPerson")) {
        bool ok = false;
        const int n = ini.value(Section, "MaxPerPerson").toInt(&ok);
        if (ok && n >= 0 && n <= 1000)
            s.maxPerPerson = n;
        else
            bad("MaxPerPerson", QStringLiteral("0（制限なし）から 1000 までの数"));
    }
    if (ini.has(Section, "Per")) {
        if (const auto per = parseDuration(ini.value(Section, "Per"), 1, 24 * 3600))
            s.perMs = qint64(*per) * 1000;
        else
            bad("Per", QStringLiteral("1 秒から 24 時間までの時間"));
    }
    s.onLineDown = ini.value(Section, "OnLineDown");
    s.onLineUp = ini.value(Section, "OnLineUp");
    s.onSent = ini.value(Section, "OnSent");
    s.onFailed = ini.value(Section, "OnFailed");
    s.listen = ini.value(Section, "Listen");
    s.tokenFile = ini.value(Section, "TokenFile");
    s.alertTemplate = ini.value(Section, "AlertTemplate");
    s.snpp = ini.value(Section, "Snpp");
    if (!s.snpp.isEmpty() && !parseListen(s.snpp))
        bad("Snpp", QStringLiteral("127.0.0.1:4444 のようなアドレスとポート"));
    static const QRegularExpression separators(QStringLiteral("[,\\s]+")); // made once: read at every post
    s.snppAllow = ini.value(Section, "SnppAllow").split(separators, Qt::SkipEmptyParts);
    s.snppCenter = ini.value(Section, "SnppCenter");
    if (problems)
        *problems += found;
    return s;
}

struct QueueRunner::Line {
    using Service = decisions::Service;

    QString name;
    DeviceAccess access;
    Service service = Service::Up;
    MessageSend *send = nullptr;
    QueuedMessage message;              // the one under way
    QPointer<Hook> hook;                // its hook, after the call
    bool busy = false;                  // a call or its hook under way
    int failures = 0;                   // counted against the line, in a row
    int rests = 0;                      // times out of service since its last success
    int epoch = 0;                      // grows at every change of service
    qint64 until = 0;                   // out of service until then (ms since the epoch)
    QString reason;                     // why it failed last
    std::unique_ptr<PortLock> heldLock; // the lock another program holds, waited for
    PortLockWaiter *waiter = nullptr;
    QString heldBy;
    bool stuck = false; // held by a lock that never clears by itself: told as down
    std::unique_ptr<RunnerClock::Timer> coolOff;
    bool checks = false;        // its kind has a check, and it is not kept from ModemManager
    qint64 checkEveryMs = 0;    // how often it is checked when idle; 0: never
    LineCheck *check = nullptr; // the check under way
    int checkFailures = 0;      // failed checks in a row, among its failures
    std::unique_ptr<RunnerClock::Timer> checkTimer;
    std::optional<TestPage> testPage;
    std::unique_ptr<RunnerClock::Timer> testTimer;
    qint64 testAt = 0;               // the next test page's time
    qint64 testDue = 0;              // that of the one due, waiting for the line to be idle; 0: none
    MessageSend *testSend = nullptr; // the test page under way: a check

    decisions::Return afterRest() const { return decisions::afterCoolOff(checkEveryMs, checks); }
    QString stateWord() const
    {
        if (check || testSend)
            return QStringLiteral("checking");
        if (busy)
            return QStringLiteral("calling");
        if (waiter)
            return QStringLiteral("held");
        if (service == Service::Down)
            return QStringLiteral("down");
        return service == Service::Trial ? QStringLiteral("trial") : QStringLiteral("free");
    }
};

struct QueueRunner::Round {
    QSet<QString> failedOn; // the lines that failed the message in this round
    // Those whose failure is theirs if another line sends it: the line, its epoch then
    // (a failure from before it went out of service or came back counts no more) and why.
    struct Blame {
        QString line;
        int epoch;
        QString reason;
    };
    QList<Blame> blameLater;
};

QueueRunner::QueueRunner(QString folder, QueueSettings settings, Reporter &reporter, MessageSend::DriverFactory factory,
                         RunnerClock &clock, QObject *parent)
    : QObject(parent), m_folder(std::move(folder)), m_settings(std::move(settings)), m_reporter(reporter),
      m_factory(std::move(factory)), m_clock(clock), m_rate(m_settings.maxPerPerson, m_settings.perMs)
{
    m_timer = m_clock.timer([this] { schedule(); });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        m_dirty = true;
        schedule();
    });
    m_stopLimit = m_clock.timer([this] { cutOff(); });
    m_rewrite = m_clock.timer([this] {
        writeBackUnsaved();
        schedule();
    });
}

// inotify on queue/: each event names the file it concerns, so the index is brought up
// to date file by file; an overflow of the kernel's queue (or the folder gone) asks for a
// whole listing.
struct QueueRunner::Events {
    explicit Events(const QString &folder) : fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        constexpr uint32_t mask = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_ATTRIB |
                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        if (fd >= 0 && ::inotify_add_watch(fd, QFile::encodeName(folder).constData(), mask) < 0) {
            ::close(fd);
            fd = -1;
        }
        if (fd >= 0)
            notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    }
    ~Events()
    {
        notifier.reset();
        if (fd >= 0)
            ::close(fd);
    }
    // The names the events read now concern; false when the folder must be listed whole.
    bool read(QSet<QByteArray> &names)
    {
        bool whole = false;
        alignas(inotify_event) char buffer[65536];
        ssize_t n = 0;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
            for (ssize_t at = 0; n > 0 && at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
                if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                    whole = true;
                else if (e->len > 0)
                    names.insert(QByteArray(e->name));
                at += ssize_t(sizeof(inotify_event)) + e->len;
            }
        }
        return !whole;
    }
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
};

QueueRunner::~QueueRunner() = default;

std::optional<Outcome> QueueRunner::start()
{
    if (const sendqueue::Result checked = sendqueue::checkFolders(m_folder); !checked.ok())
        return Outcome{Failure::Refused, checked.text + QStringLiteral("キューを送りません。")};
    QStringList problems = m_settings.lineProblems;
    const QList<ReadyLine> ready = readyLines(m_folder, m_settings.lines, m_access, &problems);
    if (!problems.isEmpty())
        return Outcome{Failure::Refused,
                       problems.join(u'\n') + QStringLiteral("\n回線の設定を直すまでキューを送りません。")};
    m_lock = std::make_unique<sendqueue::RunnerLock>(m_folder);
    if (!m_lock->tryLock())
        return Outcome{Failure::Held,
                       m_lock->isUnusable()
                           ? QStringLiteral("このフォルダーのキューを送れません。") + m_lock->busyText()
                           : QStringLiteral("このフォルダーのキューは、ほかの queue run が送っています。") +
                                 m_lock->busyText()};
    for (const ReadyLine &r : ready) {
        auto line = std::make_unique<Line>();
        line->name = r.name;
        line->access = r.access;
        line->coolOff = m_clock.timer([this, l = line.get()] { coolOffEnded(*l); });
        line->checkEveryMs = r.checkEveryS ? qint64(*r.checkEveryS) * 1000 : m_settings.checkEveryMs;
        line->checks = line->checkEveryMs > 0 && LineCheck::checks(m_folder, r.access);
        line->checkTimer = m_clock.timer([this, l = line.get()] {
            if (!l->busy && !l->waiter && l->service != Line::Service::Down && !m_stopping)
                startCheck(*l);
        });
        armCheck(*line);
        line->testPage = r.testPage ? r.testPage : m_settings.testPage;
        line->testTimer = m_clock.timer([this, l = line.get()] {
            l->testDue = l->testAt;
            armTestPage(*l);
            maybeTestPage(*l);
        });
        armTestPage(*line);
        m_lines.push_back(std::move(line));
    }
    const sendqueue::Recovery recovery = sendqueue::recover(m_folder);
    if (recovery.recovered)
        m_reporter.note(QStringLiteral("recovered"),
                        QStringLiteral("前回中断した %1 件のメッセージをキューに戻しました。").arg(recovery.recovered),
                        {{QStringLiteral("count"), recovery.recovered}});
    for (const QString &problem : recovery.problems)
        m_reporter.warn(QStringLiteral("spool"), problem);
    m_events = std::make_unique<Events>(sendqueue::queueFolder(m_folder));
    if (m_events->notifier)
        connect(m_events->notifier.get(), &QSocketNotifier::activated, this, [this] {
            if (!m_events->read(m_changed))
                m_dirty = true;
            schedule();
        });
    else
        m_watcher.addPath(sendqueue::queueFolder(m_folder));
    m_dirty = true;
    writeStatus();
    QTimer::singleShot(0, this, &QueueRunner::schedule);
    return std::nullopt;
}

QStringList QueueRunner::lineNames() const
{
    QStringList names;
    for (const auto &line : m_lines)
        names << line->name;
    return names;
}

QStringList QueueRunner::checkedLines() const
{
    QStringList names;
    for (const auto &line : m_lines)
        if (line->checks)
            names << line->name;
    return names;
}

// The index of the waiting messages brought up to date: a file is read only when it is
// new or was replaced since it was last read.
void QueueRunner::refresh()
{
    if (!m_dirty) {
        reread(std::exchange(m_changed, {}));
        return;
    }
    m_dirty = false;
    m_changed.clear();
    // Batches whose writer was stopped before it took their messages out.
    if (const sendqueue::Result r = sendqueue::unpackBatches(m_folder); !r.ok())
        spoolProblem(r, {});
    QMap<QByteArray, Waiting> next;
    for (const sendqueue::Stamp &stamp : sendqueue::stamps(m_folder, sendqueue::State::Waiting)) {
        if (const auto old = m_waiting.constFind(stamp.fileName); old != m_waiting.cend() && old->stamp == stamp) {
            next.insert(stamp.fileName, *old);
            continue;
        }
        const sendqueue::Entry e = sendqueue::entry(m_folder, sendqueue::State::Waiting, stamp.fileName);
        // Every new entry is looked at, so that those that can never be sent are set
        // aside now, not only once the messages before them have gone.
        if (!e.problem.isEmpty()) {
            setAside(e);
            continue;
        }
        // Contents that could not be written back are the message's as far as the runner goes.
        next.insert(stamp.fileName, {stamp, m_unsaved.value(e.id, e.message)});
    }
    m_waiting = std::move(next);
}

// The index brought up to date for the names that changed alone.
void QueueRunner::reread(const QSet<QByteArray> &names)
{
    for (const QByteArray &name : names) {
        if (name.endsWith(".batch") && !name.startsWith('.')) { // its messages come as changes of their own
            if (const sendqueue::Result r = sendqueue::unpackBatches(m_folder); !r.ok())
                spoolProblem(r, {});
            continue;
        }
        if (name.startsWith('.') || !name.endsWith(".msg") || name.size() <= 4)
            continue;
        const std::optional<sendqueue::Stamp> stamp = sendqueue::stamp(m_folder, sendqueue::State::Waiting, name);
        const auto old = m_waiting.constFind(name);
        if (!stamp) { // gone: taken, dropped, moved
            m_waiting.remove(name);
            continue;
        }
        if (old != m_waiting.cend() && old->stamp == *stamp)
            continue;
        const sendqueue::Entry e = sendqueue::entry(m_folder, sendqueue::State::Waiting, name);
        if (!e.problem.isEmpty()) {
            m_waiting.remove(name);
            setAside(e);
            continue;
        }
        m_waiting.insert(name, {*stamp, m_unsaved.value(e.id, e.message)});
    }
}

QString QueueRunner::centerOf(const QueuedMessage &m) const
{
    return m.center.isEmpty() ? m_centers.value(m.id) : m.center;
}

bool QueueRunner::mayCarry(const Line &line, const QueuedMessage &m) const
{
    // A line on trial after its rest takes a trial call, unless a check decides instead.
    if (line.service == Line::Service::Down || line.waiter ||
        (line.service == Line::Service::Trial && line.afterRest() == decisions::Return::Check))
        return false;
    if (const auto round = m_rounds.constFind(m.id); round != m_rounds.cend() && round->failedOn.contains(line.name))
        return false;
    const QString center = centerOf(m);
    return center.isEmpty() || lineMayCall(line.access.centers, center);
}

// The refusal of a message to a centre no line may call; none when some line may.
std::optional<Outcome> QueueRunner::noLineMayCall(const QueuedMessage &m, const QString &center) const
{
    if (center.isEmpty() || anyLineMayCall(center))
        return std::nullopt;
    return noLineForCenter(m.to.isEmpty() ? m.number : m.to, center);
}

bool QueueRunner::anyLineMayCall(const QString &center) const
{
    return std::any_of(m_lines.cbegin(), m_lines.cend(),
                       [&](const auto &line) { return lineMayCall(line->access.centers, center); });
}

void QueueRunner::schedule()
{
    if (m_stopping)
        return;
    m_timer->stop();
    refresh();
    const qint64 t = m_clock.now();
    // A message to a centre no line may call waits for nothing.
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        const QueuedMessage m = it->message;
        const QString center = centerOf(m);
        const std::optional<Outcome> refusal = noLineMayCall(m, center);
        if (!refusal) {
            ++it;
            continue;
        }
        it = m_waiting.erase(it);
        if (sendqueue::take(m_folder, m.id).ok())
            giveUp(nullptr, m, refusal->message, *refusal, false, m.text, m.tried + 1);
    }
    summarizeHeld(t);
    for (const auto &line : m_lines) {
        const bool blamePending = std::any_of(m_rounds.cbegin(), m_rounds.cend(), [&](const Round &round) {
            return std::any_of(round.blameLater.cbegin(), round.blameLater.cend(),
                               [&](const Round::Blame &b) { return b.line == line->name && b.epoch == line->epoch; });
        });
        const auto takes = [&](const QueuedMessage &m) {
            return mayCarry(*line, m) &&
                   decisions::takes(blamePending, std::any_of(m_lines.cbegin(), m_lines.cend(), [&](const auto &o) {
                                        return o != line && mayCarry(*o, m);
                                    }));
        };
        while (!line->busy) {
            // The due message of the highest severity this line may carry, the oldest of
            // them (the index is in the order the messages were added).
            auto best = m_waiting.end();
            for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
                const QueuedMessage &m = it->message;
                if (m.notBefore > t || !takes(m) || limited(m, t))
                    continue;
                if (best == m_waiting.end() ||
                    decisions::severityRank(m.severity) < decisions::severityRank(best->message.severity))
                    best = it;
                if (decisions::severityRank(best->message.severity) == 0)
                    break;
            }
            if (best == m_waiting.end())
                break;
            const QueuedMessage m = best->message;
            m_waiting.erase(best);
            if (const sendqueue::Result taken = sendqueue::take(m_folder, m.id); !taken.ok()) {
                if (taken.kind != sendqueue::Result::Kind::NotQueued) // dropped meanwhile: nothing to say
                    spoolProblem(taken, m.id);
                continue;
            }
            send(*line, m);
        }
    }
    qint64 nextWake = -1;
    for (const Waiting &w : std::as_const(m_waiting)) {
        if (w.message.notBefore > t)
            nextWake = nextWake < 0 ? w.message.notBefore : qMin(nextWake, w.message.notBefore);
    }
    for (const QString &person : std::as_const(m_limited))
        if (const qint64 at = m_rate.freeAt(person, t, inFlight(person)); at != PersonRate::Never)
            nextWake = nextWake < 0 ? at : qMin(nextWake, at);
    if (nextWake >= 0)
        m_timer->start(qBound<qint64>(0, nextWake - t + 1, 24LL * 3600 * 1000));
    if (quiet())
        emit idle();
}

bool QueueRunner::limited(const QueuedMessage &m, qint64 now)
{
    if (m.to.isEmpty() || m_rate.freeAt(m.to, now, inFlight(m.to)) <= now)
        return false;
    m_limited.insert(m.to);
    return true;
}

int QueueRunner::inFlight(const QString &person) const
{
    return int(std::count_if(m_lines.cbegin(), m_lines.cend(),
                             [&](const auto &line) { return line->send && line->message.to == person; }));
}

void QueueRunner::summarizeHeld(qint64 now)
{
    const QSet<QString> people = m_limited;
    for (const QString &person : people) {
        if (m_rate.freeAt(person, now, inFlight(person)) > now)
            continue;
        m_limited.remove(person);
        // An escalation's steps and repeats are never folded: each goes as it is, its code
        // whole, and an acknowledgement still finds it waiting.
        QList<QueuedMessage> held; // oldest first, as the index is
        for (const Waiting &w : std::as_const(m_waiting))
            if (w.message.to == person && w.message.step == 0 && w.message.notBefore <= now &&
                !m_rounds.contains(w.message.id))
                held << w.message;
        if (held.size() < 2)
            continue;
        QList<QueuedMessage> taken;
        QStringList texts;
        QString severity = held.first().severity;
        for (const QueuedMessage &m : std::as_const(held)) {
            if (!sendqueue::take(m_folder, m.id).ok())
                continue;
            taken << m;
            texts << m.text;
            if (decisions::severityRank(m.severity) < decisions::severityRank(severity))
                severity = m.severity;
        }
        for (auto it = m_waiting.begin(); it != m_waiting.end();)
            it = std::any_of(taken.cbegin(), taken.cend(),
                             [&](const QueuedMessage &m) { return m.id == it->message.id; })
                     ? m_waiting.erase(it)
                     : std::next(it);
        m_dirty = true;
        QueuedMessage defaults;
        defaults.attempts = m_settings.attempts;
        defaults.delays = m_settings.delays;
        // News: its texts passed the check for repeats as they came in, and a summary taken
        // for a repeat would drop them all.
        BatchMessage summary{Target{person, {}, {}, false}, PersonRate::summaryText(texts), TextFit::Fit, {}, severity};
        summary.news = true;
        const BatchResult added = taken.size() < 2 ? BatchResult{} : addBatch(m_folder, {summary}, m_access, defaults);
        if (taken.size() < 2 || added.refusal || !added.notStored.isEmpty()) {
            // Not summed up: each goes on its own.
            if (taken.size() >= 2)
                m_reporter.warn(QStringLiteral("summary"),
                                QStringLiteral("%1 への %2 件をまとめられません: %3")
                                    .arg(person)
                                    .arg(taken.size())
                                    .arg(added.refusal ? added.refusal->outcome.message : added.notStored));
            for (const QueuedMessage &m : std::as_const(taken))
                putBack(m);
            continue;
        }
        QStringList ids;
        for (const QueuedMessage &m : std::as_const(taken)) {
            if (const sendqueue::Result r = sendqueue::finish(m_folder, m.id); !r.ok())
                spoolProblem(r, m.id);
            ids << m.id;
        }
        m_reporter.note(QStringLiteral("summary"),
                        QStringLiteral("%1 への %2 件を 1 件にまとめました（%3）。")
                            .arg(person)
                            .arg(taken.size())
                            .arg(added.ids.value(0)),
                        {{QStringLiteral("recipient"), person},
                         {QStringLiteral("id"), added.ids.value(0)},
                         {QStringLiteral("messages"), QJsonArray::fromStringList(ids)}});
        refresh(); // the summary in the index before the lines choose
    }
}

bool QueueRunner::quiet() const
{
    return std::none_of(m_lines.cbegin(), m_lines.cend(), [](const auto &line) { return line->busy; });
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
    for (auto it = m_unsaved.begin(); it != m_unsaved.end();) {
        const sendqueue::Result taken = sendqueue::take(m_folder, it.key());
        if (taken.kind == sendqueue::Result::Kind::NotQueued) { // dropped or taken meanwhile
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
        m_rewrite->start(m_settings.rewriteMs);
}

void QueueRunner::send(Line &line, const QueuedMessage &m)
{
    line.busy = true;
    line.message = m;
    m_unsaved.remove(m.id);
    m_reporter.note(
        QStringLiteral("message"),
        QStringLiteral("%1 を回線 %2 で送ります（%3 回目）。").arg(m.id, line.name).arg(m.tried + 1),
        {{QStringLiteral("id"), m.id}, {QStringLiteral("attempt"), m.tried + 1}, {QStringLiteral("line"), line.name}});
    Target target{m.to, m.number, m.center, m.optimize};
    line.send = new MessageSend(m_folder, target, m.text, m_reporter, m_factory, this);
    line.send->setDeviceAccess(line.access);
    line.send->setClock(m_clock);
    connect(line.send, &MessageSend::done, this,
            [this, l = &line, m](const Outcome &outcome) { sendEnded(*l, m, outcome); });
    writeStatus();
    emit calling(m.id, line.name);
    line.send->start();
}

void QueueRunner::spoolProblem(const sendqueue::Result &r, const QString &id)
{
    m_reporter.warn(QStringLiteral("spool"), r.text, {{QStringLiteral("id"), id}, {QStringLiteral("ok"), false}});
}

// Back into queue/ with its new contents; contents that cannot be written stay here.
void QueueRunner::putBack(const QueuedMessage &m)
{
    const sendqueue::Result r = sendqueue::putBack(m_folder, m);
    m_changed.insert(QFile::encodeName(m.id) + ".msg"); // back in queue/: read again before the next choice
    if (r.ok())
        return;
    m_unsaved.insert(m.id, m);
    spoolProblem(r, m.id);
    if (!m_rewrite->isActive())
        m_rewrite->start(m_settings.rewriteMs);
}

void QueueRunner::sendEnded(Line &line, QueuedMessage m, Outcome outcome)
{
    MessageSend *send = std::exchange(line.send, nullptr);
    const decisions::LineState state =
        send->interrupted() ? decisions::LineState::Stopping : decisions::LineState::Calling;
    const QString text = send->sentText().isEmpty() ? m.text : send->sentText();
    const QString lockPath = send->lockPath();
    const QString device = send->device();
    send->deleteLater();
    if (!outcome.center.isEmpty())
        m_centers.insert(m.id, outcome.center);
    // A call that ran on the line (sent, or not stopped, held or turned away before it) is
    // a try, told and counted.
    const bool ran = outcome.sent() || (state == decisions::LineState::Calling && outcome.failure != Failure::Stopped &&
                                        outcome.failure != Failure::Held && outcome.failure != Failure::NotForLine);
    if (outcome.failure == Failure::NotForLine) {
        if (const std::optional<Outcome> refusal = noLineMayCall(m, outcome.center))
            outcome = *refusal;
    }
    const int attempt = m.tried + 1;
    const QJsonObject fields{
        {QStringLiteral("id"), m.id}, {QStringLiteral("attempt"), attempt}, {QStringLiteral("line"), line.name}};
    if (ran) {
        emit tried(m.id, outcome, attempt, line.name); // counted (metrics) before it is told
        m_reporter.result(outcome, fields);
    }
    // A failure of the line or the call, not of the message itself: the line's when it is
    // the device's, else the line's only if another line then sends the message.
    if (ran && !outcome.sent() && outcome.row().fault != Fault::Message) {
        Round &round = m_rounds[m.id];
        round.failedOn.insert(line.name);
        if (outcome.row().fault == Fault::Device)
            lineFailed(line, outcome.message);
        else
            round.blameLater.append({line.name, line.epoch, outcome.message});
        m.lastError = sendqueue::capped(outcome.message, sendqueue::MaxFieldBytes);
    }
    const bool another =
        std::any_of(m_lines.cbegin(), m_lines.cend(), [&](const auto &other) { return mayCarry(*other, m); });
    const QList<int> &delays = m.delays.isEmpty() ? m_settings.delays : m.delays;
    const decisions::Decision d =
        decisions::decide(outcome.failure, state, another, m.tried, m.attempts, delays, m_clock.now());
    carryOut(&line, std::move(m), d, outcome, {ran, ran, text, lockPath, device, fields});
}

// Carries a decision out for a message taken into work/, on the line whose call it was
// (none: a round that ended because its last line went out of service).
void QueueRunner::carryOut(Line *line, QueuedMessage m, const decisions::Decision &d, const Outcome &outcome,
                           const Call &call)
{
    const auto lineFree = [&] {
        if (line)
            this->lineFree(*line);
    };
    switch (d.step) {
    case decisions::Step::Sent: {
        m_rate.paged(m.to, m_clock.now());
        if (line)
            lineSent(*line);
        // The lines that failed the message in this round failed where this one did not.
        const Round round = m_rounds.take(m.id);
        for (const Round::Blame &blame : round.blameLater) {
            for (const auto &other : m_lines) {
                if (other->name == blame.line && other->epoch == blame.epoch)
                    lineFailed(*other, blame.reason);
            }
        }
        m_centers.remove(m.id);
        if (const sendqueue::Result r = sendqueue::finish(m_folder, m.id); !r.ok())
            spoolProblem(r, m.id);
        emit settled(m.id, true, {});
        const QString hook = m.onSent.isEmpty() ? m_settings.onSent : m.onSent;
        if (line)
            settle(*line, m, outcome, hook, call.text, m.tried + 1);
        else
            runHook(hook, {outcome, call.text, m.tried + 1, m.id, {}, {}});
        return;
    }
    case decisions::Step::FailOver:
        putBack(m);
        m_reporter.note(QStringLiteral("failover"), QStringLiteral("%1 をほかの回線で送ります。").arg(m.id),
                        call.fields);
        lineFree();
        return;
    case decisions::Step::Retry:
        m_rounds.remove(m.id);
        m.tried += 1;
        m.notBefore = d.at;
        putBack(m);
        m_reporter.note(QStringLiteral("retry"),
                        QStringLiteral("%1 は %2 にもう一度送ります。").arg(m.id, timeText(m.notBefore)), call.fields);
        lineFree();
        return;
    case decisions::Step::GiveUp: {
        if (call.ran)
            m.tried += 1;
        // A message given up has failed: busy would tell its sender to come back later.
        Outcome told = outcome;
        if (told.status() == ExitStatus::Busy)
            told.failure = Failure::DeviceFailed;
        const QString reason = outcome.row().retryHelps
                                   ? QStringLiteral("%1 回試しても送れませんでした: ").arg(m.tried) + m.lastError
                                   : outcome.message;
        // The hook of a try told already hears that try's reason.
        if (!call.told)
            told.message = reason;
        giveUp(line, m, reason, told, call.told, call.text, qMax(m.tried, 1));
        return;
    }
    case decisions::Step::PutBack:
        putBack(m);
        lineFree();
        return;
    case decisions::Step::Hold:
        // Another program has the line: no try at all; the other lines carry on.
        putBack(m);
        if (line) {
            line->busy = false;
            held(*line, call.lockPath, call.device, outcome.message);
        }
        schedule();
        return;
    }
}

// The one way a message (in work/) is given up: to failed/ with the reason, told unless
// its try was told already, its on-failed hook run once (on the line, which waits for it,
// or on its own).
void QueueRunner::giveUp(Line *line, const QueuedMessage &m, const QString &reason, const Outcome &told, bool tryTold,
                         const QString &text, int attempt)
{
    m_rounds.remove(m.id);
    m_centers.remove(m.id);
    if (const sendqueue::Result r = sendqueue::fail(m_folder, m, reason, sendqueue::State::Sending); !r.ok())
        spoolProblem(r, m.id);
    if (!tryTold)
        m_reporter.result(told, {{QStringLiteral("id"), m.id}});
    emit settled(m.id, false, reason);
    const QString hook = m.onFailed.isEmpty() ? m_settings.onFailed : m.onFailed;
    if (line)
        settle(*line, m, told, hook, text, attempt);
    else
        runHook(hook, {told, text, attempt, m.id, {}, {}});
}

// The message's hook, if any, while the line waits for it; then the line is free.
void QueueRunner::settle(Line &line, const QueuedMessage &m, const Outcome &told, const QString &hook,
                         const QString &text, int attempt)
{
    if (hook.isEmpty()) {
        lineFree(line);
        return;
    }
    line.hook = new Hook(hook, {told, text, attempt, m.id, line.name, {}}, m_reporter, m_settings.hookTimeoutMs, this);
    connect(line.hook, &Hook::finished, this, [this, l = &line] {
        // Gone from here at once: a stop from now on has no hook to wait for.
        std::exchange(l->hook, nullptr)->deleteLater();
        lineFree(*l);
    });
    line.hook->start();
}

void QueueRunner::lineFree(Line &line)
{
    line.busy = false;
    maybeTestPage(line);
    if (line.busy)
        return;
    armCheck(line);
    writeStatus();
    if (m_stopping)
        maybeStopped();
    else
        schedule();
}

void QueueRunner::lineFailed(Line &line, const QString &reason)
{
    ++line.failures;
    line.reason = reason;
    // Another line carries messages: one in service, or on trial by a call (one on trial
    // by a check carries nothing until it passes).
    const bool others = std::any_of(m_lines.cbegin(), m_lines.cend(), [&](const auto &other) {
        return other.get() != &line &&
               (other->service == Line::Service::Up ||
                (other->service == Line::Service::Trial && other->afterRest() == decisions::Return::TrialCall));
    });
    if (line.service == Line::Service::Down ||
        decisions::afterFailure(line.service, line.failures, FailuresToRest, others) != Line::Service::Down) {
        writeStatus();
        return;
    }
    line.service = Line::Service::Down;
    line.checkTimer->stop();
    ++line.epoch;
    const qint64 coolOffMs = decisions::coolOff(m_settings.coolOffMs, line.rests++);
    line.until = m_clock.now() + coolOffMs;
    line.coolOff->start(coolOffMs);
    m_reporter.warn(QStringLiteral("line-down"),
                    QStringLiteral("回線 %1 を %2 まで休ませます: %3").arg(line.name, timeText(line.until), reason),
                    {{QStringLiteral("line"), line.name},
                     {QStringLiteral("reason"), reason},
                     {QStringLiteral("until"), isoTime(line.until)}});
    emit lineChanged(line.name, false);
    runLineHook(m_settings.onLineDown, line, QStringLiteral("line-down"), reason);
    writeStatus();
    // Messages whose round waited for this line end their round now.
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
        const QString id = it->message.id;
        if (!m_rounds.contains(id) || std::any_of(m_lines.cbegin(), m_lines.cend(),
                                                  [&](const auto &other) { return mayCarry(*other, it->message); }))
            continue;
        if (!sendqueue::take(m_folder, id).ok())
            continue;
        QueuedMessage m = it->message;
        const Outcome failed{Failure::CallFailed, m.lastError, m.to.isEmpty() ? m.number : m.to, centerOf(m)};
        m_changed.insert(it.key());
        const QList<int> &delays = m.delays.isEmpty() ? m_settings.delays : m.delays;
        // The end of its round is a try counted.
        const decisions::Decision d = decisions::decide(failed.failure, decisions::LineState::Calling, false, m.tried,
                                                        m.attempts, delays, m_clock.now());
        carryOut(nullptr, std::move(m), d, failed,
                 {true, false, it->message.text, {}, {}, {{QStringLiteral("id"), id}}});
    }
}

void QueueRunner::lineSent(Line &line)
{
    line.failures = 0;
    line.checkFailures = 0;
    lineBack(line);
}

// A line on trial has shown it works (a message sent, or its check passed): back in service.
void QueueRunner::lineBack(Line &line)
{
    if (line.service != Line::Service::Trial)
        return;
    line.service = Line::Service::Up;
    line.failures = 0;
    line.checkFailures = 0;
    ++line.epoch;
    line.rests = 0;
    line.reason.clear();
    m_reporter.note(QStringLiteral("line-up"), QStringLiteral("回線 %1 が戻りました。").arg(line.name),
                    {{QStringLiteral("line"), line.name}});
    emit lineChanged(line.name, true);
    runLineHook(m_settings.onLineUp, line, QStringLiteral("line-up"), {});
}

void QueueRunner::coolOffEnded(Line &line)
{
    if (line.service != Line::Service::Down)
        return;
    line.service = Line::Service::Trial;
    ++line.epoch;
    line.until = 0;
    m_reporter.note(QStringLiteral("line-trial"), QStringLiteral("回線 %1 を試します。").arg(line.name),
                    {{QStringLiteral("line"), line.name}});
    if (line.afterRest() == decisions::Return::Check && !line.busy && !line.waiter)
        startCheck(line);
    writeStatus();
    schedule();
}

// The next check of an idle line in service, CheckEvery= from now.
void QueueRunner::armCheck(Line &line)
{
    if (line.checks && !m_stopping && line.service != Line::Service::Down)
        line.checkTimer->start(line.checkEveryMs);
}

void QueueRunner::startCheck(Line &line)
{
    line.checkTimer->stop();
    line.busy = true;
    line.check = new LineCheck(m_folder, line.access, m_factory, this);
    connect(line.check, &LineCheck::done, this, [this, l = &line](const Outcome &outcome) { checkEnded(*l, outcome); });
    writeStatus();
    line.check->start();
}

// A check ended: one that could not be made counts for nothing (a line on trial waits a
// check's interval for the next); a passed one brings a line on trial back; a failed one
// counts against the line as the device's failed call would.
void QueueRunner::checkEnded(Line &line, const Outcome &outcome)
{
    const bool testPage = line.testSend;
    QString lockPath, device; // of a line found held by a test page
    if (testPage) {
        lockPath = line.testSend->lockPath();
        device = line.testSend->device();
        std::exchange(line.testSend, nullptr)->deleteLater();
    } else
        std::exchange(line.check, nullptr)->deleteLater();
    const QJsonObject fields{{QStringLiteral("line"), line.name},
                             {QStringLiteral("reason"), outcome.message},
                             {QStringLiteral("testPage"), testPage}};
    // A test page that cannot go for its own sake (an unknown name, a text too long) says
    // nothing of the line.
    const bool refused =
        outcome.failure == Failure::Refused || (testPage && !outcome.sent() && outcome.row().fault == Fault::Message);
    if (outcome.failure == Failure::Held || outcome.failure == Failure::Stopped || refused) {
        if (refused)
            m_reporter.warn(QStringLiteral("line-check"), outcome.message, fields);
        if (testPage && outcome.failure == Failure::Held && !m_stopping) {
            // Sent when the other program lets go of the line, watched as for a message.
            if (!lockPath.isEmpty())
                line.testDue = m_clock.now();
            held(line, lockPath, device, outcome.message);
        }
        // A check that could not be made: a line on trial rests a check's interval more.
        if (!testPage && line.service == Line::Service::Trial && !m_stopping) {
            line.service = Line::Service::Down;
            line.until = m_clock.now() + line.checkEveryMs;
            line.coolOff->start(line.checkEveryMs);
        }
        lineFree(line);
        return;
    }
    emit checked(line.name, outcome);
    if (outcome.failure == Failure::None) {
        line.failures = qMax(0, line.failures - line.checkFailures);
        line.checkFailures = 0;
        m_reporter.note(
            QStringLiteral("line-check"),
            (testPage ? QStringLiteral("回線 %1 で試験送信しました。") : QStringLiteral("回線 %1 を確かめました。"))
                .arg(line.name),
            {{QStringLiteral("line"), line.name},
             {QStringLiteral("ok"), true},
             {QStringLiteral("testPage"), testPage}});
        lineBack(line);
    } else {
        ++line.checkFailures;
        m_reporter.warn(QStringLiteral("line-check"),
                        (testPage ? QStringLiteral("回線 %1 の試験送信に失敗しました: %2")
                                  : QStringLiteral("回線 %1 の確認に失敗しました: %2"))
                            .arg(line.name, outcome.message),
                        {{QStringLiteral("line"), line.name},
                         {QStringLiteral("ok"), false},
                         {QStringLiteral("reason"), outcome.message},
                         {QStringLiteral("testPage"), testPage}});
        lineFailed(line, outcome.message);
    }
    lineFree(line);
}

// The next test page's time, on the runner's clock: a time already past waits a day or a week.
void QueueRunner::armTestPage(Line &line)
{
    if (!line.testPage || m_stopping)
        return;
    const qint64 now = m_clock.now();
    line.testAt = line.testPage->next(now);
    line.testTimer->start(line.testAt - now);
}

void QueueRunner::maybeTestPage(Line &line)
{
    if (!line.testDue || line.busy || line.waiter || line.service == Line::Service::Down || m_stopping)
        return;
    line.checkTimer->stop();
    line.busy = true;
    line.testSend =
        new MessageSend(m_folder, Target{line.testPage->to, {}, {}, true},
                        line.testPage->text(line.name, std::exchange(line.testDue, 0)), m_reporter, m_factory, this);
    line.testSend->setDeviceAccess(line.access);
    line.testSend->setClock(m_clock);
    line.testSend->setRecordHistory(false);
    connect(line.testSend, &MessageSend::done, this,
            [this, l = &line](const Outcome &outcome) { checkEnded(*l, outcome); });
    writeStatus();
    line.testSend->start();
}

// Another program holds the line (our lock, or its own on the device): it is held until
// both come free, watched without polling, and carries nothing meanwhile. A lock that
// never clears by itself (a stale file of another user, a pipe) is told as the line
// going down, once, and its clearing as the line coming back.
void QueueRunner::held(Line &line, const QString &lockPath, const QString &device, const QString &why)
{
    if (line.waiter)
        return;
    if (lockPath.isEmpty()) { // nothing to wait on: the line's trouble, not a loop
        lineFailed(line, QStringLiteral("回線がほかのプログラムに使われています。"));
        return;
    }
    line.heldLock = std::make_unique<PortLock>(lockPath);
    const DeviceLock other = DeviceLock::check(device);
    line.heldBy = other.isFree() ? line.heldLock->holder() : other.text;
    line.waiter = new PortLockWaiter(*line.heldLock, device, this);
    connect(line.waiter, &PortLockWaiter::acquired, this, [this, l = &line] {
        l->waiter->deleteLater();
        l->waiter = nullptr;
        l->heldLock.reset(); // taken only to know it is free: let go at once
        l->heldBy.clear();
        if (std::exchange(l->stuck, false)) {
            l->reason.clear();
            m_reporter.note(QStringLiteral("line-up"), QStringLiteral("回線 %1 が戻りました。").arg(l->name),
                            {{QStringLiteral("line"), l->name}});
            emit lineChanged(l->name, true);
            runLineHook(m_settings.onLineUp, *l, QStringLiteral("line-up"), {});
        }
        writeStatus();
        maybeTestPage(*l);
        schedule();
    });
    connect(line.waiter, &PortLockWaiter::stuck, this, [this, l = &line](const QString &why) {
        l->heldBy = why;
        if (std::exchange(l->stuck, true))
            return;
        l->reason = why;
        m_reporter.warn(QStringLiteral("line-down"), QStringLiteral("回線 %1 を使えません: %2").arg(l->name, why),
                        {{QStringLiteral("line"), l->name}, {QStringLiteral("reason"), why}});
        emit lineChanged(l->name, false);
        runLineHook(m_settings.onLineDown, *l, QStringLiteral("line-down"), why);
        writeStatus();
    });
    m_reporter.note(QStringLiteral("line-held"),
                    QStringLiteral("回線 %1 はほかのプログラムが使っています。空くまでほかの回線で送ります。%2")
                        .arg(line.name, why),
                    {{QStringLiteral("line"), line.name}, {QStringLiteral("holder"), line.heldBy}});
    line.waiter->start(-1, PortLockWaiter::Problems::Wait);
    writeStatus();
}

void QueueRunner::runLineHook(const QString &command, const Line &line, const QString &status, const QString &reason)
{
    runHook(command, {{Failure::DeviceFailed, reason}, {}, 0, {}, line.name, status});
}

// A hook no line waits for.
void QueueRunner::runHook(const QString &command, const HookContext &context)
{
    if (command.isEmpty())
        return;
    auto *hook = new Hook(command, context, m_reporter, m_settings.hookTimeoutMs, this);
    m_lineHooks << hook;
    connect(hook, &Hook::finished, this, [this, hook] {
        m_lineHooks.removeAll(hook);
        hook->deleteLater();
        maybeStopped();
    });
    hook->start();
}

void QueueRunner::writeStatus()
{
    QJsonArray lines;
    for (const auto &line : m_lines) {
        lines.append(QJsonObject{
            {QStringLiteral("name"), line->name},
            {QStringLiteral("state"), m_stopping && !line->busy ? QStringLiteral("stopped") : line->stateWord()},
            {QStringLiteral("message"), line->busy ? line->message.id : QString()},
            {QStringLiteral("until"), line->service == Line::Service::Down ? isoTime(line->until) : QString()},
            {QStringLiteral("reason"), line->service == Line::Service::Up ? QString() : line->reason},
            {QStringLiteral("holder"), line->heldBy},
            {QStringLiteral("failures"), line->failures}});
    }
    const QJsonObject status{{QStringLiteral("running"), !(m_stopping && quiet())},
                             {QStringLiteral("updated"), isoTime(m_clock.now())},
                             {QStringLiteral("lines"), lines}};
    if (const auto problem = linestatus::write(m_folder, status)) {
        if (!m_statusProblem)
            m_reporter.warn(QStringLiteral("status"), *problem);
        m_statusProblem = true;
    } else {
        m_statusProblem = false;
    }
}

void QueueRunner::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_timer->stop();
    bool calling = false;
    for (const auto &line : m_lines) {
        if (line->waiter) {
            line->waiter->cancel();
            line->waiter->deleteLater();
            line->waiter = nullptr;
            line->heldLock.reset();
        }
        line->coolOff->stop();
        line->checkTimer->stop();
        if (line->testPage)
            line->testTimer->stop();
        if (line->check) {
            line->check->abort();
            calling = true;
        } else if (line->testSend) {
            line->testSend->abort();
            calling = true;
        } else if (line->send) {
            line->send->abort();
            calling = true;
        } else if (line->hook) {
            line->hook->stop();
        }
    }
    for (const QPointer<Hook> &hook : std::as_const(m_lineHooks)) {
        if (hook)
            hook->stop();
    }
    if (calling)
        m_stopLimit->start(m_settings.stopLimitMs);
    QTimer::singleShot(0, this, &QueueRunner::maybeStopped);
}

void QueueRunner::maybeStopped()
{
    if (!m_stopping || m_stoppedTold || !quiet() || !m_lineHooks.isEmpty())
        return;
    m_stoppedTold = true;
    m_stopLimit->stop();
    writeStatus();
    emit stopped();
}

// Calls that have not ended stopLimitMs after the stop: their drivers go (closing the
// lines), the messages stay queued.
void QueueRunner::cutOff()
{
    bool told = false;
    for (const auto &line : m_lines) {
        if (line->check) {
            line->check->disconnect(this);
            delete std::exchange(line->check, nullptr);
            line->busy = false;
        }
        if (line->testSend) {
            line->testSend->disconnect(this);
            delete std::exchange(line->testSend, nullptr);
            line->busy = false;
        }
        if (!line->send)
            continue;
        if (!std::exchange(told, true))
            m_reporter.warn(QStringLiteral("stopping"), QStringLiteral("回線の切断を待たずに止めます。"));
        line->send->disconnect(this);
        delete std::exchange(line->send, nullptr);
        putBack(line->message);
        line->busy = false;
    }
    maybeStopped();
}
