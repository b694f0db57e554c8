#include "queueadd.h"

#include "queuerunner.h"

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
    auto checked = prepare(folder, target, text, access, fit);
    if (auto *refusal = std::get_if<Outcome>(&checked))
        return *refusal;
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
