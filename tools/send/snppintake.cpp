#include "snppintake.h"

#include "queueadd.h"

#include "encoding/cp932.h"
#include "snpp/users.h"

#include <QStringDecoder>

#include <algorithm>

SnppIntake::SnppIntake(QString folder, DeviceAccess access, QueuedMessage defaults, QString center)
    : m_folder(std::move(folder)), m_access(std::move(access)), m_defaults(std::move(defaults)),
      m_center(std::move(center))
{
}

QString SnppIntake::text(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString asUtf8 = utf8(bytes);
    return utf8.hasError() ? cp932::decode(bytes) : asUtf8;
}

std::variant<SnppPager, QString> SnppIntake::pager(const QByteArray &name)
{
    AppData data;
    if (const std::optional<Outcome> problem = loadFolder(m_folder, data))
        return problem->message;
    const QString shown = text(name);
    if (std::any_of(data.recipients.cbegin(), data.recipients.cend(),
                    [&](const Recipient &r) { return r.name == shown; }))
        return SnppPager{sendqueue::newId(), {shown, {}, {}, false}};
    const bool digits = std::all_of(name.cbegin(), name.cend(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || name.size() > 32)
        return QStringLiteral("「%1」はアドレス帳にありません。").arg(shown);
    if (m_center.isEmpty())
        return QStringLiteral("番号で送るセンターが決まっていません（queue.ini の SnppCenter=）。");
    if (std::none_of(data.centers.cbegin(), data.centers.cend(),
                     [&](const MessageCenter &c) { return c.name == m_center; }))
        return QStringLiteral("SnppCenter= のセンター「%1」がアドレス帳にありません。").arg(m_center);
    return SnppPager{sendqueue::newId(), {{}, shown, m_center, false}};
}

bool SnppIntake::login(const QByteArray &user, const QByteArray &password)
{
    QString problem;
    const std::optional<QByteArray> users = snppusers::read(m_folder + QLatin1String(snppusers::FileName), &problem);
    return users && snppusers::check(*users, text(user), password);
}

QString SnppIntake::send(const SnppBatch &batch)
{
    QList<QueuedMessage> messages;
    const QString message = text(batch.text);
    for (const SnppPager &p : batch.pagers) {
        QueuedMessage m = m_defaults;
        m.severity = batch.severity;
        m.notBefore = batch.notBefore;
        auto queued = messageToQueue(m_folder, p.target, message, m_access, m);
        if (const auto *refusal = std::get_if<Outcome>(&queued))
            return QStringLiteral("%1: %2").arg(p.target.to.isEmpty() ? p.target.number : p.target.to,
                                                refusal->message);
        std::get<QueuedMessage>(queued).id = p.id;
        messages.append(std::get<QueuedMessage>(queued));
    }
    return queueBatch(m_folder, messages);
}

QString queueBatch(const QString &folder, QList<QueuedMessage> batch)
{
    // Each written whole and renamed in; one that cannot be written takes the others
    // back out, so that the client, told to try again, pages nobody twice.
    for (qsizetype i = 0; i < batch.size(); ++i) {
        if (const sendqueue::Result added = sendqueue::addAs(folder, batch[i]); !added.ok()) {
            for (qsizetype j = 0; j < i; ++j)
                sendqueue::drop(folder, batch[j].id);
            return added.text;
        }
    }
    return {};
}
