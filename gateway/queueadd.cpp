#include "gateway/queueadd.h"

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
    // The queue's lines, when it has its own, carry the messages, not the window's device:
    // its kind is checked by the runner at its start, and one of them must be allowed to
    // call each message's centre.
    QList<qsizetype> origins;
    auto expanded = expandBatch(folder, batch, *data, QDateTime::currentSecsSinceEpoch(), &origins);
    if (auto *refusal = std::get_if<BatchRefusal>(&expanded))
        return *refusal;
    const QList<BatchMessage> &messages = std::get<QList<BatchMessage>>(expanded);
    const QList<QueueLine> lines = QueueSettings::load(folder).lines;
    DeviceAccess checks = access;
    checks.checkKind = lines.isEmpty();
    // Quiet hours: a page of a severity held waits for their end.
    std::optional<OnCall> quiet;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QList<QueuedMessage> out;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        const BatchMessage &b = messages[i];
        auto checked = prepare(*data, b.target, b.text, checks, b.fit);
        if (auto *refusal = std::get_if<Outcome>(&checked))
            return BatchRefusal{origins[i], *refusal};
        const Prepared &p = std::get<Prepared>(checked);
        if (!lines.isEmpty() && std::none_of(lines.cbegin(), lines.cend(), [&](const QueueLine &line) {
                return lineMayCall(line.centers, p.center.name);
            }))
            return BatchRefusal{origins[i], noLineForCenter(p.recipientName, p.center.name)};
        QueuedMessage m = defaults;
        m.to = b.target.to;
        m.number = b.target.number;
        m.center = b.target.center;
        m.optimize = b.target.optimize;
        m.text = b.text;
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

BatchResult addBatch(const QString &folder, const QList<BatchMessage> &batch, const DeviceAccess &access,
                     const QueuedMessage &defaults, const AppData *data)
{
    auto checked = checkBatch(folder, batch, access, defaults, data);
    if (auto *refusal = std::get_if<BatchRefusal>(&checked))
        return {{}, *refusal, {}};
    QList<QueuedMessage> &messages = std::get<QList<QueuedMessage>>(checked);
    if (const sendqueue::Result added = sendqueue::add(folder, messages); !added.ok())
        return {{}, std::nullopt, added.text};
    BatchResult done;
    for (const QueuedMessage &m : std::as_const(messages))
        done.ids << m.id;
    return done;
}
