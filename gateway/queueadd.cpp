#include "gateway/queueadd.h"

#include "gateway/queuerunner.h"

#include <algorithm>

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
    const QList<QueueLine> lines = QueueSettings::load(folder).lines;
    DeviceAccess checks = access;
    checks.checkKind = lines.isEmpty();
    QList<QueuedMessage> out;
    for (qsizetype i = 0; i < batch.size(); ++i) {
        const BatchMessage &b = batch[i];
        auto checked = prepare(*data, b.target, b.text, checks, b.fit);
        if (auto *refusal = std::get_if<Outcome>(&checked))
            return BatchRefusal{i, *refusal};
        const Prepared &p = std::get<Prepared>(checked);
        if (!lines.isEmpty() && std::none_of(lines.cbegin(), lines.cend(), [&](const QueueLine &line) {
                return lineMayCall(line.centers, p.center.name);
            }))
            return BatchRefusal{i, noLineForCenter(p.recipientName, p.center.name)};
        QueuedMessage m = defaults;
        m.to = b.target.to;
        m.number = b.target.number;
        m.center = b.target.center;
        m.optimize = b.target.optimize;
        m.text = b.text;
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
