#include "queueadd.h"

#include "queuerunner.h"

std::variant<QueuedMessage, Outcome> messageToQueue(const Options &o, const Target &target, const QString &text,
                                                    const DeviceAccess &access)
{
    auto checked = prepare(o.folder, target, text, access);
    if (auto *refusal = std::get_if<Outcome>(&checked))
        return *refusal;
    QueuedMessage m;
    m.to = target.to;
    m.number = target.number;
    m.center = target.center;
    m.optimize = target.optimize;
    m.text = text;
    m.attempts = o.attempts.value_or(QueueSettings::load(o.folder).attempts);
    m.delays = o.delays.value_or(QList<int>());
    m.onSent = o.onSent;
    m.onFailed = o.onFailed;
    return m;
}
