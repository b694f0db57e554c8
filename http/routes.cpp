#include "http/routes.h"

#include "http/bodies.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <iterator>
#include <limits>

namespace
{

const QByteArray MessagesPath = "/v1/messages";
const QByteArray PagesPath = "/v1/pages/";
const QByteArray AckTail = "/ack";
const QByteArray AlertPrefix = "/v1/alertmanager/";
// Seconds a client is asked to wait when the queue is full (MaxQueued=).
constexpr int QueueFullRetryS = 30;
const QByteArray HeartbeatPrefix = "/v1/heartbeat/";

HttpAnswer json(int status, const QJsonObject &o)
{
    HttpAnswer a;
    a.status = status;
    a.body = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    return a;
}

HttpAnswer error(int status, const QString &text)
{
    return json(status, {{QStringLiteral("error"), text}});
}

// Not now (the data folder locked by another program for a moment, the disk): the
// client is told when to try again.
HttpAnswer unavailable(const QString &text, int retryS = 5)
{
    HttpAnswer a = error(503, text);
    a.headers.append(qMakePair(QByteArray("Retry-After"), QByteArray::number(retryS)));
    return a;
}

enum class Route { None, Messages, Message, Page, PageAck, Alert, Heartbeat, Metrics, Health };

Route routeOf(const QByteArray &path)
{
    if (path == MessagesPath)
        return Route::Messages;
    if (path.startsWith(MessagesPath + '/') && path.size() > MessagesPath.size() + 1)
        return Route::Message;
    if (path.startsWith(AlertPrefix) && path.size() > AlertPrefix.size())
        return Route::Alert;
    if (path.startsWith(HeartbeatPrefix) && path.size() > HeartbeatPrefix.size())
        return Route::Heartbeat;
    if (path.startsWith(PagesPath) && path.endsWith(AckTail) && path.size() > PagesPath.size() + AckTail.size())
        return Route::PageAck;
    if (path.startsWith(PagesPath) && path.size() > PagesPath.size() && !path.mid(PagesPath.size()).contains('/'))
        return Route::Page;
    if (path == "/metrics")
        return Route::Metrics;
    if (path == "/healthz")
        return Route::Health;
    return Route::None;
}

bool isPost(Route r)
{
    return r == Route::Messages || r == Route::Alert || r == Route::PageAck || r == Route::Heartbeat;
}

// application/json, with at most a charset that is UTF-8.
bool isJson(const QByteArray &contentType)
{
    const QList<QByteArray> parts = contentType.split(';');
    if (parts.first().trimmed().toLower() != "application/json")
        return false;
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QByteArray p = parts[i].trimmed().toLower();
        if (p.isEmpty())
            continue;
        if (p != "charset=utf-8" && p != "charset=\"utf-8\"")
            return false;
    }
    return true;
}

// A piece of the path, which the server library has percent-decoded already.
QString pathText(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes);
}

QByteArray labelValue(const QString &text)
{
    QByteArray out;
    for (char c : text.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

Routes::Routes(Intake &intake, QByteArray token, QString alertTemplate)
    : m_intake(intake), m_token(std::move(token)), m_alertTemplate(std::move(alertTemplate))
{
}

bool Routes::authorized(const QByteArray &header, const QByteArray &token)
{
    const QByteArray scheme = header.left(7);
    if (token.isEmpty() || scheme.toLower() != "bearer ")
        return false;
    const QByteArray given = header.mid(7).trimmed();
    unsigned diff = given.size() != token.size() ? 1 : 0;
    for (qsizetype i = 0; i < token.size(); ++i)
        diff |= uchar(token[i]) ^ uchar(i < given.size() ? given[i] : 0);
    return diff == 0;
}

bool Routes::needsToken(const QByteArray &path)
{
    return routeOf(path) != Route::Health;
}

HttpAnswer Routes::ambiguousLength()
{
    return error(400, QStringLiteral("Content-Length と Transfer-Encoding は、どちらか一方を一度だけ送ってください。"));
}

bool Routes::keepsOverflow(const QByteArray &path)
{
    return routeOf(path) == Route::Alert;
}

std::optional<HttpAnswer> Routes::before(const HttpRequest &r, qint64 declaredLength, qint64 bodyLimit) const
{
    const Route route = routeOf(r.path);
    if (route != Route::Health && !authorized(r.authorization, m_token)) {
        HttpAnswer a = error(401, QStringLiteral("Authorization: Bearer でトークンを添えてください。"));
        a.headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Bearer")));
        return a;
    }
    if (route == Route::None)
        return error(404, QStringLiteral("そのようなパスはありません。"));
    const QByteArray method = isPost(route) ? "POST" : "GET";
    if (r.method != method && !(method == "GET" && r.method == "HEAD")) {
        HttpAnswer a = error(405, QStringLiteral("このパスには %1 を使ってください。").arg(QLatin1String(method)));
        a.headers.append(qMakePair(QByteArray("Allow"), method == "GET" ? QByteArray("GET, HEAD") : method));
        return a;
    }
    if (!isPost(route) || route == Route::PageAck) // an acknowledgement needs no body
        return std::nullopt;
    // A beat takes any body of any type: a webhook's as it comes.
    if (route != Route::Heartbeat && !isJson(r.contentType))
        return error(415, QStringLiteral("本文は Content-Type: application/json（UTF-8）で送ってください。"));
    if (declaredLength > bodyLimit && route != Route::Alert)
        return error(413, QStringLiteral("本文が長すぎます（%1 バイトまで）。").arg(bodyLimit));
    return std::nullopt;
}

HttpAnswer Routes::answer(const HttpRequest &r) const
{
    if (auto early = before(r, r.body.size(), std::numeric_limits<qint64>::max()))
        return *early;
    switch (routeOf(r.path)) {
    case Route::Messages:
    case Route::Alert: {
        const bool alert = routeOf(r.path) == Route::Alert;
        using Read = std::variant<IntakeMessage, QString, httpbody::NoAlerts>;
        const QString name = pathText(r.path.mid(AlertPrefix.size()));
        const Read read = !alert         ? std::visit([](auto &&v) -> Read { return v; }, httpbody::message(r.body))
                          : r.rest.bytes ? httpbody::alertSummary(r.body, r.rest, name, m_alertTemplate)
                                         : httpbody::alert(r.body, name, m_alertTemplate);
        if (auto *problem = std::get_if<QString>(&read))
            return error(400, *problem);
        if (std::holds_alternative<httpbody::NoAlerts>(read)) // answered, so that it is not sent again
            return json(200, {{QStringLiteral("messages"), QJsonArray()}});
        const IntakeAnswer added = m_intake.add(std::get<IntakeMessage>(read));
        if (added.kind == IntakeAnswer::Queued && added.repeat)
            return json(202, {{QStringLiteral("id"), added.id},
                              {QStringLiteral("duplicate"), true},
                              {QStringLiteral("messages"), QJsonArray::fromStringList(added.messages)}});
        if (added.kind == IntakeAnswer::Queued)
            return json(202, {{QStringLiteral("id"), added.id},
                              {QStringLiteral("messages"), QJsonArray::fromStringList(added.messages)}});
        if (added.kind == IntakeAnswer::Refused)
            return error(400, httpbody::refusalText(added.refusal, alert));
        return unavailable(added.reason, added.refusal.why == Refused::QueueFull ? QueueFullRetryS : 5);
    }
    case Route::Message: {
        const QString id = pathText(r.path.mid(MessagesPath.size() + 1));
        const IntakeStatus s = m_intake.status(id);
        static const char *const words[] = {"", "waiting", "sending", "sent", "failed"};
        if (s.state == IntakeStatus::Unknown)
            return error(404, QStringLiteral("%1 というメッセージは知りません。").arg(id));
        QJsonObject o{{QStringLiteral("id"), id}, {QStringLiteral("state"), QLatin1String(words[s.state])}};
        if (s.state == IntakeStatus::Sending)
            o[QStringLiteral("line")] = s.line;
        if (s.state == IntakeStatus::Failed)
            o[QStringLiteral("reason")] = s.reason;
        return json(200, o);
    }
    case Route::Page:
    case Route::PageAck: {
        const bool ack = routeOf(r.path) == Route::PageAck;
        const QString id =
            pathText(r.path.mid(PagesPath.size(), r.path.size() - PagesPath.size() - (ack ? AckTail.size() : 0)));
        QString problem;
        const IntakePage p = ack ? m_intake.acknowledge(id, &problem) : m_intake.page(id);
        if (!problem.isEmpty())
            return unavailable(problem);
        if (!p.found)
            return error(404, QStringLiteral("%1 というページは知りません。").arg(id));
        return json(200, {{QStringLiteral("id"), p.id},
                          {QStringLiteral("escalation"), p.escalation},
                          {QStringLiteral("state"), p.state},
                          {QStringLiteral("step"), p.step},
                          {QStringLiteral("steps"), p.steps},
                          {QStringLiteral("people"), QJsonArray::fromStringList(p.people)},
                          {QStringLiteral("by"), p.by}});
    }
    case Route::Heartbeat: {
        const QString name = pathText(r.path.mid(HeartbeatPrefix.size()));
        const IntakeBeat beat = m_intake.heartbeat(name);
        if (beat.kind == IntakeBeat::Unknown)
            return error(404,
                         QStringLiteral("「%1」というハートビートは oncall.ini にありません。").arg(name.left(80)));
        if (beat.kind == IntakeBeat::NotStored)
            return error(503, beat.reason);
        return json(200, {{QStringLiteral("heartbeat"), name}});
    }
    case Route::Metrics: {
        HttpAnswer a;
        a.contentType = "text/plain; version=0.0.4; charset=utf-8";
        a.body = metricsText(m_intake.metrics());
        return a;
    }
    case Route::Health: {
        const bool up = m_intake.healthy();
        QJsonObject o{{QStringLiteral("status"), up ? QStringLiteral("ok") : QStringLiteral("down")}};
        if (const QStringList warnings = m_intake.warnings(); !warnings.isEmpty())
            o.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(warnings));
        return json(up ? 200 : 503, o);
    }
    case Route::None:
        break;
    }
    return error(404, QStringLiteral("そのようなパスはありません。"));
}

QByteArray Routes::metricsText(const IntakeMetrics &m)
{
    QByteArray out;
    auto head = [&](const char *name, const char *type, const char *help) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    };
    head("fumidori_queue_messages", "gauge", "Messages in the queue by state.");
    out += "fumidori_queue_messages{state=\"waiting\"} " + QByteArray::number(m.waiting) + '\n';
    out += "fumidori_queue_messages{state=\"sending\"} " + QByteArray::number(m.sending) + '\n';
    out += "fumidori_queue_messages{state=\"failed\"} " + QByteArray::number(m.failed) + '\n';
    head("fumidori_messages_sent_total", "counter", "Messages sent since the runner started.");
    out += "fumidori_messages_sent_total " + QByteArray::number(m.sentTotal) + '\n';
    head("fumidori_messages_failed_total", "counter", "Messages given up since the runner started.");
    out += "fumidori_messages_failed_total " + QByteArray::number(m.failedTotal) + '\n';
    head("fumidori_pages_suppressed_total", "counter", "Pages not sent, by reason.");
    out += "fumidori_pages_suppressed_total{reason=\"duplicate\"} " + QByteArray::number(m.suppressedDuplicates) + '\n';
    head("fumidori_line_calls_total", "counter", "Calls by line and outcome since the runner started.");
    for (const IntakeMetrics::Line &line : m.lines) {
        for (const char *outcome : {"sent", "failed", "refused", "busy"})
            out += "fumidori_line_calls_total{line=\"" + labelValue(line.name) + "\",outcome=\"" + outcome + "\"} " +
                   QByteArray::number(line.calls.value(QLatin1String(outcome))) + '\n';
    }
    head("fumidori_line_up", "gauge", "Whether the line is in service (1) or down (0).");
    for (const IntakeMetrics::Line &line : m.lines)
        out += "fumidori_line_up{line=\"" + labelValue(line.name) + "\"} " + (line.up ? "1" : "0") + '\n';
    // The lines checked when idle alone: a site without checks sees no such series.
    QList<IntakeMetrics::Line> checked;
    std::copy_if(m.lines.cbegin(), m.lines.cend(), std::back_inserter(checked),
                 [](const IntakeMetrics::Line &line) { return line.checked; });
    if (!checked.isEmpty()) {
        head("fumidori_line_checks_total", "counter",
             "Checks of idle lines by line and outcome since the runner started.");
        for (const IntakeMetrics::Line &line : checked)
            for (const auto &[outcome, n] : {std::pair{"ok", line.checksOk}, std::pair{"failed", line.checksFailed}})
                out += "fumidori_line_checks_total{line=\"" + labelValue(line.name) + "\",outcome=\"" + outcome +
                       "\"} " + QByteArray::number(n) + '\n';
        head("fumidori_line_last_check_seconds", "gauge", "Unix time of the line's last check, 0 before the first.");
        for (const IntakeMetrics::Line &line : checked)
            out += "fumidori_line_last_check_seconds{line=\"" + labelValue(line.name) + "\"} " +
                   QByteArray::number(line.lastCheckMs / 1000.0, 'f', 3) + '\n';
    }
    head("fumidori_pages_total", "counter", "Pages to escalations that ended, by outcome.");
    for (const char *outcome : {"acknowledged", "resolved", "exhausted"})
        out += "fumidori_pages_total{outcome=\"" + QByteArray(outcome) + "\"} " +
               QByteArray::number(m.pages.value(QLatin1String(outcome))) + '\n';
    head("fumidori_escalation_steps_total", "counter", "Steps of escalations queued.");
    out += "fumidori_escalation_steps_total " + QByteArray::number(m.escalationSteps) + '\n';
    head("fumidori_queue_oldest_waiting_seconds", "gauge", "Age of the oldest waiting message, 0 when none waits.");
    out += "fumidori_queue_oldest_waiting_seconds " + QByteArray::number(m.oldestWaitingSeconds, 'f', 3) + '\n';
    head("fumidori_heartbeat_age_seconds", "gauge", "Seconds since the heartbeat's last beat.");
    for (const auto &[name, age] : m.heartbeatAges)
        out += "fumidori_heartbeat_age_seconds{name=\"" + labelValue(name) + "\"} " + QByteArray::number(age, 'f', 3) +
               '\n';
    return out;
}
