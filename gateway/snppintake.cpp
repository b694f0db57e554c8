#include "gateway/snppintake.h"

#include "encoding/cp932.h"
#include "gateway/oncall.h"
#include "gateway/pages.h"
#include "gateway/queueadd.h"
#include "gateway/snppusers.h"

#include <QDateTime>
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

QString SnppIntake::refusalText(const IntakeRefusal &r)
{
    switch (r.why) {
    case Refused::NoRecipient:
    case Refused::UnknownRecipient:
        return r.text + QStringLiteral("PAGE にはアドレス帳の名前か番号を指定してください。");
    case Refused::NumberWithoutCenter:
        return QStringLiteral("番号で送るセンターが決まっていません（queue.ini の SnppCenter=）。");
    case Refused::BadNumber:
        return QStringLiteral("番号の") + r.subject;
    case Refused::TooLong:
        return r.text + QStringLiteral("文を短くしてください。");
    case Refused::Unsendable:
        return r.text + QStringLiteral("その文字を除いてください。");
    case Refused::None:
    case Refused::NoCenterForRecipient:
    case Refused::NoLineForCenter:
    case Refused::NoSettings:
    case Refused::DeviceKind:
    case Refused::QueueFull:
    case Refused::Other:
        return r.text;
    }
    return r.text;
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
    if (!digits) { // a group or a rota of oncall.ini: expanded into its people when SEND adds the batch
        const OnCall oncall = OnCall::load(m_folder, data);
        const OnCall::Kind kind = oncall.ok() ? oncall.kindOf(shown) : OnCall::Kind::Unknown;
        if (kind == OnCall::Kind::Group || kind == OnCall::Kind::Rota || kind == OnCall::Kind::Escalation)
            return SnppPager{sendqueue::newId(), {shown, {}, {}, false}, kind == OnCall::Kind::Escalation};
    }
    if (!digits || name.size() > 32)
        return QStringLiteral("「%1」はアドレス帳にありません。").arg(shown);
    if (m_center.isEmpty())
        return refusalText({Refused::NumberWithoutCenter, {}, {}});
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
    QList<BatchMessage> messages;
    QList<SnppPager> escalations;
    const QString message = text(batch.text);
    for (const SnppPager &p : batch.pagers) {
        if (p.escalation) {
            escalations << p;
            continue;
        }
        BatchMessage m{p.target, message};
        m.id = p.id; // the id PAGE told the client
        messages << m;
    }
    // An escalation's steps follow the runner's clock from now: a later start is not theirs.
    if (!escalations.isEmpty() && batch.notBefore > QDateTime::currentMSecsSinceEpoch())
        return QStringLiteral("%1: エスカレーションは HOLD で遅らせられません。").arg(escalations.first().target.to);
    QueuedMessage defaults = m_defaults;
    defaults.severity = batch.severity;
    defaults.notBefore = batch.notBefore;
    if (!messages.isEmpty()) {
        const BatchResult added = addBatch(m_folder, messages, m_access, defaults);
        if (added.refusal) {
            const Target &t = messages.value(added.refusal->index).target;
            return QStringLiteral("%1: %2").arg(t.to.isEmpty() ? t.number : t.to,
                                                refusalText(added.refusal->outcome.refusal));
        }
        if (!added.notStored.isEmpty())
            return added.notStored;
    }
    // Each escalation started as "queue add --to" starts it, under the id PAGE told.
    for (const SnppPager &p : std::as_const(escalations)) {
        AppData data;
        if (const std::optional<Outcome> problem = loadFolder(m_folder, data))
            return problem->message;
        const OnCall oncall = OnCall::load(m_folder, data);
        const auto started =
            pages::start(m_folder, oncall, p.target.to, message, batch.severity, QDateTime::currentSecsSinceEpoch(),
                         pages::stepQueuer(m_folder, m_access, defaults, oncall.ackSuffix()), {}, p.id);
        if (const auto *problem = std::get_if<QString>(&started))
            return QStringLiteral("%1: %2").arg(p.target.to, *problem) +
                   (p.id == escalations.first().id && messages.isEmpty()
                        ? QString()
                        : QStringLiteral("（その前の宛先は受け付けました）"));
    }
    return {};
}
