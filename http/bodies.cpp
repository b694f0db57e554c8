#include "http/bodies.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace httpbody
{
namespace
{

// The body as a JSON object, or why it is none.
std::variant<QJsonObject, QString> object(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("JSON として読めません（%1 バイト目: %2）。").arg(error.offset).arg(error.errorString());
    if (!doc.isObject())
        return QStringLiteral("JSON のオブジェクトを送ってください。");
    return doc.object();
}

// A member that must be a string when it is there.
std::optional<QString> stringField(const QJsonObject &o, const QString &key, QString *problem)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return QString();
    if (!v.isString()) {
        *problem = QStringLiteral("「%1」は文字列で指定してください。").arg(key);
        return std::nullopt;
    }
    return v.toString();
}

QString text(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? v.toString() : QString();
}

} // namespace

std::variant<IntakeMessage, QString> message(const QByteArray &body)
{
    auto parsed = object(body);
    if (auto *problem = std::get_if<QString>(&parsed))
        return *problem;
    const QJsonObject o = std::get<QJsonObject>(parsed);
    QString problem;
    IntakeMessage m;
    const auto to = stringField(o, QStringLiteral("to"), &problem);
    const auto number = stringField(o, QStringLiteral("number"), &problem);
    const auto center = stringField(o, QStringLiteral("center"), &problem);
    const auto textField = stringField(o, QStringLiteral("text"), &problem);
    const auto severity = stringField(o, QStringLiteral("severity"), &problem);
    if (!problem.isEmpty())
        return problem;
    const QJsonValue optimize = o.value(QStringLiteral("optimize"));
    if (!optimize.isUndefined() && !optimize.isNull() && !optimize.isBool())
        return QStringLiteral("「optimize」は true か false で指定してください。");
    m.target.to = *to;
    m.target.number = *number;
    m.target.center = *center;
    m.text = *textField;
    m.severity = *severity;
    m.target.optimize = optimize.toBool(false);
    if (const std::optional<Refused> why = m.target.problem())
        return refusalText({*why, {}, {}});
    if (!o.value(QStringLiteral("text")).isString())
        return QStringLiteral("「text」にメッセージを指定してください。");
    return m;
}

namespace
{

// The page of a notification from its top-level fields, its first alert (empty when not
// read) and the count of alerts firing.
IntakeMessage alertPage(const QJsonObject &o, const QJsonObject &first, int firing, const QString &name,
                        const QString &pageTemplate)
{
    const QJsonObject commonLabels = o.value(QStringLiteral("commonLabels")).toObject();
    const QJsonObject commonAnnotations = o.value(QStringLiteral("commonAnnotations")).toObject();
    const QJsonObject firstLabels = first.value(QStringLiteral("labels")).toObject();
    const QJsonObject firstAnnotations = first.value(QStringLiteral("annotations")).toObject();
    auto label = [&](const QString &key) {
        const QString common = text(commonLabels, key);
        return common.isEmpty() ? text(firstLabels, key) : common;
    };
    auto annotation = [&](const QString &key) {
        const QString common = text(commonAnnotations, key);
        return common.isEmpty() ? text(firstAnnotations, key) : common;
    };
    const bool resolved = text(o, QStringLiteral("status")) == QLatin1String("resolved");
    const QString status = resolved ? QStringLiteral("RESOLVED") : QStringLiteral("FIRING");
    QString summary = annotation(QStringLiteral("summary"));
    if (summary.isEmpty())
        summary = annotation(QStringLiteral("description"));

    // One pass over the template, so that a field's own text is never read as a field.
    static const QRegularExpression field(QStringLiteral("\\{(title|status|count|alertname|summary|"
                                                         "label:[^{}]*|annotation:[^{}]*)\\}"));
    const QString pattern = pageTemplate.isEmpty() ? QString::fromLatin1(DefaultAlertTemplate) : pageTemplate;
    QString page;
    qsizetype at = 0;
    for (auto it = field.globalMatch(pattern); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        page += pattern.mid(at, match.capturedStart() - at);
        at = match.capturedEnd();
        const QString key = match.captured(1);
        if (key == QLatin1String("title"))
            page += resolved ? QStringLiteral("[RESOLVED]") : QStringLiteral("[FIRING:%1]").arg(firing);
        else if (key == QLatin1String("status"))
            page += status;
        else if (key == QLatin1String("count"))
            page += QString::number(firing);
        else if (key == QLatin1String("alertname"))
            page += label(QStringLiteral("alertname"));
        else if (key == QLatin1String("summary"))
            page += summary;
        else if (key.startsWith(QLatin1String("label:")))
            page += label(key.mid(6));
        else
            page += annotation(key.mid(11));
    }
    page += pattern.mid(at);
    static const QRegularExpression spaces(QStringLiteral("  +"));
    page.replace(spaces, QStringLiteral(" "));

    IntakeMessage m;
    m.target.to = name;
    m.text = page.trimmed();
    m.target.optimize = true;
    m.fit = true;
    m.severity = label(QStringLiteral("severity"));
    m.group = text(o, QStringLiteral("groupKey"));
    m.resolved = resolved;
    return m;
}

// Where an alert that fires begins: the sender writes an alert's state first, and the
// notification's own state after its receiver.
const QByteArray FiringAlert = R"({"status":"firing")";

int truncatedAlerts(const QJsonObject &o)
{
    return qMax(0, o.value(QStringLiteral("truncatedAlerts")).toInt());
}

} // namespace

std::variant<IntakeMessage, QString, NoAlerts> alert(const QByteArray &body, const QString &name,
                                                     const QString &pageTemplate)
{
    auto parsed = object(body);
    if (auto *problem = std::get_if<QString>(&parsed))
        return *problem;
    const QJsonObject o = std::get<QJsonObject>(parsed);
    if (!o.value(QStringLiteral("alerts")).isArray())
        return QStringLiteral("Alertmanager の通知（alerts のあるオブジェクト）ではありません。");
    const QJsonArray alerts = o.value(QStringLiteral("alerts")).toArray();
    if (alerts.isEmpty() && truncatedAlerts(o) == 0)
        return NoAlerts{};
    int firing = truncatedAlerts(o);
    for (const QJsonValue &a : alerts) {
        if (text(a.toObject(), QStringLiteral("status")) == QLatin1String("firing"))
            ++firing;
    }
    return alertPage(o, alerts.isEmpty() ? QJsonObject() : alerts.first().toObject(), firing, name, pageTemplate);
}

void Overflow::add(const QByteArray &kept, const char *data, qsizetype size)
{
    if (bytes == 0)
        tail = kept.right(TailBytes);
    // An alert's beginning split between two pieces is counted with the second.
    const qsizetype from = qMax<qsizetype>(0, tail.size() - FiringAlert.size() + 1);
    tail.append(data, size);
    bytes += size;
    firing += int(tail.mid(from).count(FiringAlert));
    if (tail.size() > 2 * TailBytes)
        tail = tail.right(TailBytes);
}

std::variant<IntakeMessage, QString, NoAlerts> alertSummary(const QByteArray &start, const Overflow &rest,
                                                            const QString &name, const QString &pageTemplate)
{
    // The group's fields follow the alerts: the last of them whose object can be read.
    QJsonObject o;
    const QByteArray end = rest.tail.trimmed();
    for (qsizetype at = end.lastIndexOf(R"(,"groupLabels":)"); at >= 0 && o.isEmpty();
         at = at > 0 ? end.lastIndexOf(R"(,"groupLabels":)", at - 1) : -1)
        o = QJsonDocument::fromJson('{' + end.mid(at + 1)).object();
    // The notification's state comes before its alerts.
    const QByteArray head = start.left(start.indexOf(R"("alerts":)"));
    o[QStringLiteral("status")] =
        head.contains(R"("status":"resolved")") ? QStringLiteral("resolved") : QStringLiteral("firing");
    const int firing = int(start.count(FiringAlert)) + rest.firing + truncatedAlerts(o);
    return alertPage(o, {}, firing, name, pageTemplate);
}

QString refusalText(const IntakeRefusal &r, bool namedInPath)
{
    const QString optimize =
        r.optimized ? QString() : QStringLiteral("「optimize」: true で、センターの種類に合わせて文字を置き換えます。");
    switch (r.why) {
    case Refused::NoRecipient:
        return QStringLiteral("「to」（アドレス帳の名前）か「number」（番号）の、どちらか一方を指定してください。");
    case Refused::NumberWithoutCenter:
        return QStringLiteral("「number」には「center」でセンターの名前を添えてください。");
    case Refused::BadNumber:
        return QStringLiteral("「number」の") + r.subject;
    case Refused::UnknownRecipient:
        return r.text + (namedInPath
                             ? QStringLiteral("URL の最後の名前を確かめてください。")
                             : QStringLiteral("名前を確かめるか、「number」と「center」で番号を指定してください。"));
    case Refused::NoCenterForRecipient:
        return r.text + (namedInPath ? QString() : QStringLiteral("「center」で指定してください。"));
    case Refused::TooLong:
    case Refused::Unsendable:
        return r.text + optimize;
    case Refused::None:
    case Refused::NoLineForCenter:
    case Refused::DeviceKind:
    case Refused::NoSettings:
    case Refused::QueueFull:
    case Refused::Other:
        return r.text;
    }
    return r.text;
}

} // namespace httpbody
