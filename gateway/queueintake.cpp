#include "gateway/queueintake.h"

#include "gateway/dedup.h"
#include "gateway/heartbeat.h"
#include "gateway/pages.h"
#include "gateway/queueadd.h"

#include "gateway/values.h"
#include "modem/devicekind.h"
#include "store/appdata.h"
#include "store/locks.h"
#include "store/settingsfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

std::optional<QByteArray> listenerToken(const QString &tokenFile, const QString &folder, QString *problem)
{
    const QString path = tokenFile.isEmpty() ? folder + QStringLiteral("http-token") : tokenFile;
    if (!tokenFile.isEmpty() || QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        const std::optional<QString> token = readPrivateFile(path, problem);
        if (token && token->trimmed().isEmpty()) {
            *problem = QStringLiteral("%1 にトークンがありません。").arg(path);
            return std::nullopt;
        }
        if (token && token->trimmed().size() < MinimumTokenLength) {
            *problem = QStringLiteral("%1 のトークンが短すぎます（%2 文字）。%3 文字以上にしてください。")
                           .arg(path)
                           .arg(token->trimmed().size())
                           .arg(MinimumTokenLength);
            return std::nullopt;
        }
        return token ? std::optional(token->trimmed().toUtf8()) : std::nullopt;
    }
    // The first start: a new token, written whole (0600 from its creation) and renamed in.
    QByteArray random(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    const QByteArray token = random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    if (const QString failed = writePrivateFile(path, token + '\n'); !failed.isEmpty()) {
        *problem = QStringLiteral("トークンのファイル %1 を作れません。").arg(path);
        return std::nullopt;
    }
    return token;
}

QueueIntake::QueueIntake(QString folder, QStringList lines, DeviceAccess access, QueuedMessage defaults)
    : m_folder(std::move(folder)), m_access(std::move(access)), m_defaults(std::move(defaults))
{
    for (const QString &name : lines)
        m_lines.append({name, true, true, {}, false, 0, 0, 0});
}

QueueIntake::Line *QueueIntake::line(const QString &name)
{
    const auto it = std::find_if(m_lines.begin(), m_lines.end(), [&](const Line &l) { return l.name == name; });
    return it == m_lines.end() ? nullptr : &*it;
}

namespace
{

IntakePage shown(const PageState &p)
{
    return {true, p.id, p.escalation, p.word(), p.queued, int(p.steps.size()), p.people, p.by};
}

} // namespace

IntakePage QueueIntake::page(const QString &id)
{
    const auto p = pages::read(m_folder, id);
    return p ? shown(*p) : IntakePage{};
}

IntakePage QueueIntake::acknowledge(const QString &id, QString *problem)
{
    const FolderLock::WaitLimit limit(FolderWaitMs);
    if (!pages::read(m_folder, id)) // by its id only: the code is for the people paged
        return {};
    const auto acked = pages::acknowledge(m_folder, id, QStringLiteral("HTTP"), QDateTime::currentSecsSinceEpoch());
    if (const auto *why = std::get_if<QString>(&acked)) {
        *problem = *why;
        return {};
    }
    return shown(std::get<PageState>(acked));
}

IntakeAnswer QueueIntake::add(const IntakeMessage &message)
{
    const FolderLock::WaitLimit limit(FolderWaitMs);
    return addIntakeMessage(m_folder, m_access, m_defaults, message);
}

IntakeAnswer addIntakeMessage(const QString &folder, const DeviceAccess &access, const QueuedMessage &defaults,
                              const IntakeMessage &message)
{
    // A page to an escalation: its first step now, the runner's clock the rest.
    AppData data;
    const bool loaded = !message.target.to.isEmpty() && !loadFolder(folder, data);
    if (loaded) {
        if (std::none_of(data.recipients.cbegin(), data.recipients.cend(),
                         [&](const Recipient &r) { return r.name == message.target.to; })) {
            const OnCall oncall = OnCall::load(folder, data);
            if (oncall.ok() && oncall.kindOf(message.target.to) == OnCall::Kind::Escalation) {
                const qint64 now = QDateTime::currentSecsSinceEpoch();
                if (message.resolved) { // the alert is over: its open pages end, nobody is paged
                    QStringList ended;
                    for (const PageState &p : pages::all(folder))
                        if (p.open() && !message.group.isEmpty() && p.group == message.group &&
                            std::holds_alternative<PageState>(
                                pages::acknowledge(folder, p.id, QStringLiteral("Alertmanager"), now, true)))
                            ended << p.id;
                    return {IntakeAnswer::Queued, ended.value(0), {}, {}, {}};
                }
                const auto started =
                    pages::start(folder, oncall, message.target.to, message.text, message.severity, now,
                                 pages::stepQueuer(folder, access, defaults, oncall.ackSuffix()), message.group);
                if (const auto *problem = std::get_if<QString>(&started))
                    return {IntakeAnswer::Refused, {}, {}, *problem, {Refused::Other, message.target.to, *problem}};
                const PageState &p = std::get<PageState>(started);
                QStringList ids;
                for (const sendqueue::Entry &e : sendqueue::list(folder))
                    if (e.message.page == p.id)
                        ids << e.id;
                return {IntakeAnswer::Queued, p.id, ids, {}, {}};
            }
        }
    }
    // No lock here: the spool's own renames keep the files whole, and the checks read the
    // folder's files under the folder's lock (the book read above serves them, as the mail
    // intake's does: read once a request).
    BatchMessage b{message.target, message.text, message.fit ? TextFit::Fit : TextFit::Refuse, {}, message.severity};
    b.news = message.news;
    const BatchResult added = addBatch(folder, {b}, access, defaults, loaded ? &data : nullptr);
    if (added.refusal) {
        const Outcome &o = added.refusal->outcome;
        // The folder locked by another program for a moment, or the queue full: not the
        // message's fault.
        if (o.status() == ExitStatus::Busy)
            return {IntakeAnswer::NotStored, {}, {}, o.message, o.refusal};
        const IntakeRefusal why =
            o.refusal.why == Refused::None ? IntakeRefusal{Refused::Other, {}, o.message} : o.refusal;
        return {IntakeAnswer::Refused, {}, {}, o.message, why};
    }
    if (!added.notStored.isEmpty())
        return {IntakeAnswer::NotStored, {}, {}, added.notStored, {}};
    return {IntakeAnswer::Queued, added.ids.value(0), added.ids, {}, {}, !added.repeats.isEmpty()};
}

IntakeStatus QueueIntake::status(const QString &id)
{
    static const QString allowed = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzT-");
    if (id.isEmpty() || id.size() > 64 ||
        !std::all_of(id.cbegin(), id.cend(), [](QChar c) { return allowed.contains(c); }))
        return {};
    const QString name = id + QStringLiteral(".msg");
    // Looked at in the order a message moves, so that one moving meanwhile is still found.
    if (QFileInfo::exists(sendqueue::queueFolder(m_folder) + name))
        return {IntakeStatus::Waiting, {}, {}};
    {
        const std::lock_guard lock(m_mutex);
        if (QFileInfo::exists(sendqueue::workFolder(m_folder) + name))
            return {IntakeStatus::Sending, m_calling.value(id), {}};
        const auto known = m_outcomes.constFind(id);
        if (known != m_outcomes.cend())
            return *known;
    }
    QString problem;
    if (const auto failed = sendqueue::read(sendqueue::failedFolder(m_folder), id, &problem))
        return {IntakeStatus::Failed, {}, failed->failure};
    if (QFileInfo::exists(sendqueue::queueFolder(m_folder) + name))
        return {IntakeStatus::Waiting, {}, {}};
    return {};
}

namespace
{

// The messages waiting in queue/ and the id of the oldest, from one pass over the names
// (nothing sorted or opened); an id empty when none waits.
std::pair<qint64, QString> waitingNames(const QString &folder)
{
    qint64 count = 0;
    QByteArray oldest;
    if (DIR *dir = ::opendir(QFile::encodeName(sendqueue::queueFolder(folder)).constData())) {
        while (const dirent *d = ::readdir(dir)) {
            const QByteArray name(d->d_name);
            if (name.startsWith('.') || !name.endsWith(".msg") || name.size() <= 4)
                continue;
            ++count;
            if (oldest.isEmpty() || name < oldest)
                oldest = name;
        }
        ::closedir(dir);
    }
    return {count, QFile::decodeName(oldest.chopped(qMin<qsizetype>(4, oldest.size())))};
}

} // namespace

IntakeMetrics QueueIntake::metrics()
{
    IntakeMetrics pagesSeen;
    const pages::Totals gone = pages::removed(m_folder);
    pagesSeen.pages = gone.ended;
    pagesSeen.escalationSteps = gone.steps;
    for (const PageState &p : pages::all(m_folder)) {
        if (!p.open() || p.exhausted())
            ++pagesSeen.pages[p.word()];
        pagesSeen.escalationSteps += quint64(p.queued);
    }
    IntakeMetrics m;
    m.pages = pagesSeen.pages;
    m.escalationSteps = pagesSeen.escalationSteps;
    m.suppressedDuplicates = DedupIndex::load(m_folder).suppressed;
    // From the names alone, however long the queue: only the oldest message is read.
    const auto count = [](const QString &folder) {
        return qint64(QDir(folder).entryList({QStringLiteral("*.msg")}, QDir::Files).size());
    };
    const auto [waiting, first] = waitingNames(m_folder);
    m.waiting = waiting;
    m.sending = count(sendqueue::workFolder(m_folder));
    m.failed = count(sendqueue::failedFolder(m_folder));
    QString problem;
    std::optional<QueuedMessage> oldest =
        first.isEmpty() ? std::nullopt : sendqueue::read(sendqueue::queueFolder(m_folder), first, &problem);
    for (const QString &id : oldest || first.isEmpty() ? QStringList() : sendqueue::waitingIds(m_folder)) {
        if ((oldest = sendqueue::read(sendqueue::queueFolder(m_folder), id, &problem))) // the oldest readable
            break;
    }
    if (oldest)
        m.oldestWaitingSeconds = qMax<qint64>(0, QDateTime::currentMSecsSinceEpoch() - oldest->added) / 1000.0;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const QString &name : heartbeats::names(m_folder))
        if (const auto last = heartbeats::lastBeat(m_folder, name))
            m.heartbeatAges.append({name, qMax<qint64>(0, now - *last) / 1000.0});
    const std::lock_guard lock(m_mutex);
    m.sentTotal = m_sent;
    m.failedTotal = m_failed;
    for (const Line &l : std::as_const(m_lines))
        m.lines.append(
            {l.name, l.inService && l.lastCallOk, l.calls, l.checked, l.checksOk, l.checksFailed, l.lastCheckMs});
    return m;
}

IntakeBeat QueueIntake::heartbeat(const QString &name)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QFileInfo oncall(m_folder + QLatin1String(OnCall::FileName));
    const QPair<qint64, qint64> stamp{oncall.exists() ? oncall.lastModified().toMSecsSinceEpoch() : 0,
                                      oncall.exists() ? oncall.size() : -1};
    const std::lock_guard lock(m_mutex);
    if (stamp != m_oncallStamp) {
        m_heartbeats = heartbeats::names(m_folder);
        m_oncallStamp = stamp;
    }
    if (!m_heartbeats.contains(name))
        return {IntakeBeat::Unknown, {}};
    if (const auto kept = m_beatKept.constFind(name); kept != m_beatKept.cend() && *kept <= now && now - *kept < 1000)
        return {IntakeBeat::Taken, {}};
    if (const QString problem = heartbeats::beat(m_folder, name, now); !problem.isEmpty())
        return {IntakeBeat::NotStored, problem};
    m_beatKept.insert(name, now);
    return {IntakeBeat::Taken, {}};
}

bool QueueIntake::healthy()
{
    const std::lock_guard lock(m_mutex);
    return m_inService &&
           std::any_of(m_lines.cbegin(), m_lines.cend(), [](const Line &l) { return l.inService && l.lastCallOk; });
}

QStringList QueueIntake::warnings()
{
    const std::lock_guard lock(m_mutex);
    return m_onCallProblem.isEmpty() ? QStringList() : QStringList{m_onCallProblem};
}

void QueueIntake::setOnCallProblem(const QString &problem)
{
    const std::lock_guard lock(m_mutex);
    m_onCallProblem = problem;
}

void QueueIntake::setInService(bool inService)
{
    const std::lock_guard lock(m_mutex);
    m_inService = inService;
}

void QueueIntake::calling(const QString &id, const QString &name)
{
    const std::lock_guard lock(m_mutex);
    m_calling.insert(id, name);
}

void QueueIntake::callEnded(const QString &id, const Outcome &outcome, const QString &name)
{
    const std::lock_guard lock(m_mutex);
    m_calling.remove(id);
    Line *l = line(name);
    if (!l)
        return;
    ++l->calls[outcome.word()];
    if (outcome.status() == ExitStatus::Sent)
        l->lastCallOk = true;
    else if (outcome.status() == ExitStatus::LineFailed)
        l->lastCallOk = false;
}

void QueueIntake::lineChanged(const QString &name, bool inService)
{
    const std::lock_guard lock(m_mutex);
    if (Line *l = line(name))
        l->inService = inService;
}

void QueueIntake::setChecked(const QStringList &lines)
{
    const std::lock_guard lock(m_mutex);
    for (Line &l : m_lines)
        l.checked = lines.contains(l.name);
}

void QueueIntake::lineChecked(const QString &name, bool ok, qint64 atMs)
{
    const std::lock_guard lock(m_mutex);
    if (Line *l = line(name)) {
        ++(ok ? l->checksOk : l->checksFailed);
        l->lastCheckMs = atMs;
    }
}

void QueueIntake::settled(const QString &id, bool sent, const QString &reason)
{
    const std::lock_guard lock(m_mutex);
    m_calling.remove(id);
    ++(sent ? m_sent : m_failed);
    if (!m_outcomes.contains(id))
        m_order.enqueue(id);
    m_outcomes.insert(id, {sent ? IntakeStatus::Sent : IntakeStatus::Failed, {}, reason});
    while (m_order.size() > RememberedOutcomes)
        m_outcomes.remove(m_order.dequeue());
}
