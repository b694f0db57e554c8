#include "gateway/queueadd.h"

#include "gateway/dedup.h"
#include "gateway/oncall.h"
#include "gateway/queuerunner.h"

#include <QDateTime>

#include <algorithm>

std::variant<QList<BatchMessage>, BatchRefusal> expandBatch(const QString &folder, const QList<BatchMessage> &batch,
                                                            const AppData &data, qint64 time, QList<qsizetype> *origins)
{
    const QStringList book = OnCall::bookNames(data);
    const auto named = [&](const BatchMessage &b) { return !b.target.to.isEmpty() && !book.contains(b.target.to); };
    if (origins)
        origins->clear();
    if (std::none_of(batch.cbegin(), batch.cend(), named)) { // nothing for oncall.ini to say
        for (qsizetype i = 0; origins && i < batch.size(); ++i)
            *origins << i;
        return batch;
    }
    const OnCall oncall = OnCall::load(folder, book);
    QList<BatchMessage> out;
    for (qsizetype i = 0; i < batch.size(); ++i) {
        const BatchMessage &b = batch[i];
        const OnCall::Kind kind = named(b) && oncall.ok() ? oncall.kindOf(b.target.to) : OnCall::Kind::Person;
        const auto refuse = [&](const QString &text) {
            Outcome o{Failure::Refused, text, b.target.to};
            o.refusal = {Refused::Other, b.target.to, text};
            return BatchRefusal{i, o};
        };
        if (named(b) && !oncall.ok())
            return refuse(QStringLiteral("「%1」はアドレス帳にありません。グループや当番表は %2")
                              .arg(b.target.to, oncall.error()));
        if (kind == OnCall::Kind::Escalation)
            return refuse(
                QStringLiteral("「%1」はエスカレーションです。段を待てるのは queue run だけです。").arg(b.target.to));
        if (kind != OnCall::Kind::Group && kind != OnCall::Kind::Rota) {
            out << b;
            if (origins)
                *origins << i;
            continue;
        }
        for (const OnCall::Reached &r : oncall.expand(b.target.to, time)) {
            BatchMessage m = b;
            m.target.to = r.person;
            m.why = r.why;
            out << m;
            if (origins)
                *origins << i;
        }
    }
    return out;
}

namespace
{

// The queue holds as many as it may: not the batch's fault, to be tried again later.
Outcome queueFull(qsizetype waiting, qsizetype limit)
{
    const QString text =
        QStringLiteral(
            "キューに送信待ちが %1 件あり、上限（queue.ini の MaxQueued=%2）を超えます。あとで送り直してください。")
            .arg(waiting)
            .arg(limit);
    Outcome o{Failure::Held, text};
    o.refusal = {Refused::QueueFull, QString::number(limit), text};
    return o;
}

std::variant<QList<QueuedMessage>, BatchRefusal> checkWith(const QString &folder, const QList<BatchMessage> &batch,
                                                           const DeviceAccess &access, const QueuedMessage &defaults,
                                                           const AppData *data, const QueueSettings &settings)
{
    AppData read;
    if (!data) {
        if (std::optional<Outcome> problem = loadFolder(folder, read))
            return BatchRefusal{0, *problem};
        data = &read;
    }
    // The queue's lines, when it has its own, carry the messages, not the window's device:
    // its kind is checked by the runner at its start, and one of them must be allowed to
    // call each message's centre.
    const QList<QueueLine> &lines = settings.lines;
    DeviceAccess checks = access;
    checks.checkKind = lines.isEmpty();
    // Quiet hours: a page of a severity held waits for their end.
    std::optional<OnCall> quiet;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QList<QueuedMessage> out;
    for (qsizetype i = 0; i < batch.size(); ++i) {
        const BatchMessage &b = batch[i];
        auto checked = prepare(*data, b.target, b.text, checks, b.fit, b.tail);
        if (auto *refusal = std::get_if<Outcome>(&checked))
            return BatchRefusal{i, *refusal};
        const Prepared &p = std::get<Prepared>(checked);
        if (!lines.isEmpty() && std::none_of(lines.cbegin(), lines.cend(), [&](const QueueLine &line) {
                return lineMayCall(line.centers, p.center.name);
            }))
            return BatchRefusal{i, noLineForCenter(p.recipientName, p.center.name)};
        QueuedMessage m = defaults;
        m.id = b.id;
        m.to = b.target.to;
        m.number = b.target.number;
        m.center = b.target.center;
        m.optimize = b.target.optimize;
        m.text = b.text + b.tail;
        if (!b.severity.isEmpty()) // else the batch's own, if any
            m.severity = sendqueue::capped(b.severity, 64);
        m.why = b.why;
        if (!b.severity.isEmpty()) {
            if (!quiet)
                quiet = OnCall::load(folder, *data);
            if (const qint64 until = quiet->quietUntil(b.severity, now); until > now)
                m.notBefore = qMax(m.notBefore, until * 1000);
        }
        if (b.fit == TextFit::Fit) { // kept as it will go: the optimiser has been applied already
            m.text = p.text;
            m.optimize = false;
        }
        out << m;
    }
    return out;
}

} // namespace

std::variant<QList<QueuedMessage>, BatchRefusal> checkBatch(const QString &folder, const QList<BatchMessage> &batch,
                                                            const DeviceAccess &access, const QueuedMessage &defaults,
                                                            const AppData *data)
{
    AppData read;
    if (!data) {
        if (std::optional<Outcome> problem = loadFolder(folder, read))
            return BatchRefusal{0, *problem};
        data = &read;
    }
    QList<qsizetype> origins;
    auto expanded = expandBatch(folder, batch, *data, QDateTime::currentSecsSinceEpoch(), &origins);
    if (auto *refusal = std::get_if<BatchRefusal>(&expanded))
        return *refusal;
    auto checked =
        checkWith(folder, std::get<QList<BatchMessage>>(expanded), access, defaults, data, QueueSettings::load(folder));
    if (auto *refusal = std::get_if<BatchRefusal>(&checked))
        return BatchRefusal{origins[refusal->index], refusal->outcome};
    return checked;
}

BatchResult addBatch(const QString &folder, const QList<BatchMessage> &batch, const DeviceAccess &access,
                     const QueuedMessage &defaults, const AppData *data, const QByteArray &onceKey)
{
    // The check against the index and the write of what it lets through are one step for
    // every writer of the folder: two copies of an alert arriving together page once.
    const FolderLock lock(folder, FolderLock::Exclusive);
    if (std::optional<Outcome> held = folderHeld(lock))
        return {{}, {}, BatchRefusal{0, *held}, {}};
    const QueueSettings settings = QueueSettings::load(folder);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    DedupIndex takenIn = onceKey.isEmpty() ? DedupIndex{} : DedupIndex::load(folder, taken::FileName);
    if (const auto earlier = takenIn.repeats(onceKey, {}, now, taken::KeepMs)) {
        BatchResult again;
        again.takenAs = *earlier;
        return again;
    }
    AppData read;
    if (!data) {
        if (std::optional<Outcome> problem = loadFolder(folder, read))
            return {{}, {}, BatchRefusal{0, *problem}, {}};
        data = &read;
    }
    // A group or a rota becomes one message a person; a repeat is known per person.
    QList<qsizetype> origins;
    auto expansion = expandBatch(folder, batch, *data, now / 1000, &origins);
    if (auto *refusal = std::get_if<BatchRefusal>(&expansion))
        return {{}, {}, *refusal, {}};
    const QList<BatchMessage> &expanded = std::get<QList<BatchMessage>>(expansion);
    DedupIndex index = settings.dedupForMs > 0 ? DedupIndex::load(folder) : DedupIndex{};
    BatchResult done;
    QList<BatchMessage> fresh;
    QList<qsizetype> freshAt;
    for (qsizetype i = 0; i < expanded.size(); ++i) {
        const BatchMessage &b = expanded[i];
        const auto earlier = b.news
                                 ? std::nullopt
                                 : index.repeats(DedupIndex::keyOf(b.target, b.text), b.page, now, settings.dedupForMs);
        if (earlier) {
            done.ids << *earlier;
            done.repeats << i;
        } else {
            done.ids << QString();
            fresh << b;
            freshAt << i;
        }
    }
    // Repeats alone: answered without reading the folder's files, so a storm costs little.
    if (!fresh.isEmpty()) {
        auto checked = checkWith(folder, fresh, access, defaults, data, settings);
        if (auto *refusal = std::get_if<BatchRefusal>(&checked))
            return {{}, {}, BatchRefusal{origins[freshAt[refusal->index]], refusal->outcome}, {}};
        QList<QueuedMessage> &messages = std::get<QList<QueuedMessage>>(checked);
        if (const qsizetype waiting = sendqueue::waitingCount(folder); waiting + messages.size() > settings.maxQueued)
            return {{}, {}, BatchRefusal{0, queueFull(waiting, settings.maxQueued)}, {}};
        if (const sendqueue::Result added = sendqueue::add(folder, messages); !added.ok())
            return {{}, {}, std::nullopt, added.text};
        for (qsizetype k = 0; k < fresh.size(); ++k) {
            done.ids[freshAt[k]] = messages[k].id;
            index.record(DedupIndex::keyOf(fresh[k].target, fresh[k].text), messages[k].id, fresh[k].page, now,
                         settings.dedupForMs);
        }
    }
    if (!onceKey.isEmpty()) { // durable: a record lost would page the mail server's retry again
        takenIn.record(onceKey, done.ids.value(0), {}, now, taken::KeepMs);
        takenIn.save(folder, true, taken::FileName);
    }
    // The messages are queued whatever becomes of the index: a write that fails, or is
    // lost in a system crash, costs at most a repeat paged again; so it does not wait for
    // the disk. Repeats alone are tallied, the index left as it is.
    const quint64 repeats = quint64(done.repeats.size());
    index.suppressed += repeats;
    if (settings.dedupForMs > 0 && (!fresh.isEmpty() || index.tallied + repeats >= DedupIndex::FoldAt))
        index.save(folder, false);
    else if (settings.dedupForMs > 0)
        DedupIndex::tally(folder, repeats);
    return done;
}
