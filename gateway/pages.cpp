#include "gateway/pages.h"

#include "gateway/queueadd.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

// The pages' files are changed under one lock (queue/state/pages.lock), held for a
// read, a change and a write: a runner queuing a step and an acknowledgement never
// write over each other.
class PagesLock
{
public:
    explicit PagesLock(const QString &dataFolder)
    {
        if (sendqueue::checkFolders(dataFolder).ok())
            m_fd =
                ::open(QFile::encodeName(sendqueue::stateFolder(dataFolder) + QStringLiteral("pages.lock")).constData(),
                       O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~PagesLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PagesLock(const PagesLock &) = delete;
    PagesLock &operator=(const PagesLock &) = delete;

private:
    int m_fd = -1;
};

const char *const Words[] = {"open", "acknowledged", "resolved"};

bool safeId(const QString &id)
{
    static const QString allowed = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzT-");
    return !id.isEmpty() && id.size() <= 64 &&
           std::all_of(id.cbegin(), id.cend(), [](QChar c) { return allowed.contains(c); });
}

} // namespace

std::optional<qint64> PageState::nextDue() const
{
    if (!open() || queued >= steps.size())
        return std::nullopt;
    return started + steps[queued].delay;
}

QString PageState::word() const
{
    return exhausted() ? QStringLiteral("exhausted") : QLatin1String(Words[int(state)]);
}

namespace pages
{

QByteArray toJson(const PageState &p)
{
    QJsonArray steps;
    for (const auto &s : p.steps)
        steps.append(QJsonObject{
            {QStringLiteral("delay"), s.delay}, {QStringLiteral("step"), s.step}, {QStringLiteral("name"), s.name}});
    const QJsonObject o{{QStringLiteral("id"), p.id},
                        {QStringLiteral("escalation"), p.escalation},
                        {QStringLiteral("text"), p.text},
                        {QStringLiteral("severity"), p.severity},
                        {QStringLiteral("group"), p.group},
                        {QStringLiteral("ack"), p.ack},
                        {QStringLiteral("started"), p.started},
                        {QStringLiteral("steps"), steps},
                        {QStringLiteral("queued"), p.queued},
                        {QStringLiteral("adding"), p.adding},
                        {QStringLiteral("people"), QJsonArray::fromStringList(p.people)},
                        {QStringLiteral("state"), QLatin1String(Words[int(p.state)])},
                        {QStringLiteral("by"), p.by},
                        {QStringLiteral("ended"), p.ended}};
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

std::optional<PageState> fromJson(const QByteArray &bytes)
{
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    PageState p;
    const auto text = [&](const char *key) { return o.value(QLatin1String(key)).toString(); };
    p.id = text("id");
    p.escalation = text("escalation");
    p.text = text("text");
    p.severity = text("severity");
    p.group = text("group");
    p.ack = text("ack");
    p.started = qint64(o.value(QStringLiteral("started")).toDouble());
    for (const QJsonValue &v : o.value(QStringLiteral("steps")).toArray()) {
        const QJsonObject s = v.toObject();
        p.steps << OnCall::DueStep{s.value(QStringLiteral("delay")).toInt(), s.value(QStringLiteral("step")).toInt(),
                                   s.value(QStringLiteral("name")).toString()};
    }
    p.queued = qBound(0, o.value(QStringLiteral("queued")).toInt(), int(p.steps.size()));
    p.adding = o.value(QStringLiteral("adding")).toInt(-1);
    for (const QJsonValue &v : o.value(QStringLiteral("people")).toArray())
        p.people << v.toString();
    const QString state = text("state");
    for (int i = 0; i < 3; ++i)
        if (state == QLatin1String(Words[i]))
            p.state = PageState::State(i);
    p.by = text("by");
    p.ended = qint64(o.value(QStringLiteral("ended")).toDouble());
    if (!safeId(p.id))
        return std::nullopt;
    return p;
}

sendqueue::Result write(const QString &dataFolder, const PageState &p)
{
    return sendqueue::writeState(dataFolder, p.id + QLatin1String(Suffix), toJson(p));
}

std::optional<PageState> read(const QString &dataFolder, const QString &id)
{
    if (!safeId(id))
        return std::nullopt;
    QString problem;
    const auto bytes = sendqueue::readState(dataFolder, id + QLatin1String(Suffix), &problem);
    if (!bytes)
        return std::nullopt;
    auto p = fromJson(*bytes);
    return p && p->id == id ? p : std::nullopt;
}

QList<PageState> all(const QString &dataFolder)
{
    QList<PageState> out;
    for (const QString &name : sendqueue::stateNames(dataFolder, QLatin1String(Suffix)))
        if (auto p = read(dataFolder, name.chopped(int(qstrlen(Suffix)))))
            out << *p;
    return out;
}

std::optional<PageState> find(const QString &dataFolder, const QString &idOrCode)
{
    if (auto p = read(dataFolder, idOrCode))
        return p;
    for (const PageState &p : all(dataFolder))
        if (p.open() && p.ack == idOrCode)
            return p;
    return std::nullopt;
}

QString newAckCode(const QList<PageState> &pages)
{
    for (;;) {
        const QString code = QString::number(QRandomGenerator::system()->bounded(1000000)).rightJustified(6, u'0');
        if (std::none_of(pages.cbegin(), pages.cend(), [&](const PageState &p) { return p.open() && p.ack == code; }))
            return code;
    }
}

QString stepText(const PageState &p, const QString &suffix)
{
    QString tail = suffix;
    return p.text + tail.replace(QStringLiteral("{ack}"), p.ack);
}

Ran runDue(const QString &dataFolder, PageState &p, qint64 now, const StepQueuer &queue)
{
    Ran ran;
    const PagesLock lock(dataFolder);
    if (auto current = read(dataFolder, p.id)) // as it is now: acknowledged meanwhile?
        p = *current;
    while (p.open() && p.queued < p.steps.size() && p.started + p.steps[p.queued].delay <= now) {
        const OnCall::DueStep &step = p.steps[p.queued];
        const int number = p.queued + 1;
        // A step whose batch was written before a crash is not queued again.
        QStringList reached;
        if (p.adding == number)
            for (const sendqueue::Entry &e : sendqueue::list(dataFolder))
                if (e.message.page == p.id && e.message.step == number)
                    reached << e.message.to;
        if (reached.isEmpty()) {
            p.adding = number;
            if (const auto r = write(dataFolder, p); !r.ok()) {
                ran.problems << r.text;
                return ran;
            }
            const auto queued = queue(p, step);
            if (const auto *problem = std::get_if<QString>(&queued)) {
                ran.problems << *problem;
                return ran;
            }
            for (const QString &id : std::get<QStringList>(queued)) {
                QString why;
                if (auto m = sendqueue::read(sendqueue::queueFolder(dataFolder), id, &why))
                    reached << m->to;
            }
        }
        for (const QString &person : std::as_const(reached))
            if (!p.people.contains(person))
                p.people << person;
        p.queued = number;
        p.adding = -1;
        ++ran.steps;
        if (const auto r = write(dataFolder, p); !r.ok()) {
            ran.problems << r.text;
            return ran;
        }
    }
    return ran;
}

std::variant<PageState, QString> acknowledge(const QString &dataFolder, const QString &idOrCode, const QString &by,
                                             qint64 now, bool resolved)
{
    const PagesLock lock(dataFolder);
    auto p = find(dataFolder, idOrCode);
    if (!p)
        return QStringLiteral("%1 というページはありません（queue add が出した ID か、ページの末尾の番号）。")
            .arg(idOrCode);
    if (!p->open())
        return *p; // acknowledged already: the same answer again
    p->state = resolved ? PageState::State::Resolved : PageState::State::Acknowledged;
    p->by = by;
    p->ended = now;
    if (const auto r = write(dataFolder, *p); !r.ok())
        return r.text;
    for (const sendqueue::Entry &e : sendqueue::entries(dataFolder, sendqueue::State::Waiting))
        if (e.message.page == p->id)
            sendqueue::drop(dataFolder, e.id);
    return *p;
}

} // namespace pages

namespace pages
{

StepQueuer stepQueuer(const QString &dataFolder, const DeviceAccess &access, const QueuedMessage &defaults,
                      const QString &suffix)
{
    return [=](const PageState &p, const OnCall::DueStep &step) -> std::variant<QStringList, QString> {
        const int number = p.queued + 1;
        auto checked =
            checkBatch(dataFolder, {{{step.name, {}, {}, false}, stepText(p, suffix), TextFit::Fit, {}, p.severity}},
                       access, defaults);
        if (const auto *refusal = std::get_if<BatchRefusal>(&checked))
            return refusal->outcome.message;
        QList<QueuedMessage> messages = std::get<QList<QueuedMessage>>(checked);
        for (QueuedMessage &m : messages) {
            m.page = p.id;
            m.step = number;
            m.why =
                QStringLiteral("%1 Step%2 → %3").arg(p.escalation).arg(step.step).arg(m.why.isEmpty() ? m.to : m.why);
        }
        if (const auto r = sendqueue::add(dataFolder, messages); !r.ok())
            return r.text;
        QStringList ids;
        for (const QueuedMessage &m : std::as_const(messages))
            ids << m.id;
        return ids;
    };
}

std::variant<PageState, QString> start(const QString &dataFolder, const OnCall &oncall, const QString &escalation,
                                       const QString &text, const QString &severity, qint64 now,
                                       const StepQueuer &queue, const QString &group, const QString &id)
{
    const OnCall::Escalation *e = oncall.escalation(escalation);
    if (!e)
        return QStringLiteral("「%1」はエスカレーションではありません。").arg(escalation);
    PageState p;
    p.id = id.isEmpty() ? sendqueue::newId() : id;
    p.escalation = e->name;
    p.text = text;
    p.severity = severity;
    p.group = group;
    p.started = now;
    p.steps = OnCall::schedule(*e);
    {
        const PagesLock lock(dataFolder);
        p.ack = newAckCode(all(dataFolder));
        if (const auto r = write(dataFolder, p); !r.ok())
            return r.text;
    }
    const Ran ran = runDue(dataFolder, p, now, queue);
    if (!ran.problems.isEmpty() && p.queued == 0) { // the first step refused: no page at all
        ::unlink(QFile::encodeName(sendqueue::stateFolder(dataFolder) + p.id + QLatin1String(Suffix)).constData());
        return ran.problems.join(u' ');
    }
    return p;
}

} // namespace pages
