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

std::optional<qint64> PageState::endedAt() const
{
    if (!open())
        return ended;
    if (exhausted())
        return started + (steps.isEmpty() ? 0 : steps.last().delay);
    return std::nullopt;
}

QString PageState::word() const
{
    return exhausted() ? QStringLiteral("exhausted") : QLatin1String(Words[int(state)]);
}

namespace pages
{

Lock::Lock(const QString &dataFolder)
{
    if (sendqueue::checkFolders(dataFolder).ok())
        m_fd = ::open(QFile::encodeName(sendqueue::stateFolder(dataFolder) + QStringLiteral("pages.lock")).constData(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd >= 0)
        ::flock(m_fd, LOCK_EX);
}

Lock::~Lock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

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

namespace
{
constexpr const char *RemovedFile = "pages-removed.json";
}

Totals removed(const QString &dataFolder)
{
    QString problem;
    const QJsonObject o =
        QJsonDocument::fromJson(
            sendqueue::readState(dataFolder, QLatin1String(RemovedFile), &problem).value_or(QByteArray()))
            .object();
    Totals t;
    for (auto it = o.constBegin(); it != o.constEnd(); ++it)
        if (it.key() == u"steps")
            t.steps = quint64(it.value().toDouble());
        else
            t.ended[it.key()] = quint64(it.value().toDouble());
    return t;
}

int removeEnded(const QString &dataFolder, qint64 now, qint64 keep)
{
    const Lock lock(dataFolder);
    QList<PageState> gone;
    for (const PageState &p : all(dataFolder))
        if (const auto end = p.endedAt(); end && *end < now - keep)
            gone << p;
    if (gone.isEmpty())
        return 0;
    // Counted first: the totals shown never go down (a page counted twice after a crash
    // here is the lesser harm).
    Totals t = removed(dataFolder);
    for (const PageState &p : std::as_const(gone)) {
        ++t.ended[p.word()];
        t.steps += quint64(p.queued);
    }
    QJsonObject o{{QStringLiteral("steps"), double(t.steps)}};
    for (auto it = t.ended.constBegin(); it != t.ended.constEnd(); ++it)
        o.insert(it.key(), double(it.value()));
    if (!sendqueue::writeState(dataFolder, QLatin1String(RemovedFile), QJsonDocument(o).toJson()).ok())
        return 0;
    int count = 0;
    for (const PageState &p : std::as_const(gone))
        if (::unlink(
                QFile::encodeName(sendqueue::stateFolder(dataFolder) + p.id + QLatin1String(Suffix)).constData()) == 0)
            ++count;
    return count;
}

QString newAckCode(const QList<PageState> &pages)
{
    for (;;) {
        const QString code = QString::number(QRandomGenerator::system()->bounded(1000000)).rightJustified(6, u'0');
        if (std::none_of(pages.cbegin(), pages.cend(), [&](const PageState &p) { return p.open() && p.ack == code; }))
            return code;
    }
}

BatchMessage stepMessage(const PageState &p, const QString &name, const QString &suffix)
{
    const auto withCode = [&](QString text) { return text.replace(QStringLiteral("{ack}"), p.ack); };
    BatchMessage m{{name, {}, {}, false}, withCode(p.text), TextFit::Fit, {}, p.severity};
    m.tail = withCode(suffix);
    return m;
}

Ran runDue(const QString &dataFolder, PageState &p, qint64 now, const StepQueuer &queue)
{
    Ran ran;
    const Lock lock(dataFolder);
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
    const Lock lock(dataFolder);
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
        auto checked = checkBatch(dataFolder, {stepMessage(p, step.name, suffix)}, access, defaults);
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
        const Lock lock(dataFolder);
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

std::optional<std::variant<PageState, QString>> startEscalation(const QString &dataFolder, const AppData &data,
                                                                const QString &name, const QString &text,
                                                                const QString &severity, qint64 now,
                                                                const DeviceAccess &access,
                                                                const QueuedMessage &defaults, const QString &group)
{
    if (name.isEmpty() || OnCall::bookNames(data).contains(name))
        return std::nullopt;
    const OnCall oncall = OnCall::load(dataFolder, data);
    if (!oncall.ok() || oncall.kindOf(name) != OnCall::Kind::Escalation)
        return std::nullopt;
    return start(dataFolder, oncall, name, text, severity, now,
                 stepQueuer(dataFolder, access, defaults, oncall.ackSuffix()), group);
}

} // namespace pages
