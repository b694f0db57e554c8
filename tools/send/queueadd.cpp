#include "queueadd.h"

#include "queuerunner.h"

#include <algorithm>

QueuedMessage queueDefaults(const Options &o)
{
    QueuedMessage m;
    m.attempts = o.attempts.value_or(QueueSettings::load(o.folder).attempts);
    m.delays = o.delays.value_or(QList<int>());
    m.onSent = o.onSent;
    m.onFailed = o.onFailed;
    return m;
}

std::variant<QueuedMessage, Outcome> messageToQueue(const QString &folder, const Target &target, const QString &text,
                                                    const DeviceAccess &access, QueuedMessage m, TextFit fit)
{
    // The queue's lines, when it has its own, carry the message, not the window's device;
    // one of them must be allowed to call its centre.
    const QList<QueueLine> lines = QueueSettings::load(folder).lines;
    DeviceAccess checks = access;
    checks.checkKind = lines.isEmpty();
    auto checked = prepare(folder, target, text, checks, fit);
    if (auto *refusal = std::get_if<Outcome>(&checked))
        return *refusal;
    const QString center = std::get<Prepared>(checked).center.name;
    if (!lines.isEmpty() && std::none_of(lines.cbegin(), lines.cend(), [&](const QueueLine &line) {
            return line.centers.isEmpty() || line.centers.contains(center);
        }))
        return Outcome{
            Failure::Refused,
            QStringLiteral("センター「%1」にかけられる回線がありません（queue.ini の Centers）。").arg(center),
            target.to.isEmpty() ? target.number : target.to, center};
    m.to = target.to;
    m.number = target.number;
    m.center = target.center;
    m.optimize = target.optimize;
    m.text = text;
    if (fit == TextFit::Fit) { // stored as it will go: the optimiser has been applied already
        m.text = std::get<Prepared>(checked).text;
        m.optimize = false;
    }
    return m;
}

QueueAddResult addToQueue(const QString &folder, const Target &target, const QString &text, const DeviceAccess &access,
                          QueuedMessage m, TextFit fit)
{
    auto queued = messageToQueue(folder, target, text, access, std::move(m), fit);
    if (auto *refusal = std::get_if<Outcome>(&queued))
        return {{}, *refusal, {}};
    QueuedMessage &message = std::get<QueuedMessage>(queued);
    if (const sendqueue::Result added = sendqueue::add(folder, message); !added.ok())
        return {{}, std::nullopt, added.text};
    return {message.id, std::nullopt, {}};
}
