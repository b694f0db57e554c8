// The HTTP listener through a real socket on loopback, with its plugin and the queue
// intake of fumidori-send over a real data folder: each route's answers, word for word,
// with the queue's files after each; Alertmanager's notifications as pages; the state of
// a message; the metrics; and the limits that keep a bad client from holding the
// listener.
#include "support/filehelpers.h"
#include "support/httpclient.h"
#include "support/sendrig.h"
#include "support/table.h"

#include "gateway/heartbeat.h"
#include "gateway/pages.h"
#include "gateway/queueintake.h"
#include "store/plugins.h"
#include "store/sendqueue.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>

using httpclient::Reply;

namespace
{

const QByteArray Token = "s3cret-t0ken";
using Headers = QList<QPair<QByteArray, QByteArray>>;

Headers withToken(const QByteArray &contentType = "application/json",
                  const QByteArray &authorization = "Bearer " + Token)
{
    Headers h{{"Authorization", authorization}};
    if (!contentType.isEmpty())
        h.append({"Content-Type", contentType});
    return h;
}

QByteArray post(const QByteArray &path, const QByteArray &body, const Headers &headers = withToken())
{
    return httpclient::request("POST", path, headers, body);
}

QByteArray get(const QByteArray &path, const Headers &headers = withToken({}))
{
    return httpclient::request("GET", path, headers);
}

QString utf8(const char *text)
{
    return QString::fromUtf8(text);
}

// An Alertmanager notification (payload version 4) around the given alerts, its fields in
// the order Alertmanager writes them.
QByteArray notification(const QByteArray &status, const QByteArray &commonLabels, const QByteArray &commonAnnotations,
                        const QByteArray &alerts, int truncated = 0)
{
    return R"({"receiver":"pager","status":")" + status + R"(","alerts":)" + alerts +
           R"(,"groupLabels":{},"commonLabels":)" + commonLabels + R"(,"commonAnnotations":)" + commonAnnotations +
           R"(,"externalURL":"http://am.example:9093","version":"4","groupKey":"{}:{}","truncatedAlerts":)" +
           QByteArray::number(truncated) + "}";
}

QByteArray firingAlert(const QByteArray &labels, const QByteArray &annotations, const QByteArray &status = "firing")
{
    return R"({"status":")" + status + R"(","labels":)" + labels + R"(,"annotations":)" + annotations +
           R"(,"startsAt":"2026-12-07T06:00:00Z","endsAt":"0001-01-01T00:00:00Z","fingerprint":"f"})";
}

} // namespace

// where: queue, work, failed, sent, gone
using MessageState = table::Of<QString, QString>;

// status: 0: closed without an answer
using Limits = table::Of<QByteArray, int>;

// request: what each connection of the crowd sends; first: its first client (1: the
// posting client's own address); clients, connections: how many, of each
using Crowd = table::Of<QByteArray, int, int, int>;

// request: sent a piece at a time, one each pace; steps: at most before the listener
// closes the connection (today's figures are about twice as many)
using Deadlines = table::Of<QList<QByteArray>, int, int>;

// contents: empty with mode 0: none, made at the start
using TokenFile = table::Of<QByteArray, int, QString>;

// answer: %ID% and %ID2% stand for the ids of the messages queued
using Routes = table::Of<QByteArray, int, QString, QStringList>;

// pageTemplate: empty: the default
using AlertPages = table::Of<QByteArray, QString, QString>;

class tst_Http : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_folder = makeSendFolder(m_dir.emplace(), 3, 40);
        QVERIFY(!m_folder.isEmpty());
        QVERIFY(writeFileBytes(m_folder + QStringLiteral("oncall.ini"), "[Group pair]\nMembers=R2, R0, R2\n"
                                                                        "[Escalation up]\nStep1=R0\nStep2=10m R1\n"
                                                                        "[Heartbeat 見張り]\nPage=up\n"));
        m_intake = std::make_unique<QueueIntake>(m_folder, QStringList{"COM1", "sip"}, DeviceAccess{}, QueuedMessage{});
        m_intake->setInService(true);
        QStringList problems;
        m_listener = qobject_cast<Listener *>(loadPlugin(QStringLiteral("fumidori-http.so"), &problems));
        QVERIFY2(m_listener, qPrintable(problems.join(u'\n')));
        // A connection's 60 s: the crowd's checks tell the connections room is made for
        // from those the listener's own time cuts.
        QVERIFY(listen({}, 60));
    }
    void cleanup()
    {
        if (m_listener)
            m_listener->stop();
        m_intake.reset();
    }
    void routes_data()
    {
        const Routes row;
        const auto accepted = [&](const char *tag, const QByteArray &request, const char *queued) {
            row(tag, request, 202, QStringLiteral(R"({"id":"%ID%","messages":["%ID%"]})"), {utf8(queued)});
        };
        const auto refused = [&](const char *tag, const QByteArray &request, int status, const char *error) {
            row(tag, request, status, QString::fromUtf8(QByteArray(R"({"error":")") + error + "\"}"), {});
        };
        const QByteArray messages = "/v1/messages", ok = R"({"to":"R0","text":"A"})";
        accepted("to a name", post(messages, R"({"to":"R0","text":"ABC"})"), "ABC");
        accepted("to a number", post(messages, R"({"number":"0312345678","center":"C","text":"あいう"})"), "あいう");
        accepted("charset is welcome",
                 post(messages, R"({"to":"R1","text":"A"})", withToken("application/json; charset=UTF-8")), "A");
        accepted("optimised as asked", post(messages, R"({"to":"R0","text":"abc","optimize":true})"), "abc");
        accepted("with a severity", post(messages, R"({"to":"R0","text":"B","severity":"warning"})"), "B");
        const auto bad = [&](const char *tag, const QByteArray &body, const char *error) {
            refused(tag, post(messages, body), 400, error);
        };
        bad("a severity not a string", R"({"to":"R0","text":"A","severity":2})",
            "「severity」は文字列で指定してください。");
        bad("unknown name", R"({"to":"X","text":"A"})",
            "相手先「X」はアドレス帳にありません。名前を確かめるか、「number」と「center」で番号を指定してください。");
        bad("too long", R"({"to":"R0","text":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"})",
            "メッセージが長すぎます: 41 文字（センター「C」は 40 まで）。「optimize」: true "
            "で、センターの種類に合わせて文字を置き換えます。");
        bad("characters without a code", R"({"to":"R0","text":"A😀B€"})",
            "センター「C」へは送れない文字があります: 「😀」(U+1F600)、「€」(U+20AC)。「optimize」: true "
            "で、センターの種類に合わせて文字を置き換えます。");
        bad("empty text", R"({"to":"R0","text":""})", "メッセージが空です。");
        bad("no text", R"({"to":"R0"})", "「text」にメッセージを指定してください。");
        bad("name and number", R"({"to":"R0","number":"1","center":"C","text":"A"})",
            "「to」（アドレス帳の名前）か「number」（番号）の、どちらか一方を指定してください。");
        bad("number without centre", R"({"number":"1","text":"A"})",
            "「number」には「center」でセンターの名前を添えてください。");
        bad("a name that is no string", R"({"to":7,"text":"A"})", "「to」は文字列で指定してください。");
        bad("optimize that is no flag", R"({"to":"R0","text":"A","optimize":"yes"})",
            "「optimize」は true か false で指定してください。");
        bad("malformed JSON", R"({"to":"R0",)", "JSON として読めません（11 バイト目: unterminated object）。");
        bad("JSON that is no object", "[1]", "JSON のオブジェクトを送ってください。");
        bad("not UTF-8", "{\"to\":\"R0\",\"text\":\"\xff\"}",
            "JSON として読めません（19 バイト目: invalid UTF8 string）。");
        const char *notJson = "本文は Content-Type: application/json（UTF-8）で送ってください。";
        refused("form post", post(messages, "to=R0&text=A", withToken("application/x-www-form-urlencoded")), 415,
                notJson);
        refused("plain text", post(messages, ok, withToken("text/plain")), 415, notJson);
        refused("another charset", post(messages, ok, withToken("application/json; charset=shift_jis")), 415, notJson);
        const char *unauthorized = "Authorization: Bearer でトークンを添えてください。";
        refused("no token", post(messages, ok, {{"Content-Type", "application/json"}}), 401, unauthorized);
        const QByteArray json = "application/json";
        refused("wrong token", post(messages, ok, withToken(json, "Bearer s3cret-t0keN")), 401, unauthorized);
        refused("token's start", post(messages, ok, withToken(json, "Bearer s3cret")), 401, unauthorized);
        refused("token as basic", post(messages, ok, withToken(json, "Basic " + Token)), 401, unauthorized);
        refused("metrics need the token", get("/metrics", {}), 401, unauthorized);
        accepted("the scheme in any case",
                 post(messages, R"({"to":"R2","text":"B"})", withToken(json, "bearer " + Token)), "B");
        refused("get on a post route", get(messages), 405, "このパスには POST を使ってください。");
        refused("post on a get route", post("/metrics", "{}"), 405, "このパスには GET を使ってください。");
        refused("no such path", get("/v2/messages"), 404, "そのようなパスはありません。");
        refused("unknown id", get("/v1/messages/20261207T000000000-00000"), 404,
                "20261207T000000000-00000 というメッセージは知りません。");
        refused("a path for an id", get("/v1/messages/..%2F..%2FFumidori.ini"), 404,
                "../../Fumidori.ini というメッセージは知りません。");
        refused("declared too long",
                "POST /v1/messages HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + Token +
                    "\r\nContent-Type: application/json\r\nContent-Length: 10485760\r\n\r\n{",
                413, "本文が長すぎます（65536 バイトまで）。");
        accepted("alert",
                 post("/v1/alertmanager/R0",
                      notification("firing", R"({"alertname":"DiskFull"})", R"({"summary":"ディスクがいっぱい"})",
                                   "[" + firingAlert("{}", "{}") + "]")),
                 "［FIRING：1］ DISKFULL ﾃﾞィｽｸがいっぱい");
        refused(
            "alert for an unknown name",
            post("/v1/alertmanager/Nobody", notification("firing", "{}", "{}", "[" + firingAlert("{}", "{}") + "]")),
            400, "相手先「Nobody」はアドレス帳にありません。URL の最後の名前を確かめてください。");
        row("to a group: each once, one page", post(messages, R"({"to":"pair","text":"G"})"), 202,
            QStringLiteral(R"({"id":"%ID%","messages":["%ID%","%ID2%"]})"), {QStringLiteral("G"), QStringLiteral("G")});
        const QByteArray beat = "/v1/heartbeat/%E8%A6%8B%E5%BC%B5%E3%82%8A";
        const QString heard = utf8(R"({"heartbeat":"見張り"})");
        row("a beat", post(beat, notification("firing", "{}", "{}", "[]")), 200, heard, {});
        row("a beat of any body and type", post(beat, "ok", withToken("text/plain")), 200, heard, {});
        refused("a beat of a name not in oncall.ini", post("/v1/heartbeat/up", ""), 404,
                "「up」というハートビートは oncall.ini にありません。");
        refused("a beat needs the token", post(beat, "", {}), 401, unauthorized);
        refused("a beat by get", get(beat), 405, "このパスには POST を使ってください。");
        refused("alert that is none", post("/v1/alertmanager/R0", R"({"status":"firing"})"), 400,
                "Alertmanager の通知（alerts のあるオブジェクト）ではありません。");
        row("a notification without alerts pages nothing",
            post("/v1/alertmanager/R0", notification("firing", R"({"alertname":"X"})", "{}", "[]")), 200,
            QStringLiteral(R"({"messages":[]})"), {});
        refused("no such path without the token: the token first", get("/v2/messages", {}), 401, unauthorized);
    }
    void routes()
    {
        auto [request, status, answer, queued] = Routes::row();
        const Reply reply = httpclient::exchange(m_port, request);
        QCOMPARE(reply.status, status);
        const QStringList ids = sendqueue::waitingIds(m_folder);
        QCOMPARE(waitingTexts(), queued);
        answer.replace(QStringLiteral("%ID%"), ids.value(0)).replace(QStringLiteral("%ID2%"), ids.value(1));
        QCOMPARE(QString::fromUtf8(reply.body), answer + u'\n');
        QVERIFY(reply.head.contains("Content-Type: application/json"));
        // Nothing half written is left beside the messages.
        QCOMPARE(QDir(sendqueue::queueFolder(m_folder)).entryList(QDir::Files | QDir::Hidden).size(), queued.size());
    }
    // A full queue (MaxQueued=) is not the client's fault: 503 and when to come back.
    void queueFull()
    {
        QVERIFY(QDir().mkpath(sendqueue::queueFolder(m_folder)) &&
                writeFileBytes(sendqueue::queueFolder(m_folder) + "queue.ini", "[Queue]\nMaxQueued=1\n"));
        const QByteArray request = post("/v1/messages", R"({"to":"R0","text":"A"})");
        QCOMPARE(httpclient::exchange(m_port, request).status, 202);
        const Reply full = httpclient::exchange(m_port, post("/v1/messages", R"({"to":"R1","text":"B"})"));
        QCOMPARE(full.status, 503);
        QVERIFY2(full.head.contains("Retry-After: 30\r\n"), full.head.constData());
        QCOMPARE(waitingTexts(), QStringList{"A"});
    }
    void alertPages_data()
    {
        const AlertPages table;
        const auto row = [&](const char *tag, const QByteArray &payload, const char *page,
                             const QString &pageTemplate = {}) { table(tag, payload, pageTemplate, utf8(page)); };
        const QByteArray one = "[" + firingAlert("{}", "{}") + "]";
        // One alert firing, the group's labels and annotations given.
        const auto firing = [&](const QByteArray &labels, const QByteArray &annotations) {
            return notification("firing", labels, annotations, one);
        };
        row("common labels and annotations",
            notification("firing", R"({"alertname":"Down","job":"node"})", R"({"summary":"WEB1 DOWN"})",
                         "[" + firingAlert("{}", "{}") + "," + firingAlert("{}", "{}") + "]"),
            "［FIRING：2］ DOWN WEB1 DOWN");
        row("description when no summary", firing(R"({"alertname":"Down"})", R"({"description":"GONE"})"),
            "［FIRING：1］ DOWN GONE");
        row("the first alert when nothing is common",
            notification("firing", "{}", "{}",
                         "[" + firingAlert(R"({"alertname":"A1"})", R"({"summary":"S1"})") + "," +
                             firingAlert(R"({"alertname":"A2"})", R"({"summary":"S2"})") + "]"),
            "［FIRING：2］ A1 S1");
        row("resolved",
            notification("resolved", R"({"alertname":"Down"})", R"({"summary":"OK"})",
                         "[" + firingAlert("{}", "{}", "resolved") + "]"),
            "［RESOLVED］ DOWN OK");
        row("some still firing",
            notification("firing", R"({"alertname":"Down"})", "{}",
                         "[" + firingAlert("{}", "{}", "resolved") + "," + firingAlert("{}", "{}") + "]"),
            "［FIRING：1］ DOWN");
        row("a template", firing(R"({"alertname":"Down","instance":"web1"})", R"({"runbook":"R7"})"),
            "FIRING 1 WEB1 R7 ｛NOTHING｝", "{status} {count} {label:instance} {annotation:runbook} {nothing}");
        row("a field's text is not read as a field", firing(R"({"alertname":"{summary}"})", R"({"summary":"X"})"),
            "［FIRING：1］ ｛SUMMARY｝ X");
        row("Japanese kept, characters without a code dropped",
            firing(R"({"alertname":"Disk"})", R"({"summary":"残り😀わずか"})"), "［FIRING：1］ DISK 残りわずか");
        row("compatible forms, line breaks as spaces", firing(R"({"alertname":"Disk"})", R"({"summary":"①号機\n㈱"})"),
            "［FIRING：1］ DISK 1号機 (株)");
        row("cut to the centre's limit with a mark",
            firing(R"({"alertname":"Disk"})", R"({"summary":"0123456789012345678901234567890123456789"})"),
            "［FIRING：1］ DISK 01234567890123456789012…");
        // A storm: never refused for its size (Alertmanager drops a 4xx for good).
        const auto storm = [](int alerts, int truncated = 0, int padding = 250) { // about 420 bytes an alert
            QByteArray list;
            for (int i = 0; i < alerts; ++i)
                list += (i ? "," : "") +
                        firingAlert(R"({"alertname":"DiskFull","instance":"web)" + QByteArray::number(i) + R"("})",
                                    R"({"runbook":")" + QByteArray(padding, 'r') + R"("})");
            return notification("firing", R"({"alertname":"DiskFull"})", R"({"summary":"満杯"})", "[" + list + "]",
                                truncated);
        };
        row("110 alerts", storm(110), "［FIRING：110］ DISKFULL 満杯");
        row("300 alerts", storm(300), "［FIRING：300］ DISKFULL 満杯");
        row("3,000 alerts", storm(3000), "［FIRING：3000］ DISKFULL 満杯");
        row("cut by Alertmanager's max_alerts: its count", storm(100, 2900), "［FIRING：3000］ DISKFULL 満杯");
        row("past 4 MiB: a summary from what goes by", storm(4000, 0, 1200), "［FIRING：4000］ DISKFULL 満杯");
    }
    void alertPages()
    {
        const auto [payload, pageTemplate, page] = AlertPages::row();
        if (!pageTemplate.isEmpty()) // a listener of its own for the template
            QVERIFY(listen(pageTemplate, 10));
        const Reply reply = httpclient::exchange(m_port, post("/v1/alertmanager/R0", payload));
        QCOMPARE(reply.status, 202);
        QCOMPARE(waitingTexts(), QStringList{page});
        QString problem;
        const auto stored =
            sendqueue::read(sendqueue::queueFolder(m_folder), sendqueue::waitingIds(m_folder).value(0), &problem);
        QVERIFY(stored);
        QCOMPARE(stored->to, QStringLiteral("R0"));
        QVERIFY(!stored->optimize); // stored as it goes
    }
    void messageState_data()
    {
        const MessageState row;
        row("waiting", "queue", QStringLiteral(R"({"id":"%ID%","state":"waiting"})"));
        row("sending", "work", QStringLiteral(R"({"id":"%ID%","line":"COM1","state":"sending"})"));
        row("failed", "failed", utf8(R"({"id":"%ID%","reason":"回線が切れました","state":"failed"})"));
        row("sent", "sent", QStringLiteral(R"({"id":"%ID%","state":"sent"})"));
    }
    void messageState()
    {
        auto [where, answer] = MessageState::row();
        QueuedMessage m;
        m.to = QStringLiteral("R0");
        m.text = QStringLiteral("A");
        QVERIFY(sendqueue::add(m_folder, m).ok());
        if (where != QLatin1String("queue")) {
            QVERIFY(sendqueue::take(m_folder, m.id).ok());
            m_intake->calling(m.id, QStringLiteral("COM1"));
        }
        if (where == QLatin1String("failed")) {
            QVERIFY(sendqueue::fail(m_folder, m, utf8("回線が切れました"), sendqueue::State::Sending).ok());
        } else if (where == QLatin1String("sent")) {
            sendqueue::finish(m_folder, m.id);
            m_intake->settled(m.id, true, {});
        }
        const Reply reply = httpclient::exchange(m_port, get("/v1/messages/" + m.id.toLatin1()));
        QCOMPARE(reply.status, 200);
        QCOMPARE(QString::fromUtf8(reply.body), answer.replace(QStringLiteral("%ID%"), m.id) + u'\n');
    }
    void metrics()
    {
        // Two waiting (one added 90 s ago), one being sent, one failed; two calls ended.
        QueuedMessage old, fresh, sending, failed;
        for (QueuedMessage *m : {&old, &fresh, &sending, &failed})
            m->to = QStringLiteral("R0"), m->text = QStringLiteral("A");
        old.added = QDateTime::currentMSecsSinceEpoch() - 90 * 1000;
        for (QueuedMessage *m : {&old, &fresh, &sending, &failed})
            QVERIFY(sendqueue::add(m_folder, *m).ok());
        QVERIFY(sendqueue::take(m_folder, sending.id).ok() && sendqueue::take(m_folder, failed.id).ok());
        QVERIFY(sendqueue::fail(m_folder, failed, QStringLiteral("x"), sendqueue::State::Sending).ok());
        m_intake->callEnded(QStringLiteral("a"), {Failure::None}, QStringLiteral("COM1"));
        m_intake->settled(QStringLiteral("a"), true, {});
        m_intake->callEnded(QStringLiteral("b"), {Failure::CallFailed, QStringLiteral("NO CARRIER")}, "COM1");
        m_intake->callEnded(QStringLiteral("b"), {Failure::CallFailed, QStringLiteral("NO CARRIER")}, "COM1");
        m_intake->settled(QStringLiteral("b"), false, QStringLiteral("NO CARRIER"));
        // A repeat of a message posted: the first one's id again, not queued, counted.
        const QByteArray repeat = post("/v1/messages", R"({"to":"R1","text":"DOWN"})");
        const QByteArray first = httpclient::exchange(m_port, repeat).body;
        QCOMPARE(httpclient::exchange(m_port, repeat).body, R"({"duplicate":true,)" + first.mid(1));

        QCOMPARE(heartbeats::beat(m_folder, utf8("見張り"), old.added), QString());
        const Reply reply = httpclient::exchange(m_port, get("/metrics"));
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.head.contains("Content-Type: text/plain; version=0.0.4; charset=utf-8"));
        QStringList lines = QString::fromUtf8(reply.body).split(u'\n');
        // Ages on the clock: 90 s and a little, shown as "~90".
        for (QString &line : lines)
            if (line.startsWith(QLatin1String("fumidori_queue_oldest_waiting_seconds ")) ||
                line.startsWith(QLatin1String("fumidori_heartbeat_age_seconds{"))) {
                const double age = line.section(u' ', -1).toDouble();
                QVERIFY2(age >= 90 && age < 100, qPrintable(line));
                line = line.section(u' ', 0, -2) + QStringLiteral(" ~90");
            }
        QCOMPARE(lines.join(u'\n'), QStringLiteral(R"(# HELP fumidori_queue_messages Messages in the queue by state.
# TYPE fumidori_queue_messages gauge
fumidori_queue_messages{state="waiting"} 3
fumidori_queue_messages{state="sending"} 1
fumidori_queue_messages{state="failed"} 1
# HELP fumidori_messages_sent_total Messages sent since the runner started.
# TYPE fumidori_messages_sent_total counter
fumidori_messages_sent_total 1
# HELP fumidori_messages_failed_total Messages given up since the runner started.
# TYPE fumidori_messages_failed_total counter
fumidori_messages_failed_total 1
# HELP fumidori_pages_suppressed_total Pages not sent, by reason.
# TYPE fumidori_pages_suppressed_total counter
fumidori_pages_suppressed_total{reason="duplicate"} 1
# HELP fumidori_line_calls_total Calls by line and outcome since the runner started.
# TYPE fumidori_line_calls_total counter
fumidori_line_calls_total{line="COM1",outcome="sent"} 1
fumidori_line_calls_total{line="COM1",outcome="failed"} 2
fumidori_line_calls_total{line="COM1",outcome="refused"} 0
fumidori_line_calls_total{line="COM1",outcome="busy"} 0
fumidori_line_calls_total{line="sip",outcome="sent"} 0
fumidori_line_calls_total{line="sip",outcome="failed"} 0
fumidori_line_calls_total{line="sip",outcome="refused"} 0
fumidori_line_calls_total{line="sip",outcome="busy"} 0
# HELP fumidori_line_up Whether the line is in service (1) or down (0).
# TYPE fumidori_line_up gauge
fumidori_line_up{line="COM1"} 0
fumidori_line_up{line="sip"} 1
# HELP fumidori_pages_total Pages to escalations that ended, by outcome.
# TYPE fumidori_pages_total counter
fumidori_pages_total{outcome="acknowledged"} 0
fumidori_pages_total{outcome="resolved"} 0
fumidori_pages_total{outcome="exhausted"} 0
# HELP fumidori_escalation_steps_total Steps of escalations queued.
# TYPE fumidori_escalation_steps_total counter
fumidori_escalation_steps_total 0
# HELP fumidori_queue_oldest_waiting_seconds Age of the oldest waiting message, 0 when none waits.
# TYPE fumidori_queue_oldest_waiting_seconds gauge
fumidori_queue_oldest_waiting_seconds ~90
# HELP fumidori_heartbeat_age_seconds Seconds since the heartbeat's last beat.
# TYPE fumidori_heartbeat_age_seconds gauge
fumidori_heartbeat_age_seconds{name="見張り"} ~90
)"));
    }
    // A page to an escalation: its first step at once with its code, then shown and
    // acknowledged by its id; the counts follow.
    void escalation()
    {
        const Reply added = httpclient::exchange(m_port, post("/v1/messages", R"({"to":"up","text":"A"})"));
        QCOMPARE(added.status, 202);
        const QJsonObject answer = QJsonDocument::fromJson(added.body).object();
        const QString page = answer["id"].toString();
        QCOMPARE(answer["messages"].toArray().size(), 1);
        const auto state = pages::read(m_folder, page);
        QVERIFY(state);
        QCOMPARE(waitingTexts(), QStringList{QStringLiteral("A #") + state->ack});
        const QByteArray path = "/v1/pages/" + page.toUtf8();
        const QString fields = QStringLiteral(R"("escalation":"up","id":"%1","people":["R0"],)").arg(page);
        QCOMPARE(shown(get(path)), QStringLiteral(R"(200 {"by":"",%1"state":"open","step":1,"steps":2})").arg(fields));
        QCOMPARE(shown(post(path + "/ack", {}, withToken({}))),
                 QStringLiteral(R"(200 {"by":"HTTP",%1"state":"acknowledged","step":1,"steps":2})").arg(fields));
        QCOMPARE(waitingTexts(), QStringList());
        QCOMPARE(shown(get("/v1/pages/" + state->ack.toUtf8())).left(3), QStringLiteral("404"));
        QCOMPARE(shown(post("/v1/pages/20260101T000000000-00000/ack", {}, withToken({}))).left(3),
                 QStringLiteral("404"));
        // An alert's page ends when Alertmanager tells its group resolved.
        const QByteArray alert = "/v1/alertmanager/up", one = "[" + firingAlert("{}", "{}") + "]";
        const Reply firing = httpclient::exchange(m_port, post(alert, notification("firing", "{}", "{}", one)));
        QCOMPARE(firing.status, 202);
        const QString alertPage = QJsonDocument::fromJson(firing.body).object()["id"].toString();
        QCOMPARE(waitingTexts().size(), 1);
        QCOMPARE(httpclient::exchange(m_port, post(alert, notification("resolved", "{}", "{}", one))).status, 202);
        QCOMPARE(pages::read(m_folder, alertPage)->word(), QStringLiteral("resolved"));
        QCOMPARE(waitingTexts(), QStringList());
        const QString metrics = shown(get("/metrics"));
        QVERIFY(metrics.contains(u"fumidori_pages_total{outcome=\"resolved\"} 1\n"));
        QVERIFY(metrics.contains(u"fumidori_pages_total{outcome=\"acknowledged\"} 1\n"));
        QVERIFY(metrics.contains(u"fumidori_escalation_steps_total 2\n"));
    }
    void health()
    {
        // No token needed; down while the line is down or the runner is out of service.
        const QByteArray request = httpclient::request("GET", "/healthz", {});
        const QString up = QStringLiteral(R"(200 {"status":"ok"})"), down = QStringLiteral(R"(503 {"status":"down"})");
        QCOMPARE(shown(request), up);
        // Healthy while any line is up: down only when both are.
        m_intake->callEnded(QStringLiteral("c"), {Failure::CallFailed}, QStringLiteral("COM1"));
        QCOMPARE(shown(request), up);
        m_intake->lineChanged(QStringLiteral("sip"), false);
        QCOMPARE(shown(request), down);
        m_intake->lineChanged(QStringLiteral("sip"), true);
        QCOMPARE(shown(request), up);
        m_intake->callEnded(QStringLiteral("c"), {Failure::None}, QStringLiteral("COM1"));
        QCOMPARE(shown(request), up);
        // A bad oncall.ini kept from its last good copy: still up, and told.
        m_intake->setOnCallProblem(QStringLiteral("oncall.ini: bad"));
        QCOMPARE(shown(request), QStringLiteral(R"(200 {"status":"ok","warnings":["oncall.ini: bad"]})"));
        m_intake->setOnCallProblem({});
        m_intake->setInService(false);
        QCOMPARE(shown(request), down);
    }
    void limits_data()
    {
        const Limits row;
        const QByteArray head = "POST /v1/messages HTTP/1.1\r\nHost: x\r\nConnection: close\r\nAuthorization: Bearer " +
                                Token + "\r\nContent-Type: application/json\r\n";
        const QByteArray chunk = QByteArray::number(0x4000, 16) + "\r\n" + QByteArray(0x4000, ' ') + "\r\n";
        row("a body in pieces past the limit",
            QByteArray(head + "Transfer-Encoding: chunked\r\n\r\n" + chunk.repeated(5) + "0\r\n\r\n"), 0);
        row("a body at the limit",
            QByteArray(head + "Content-Length: 65536\r\n\r\n" + R"({"to":"R0","text":"A"})" +
                       QByteArray(65536 - 22, ' ')),
            202);
        row("headers past the limit",
            QByteArray(head + "X-Padding: " + QByteArray(17 * 1024, 'a') + "\r\nContent-Length: 2\r\n\r\n{}"), 0);
        row("not HTTP", "HELLO\r\n\r\n", 0);
        // A proxy in front may take another body than the listener would (smuggling).
        const QByteArray body = R"({"to":"R0","text":"A"})";
        row("two lengths", QByteArray(head + "Content-Length: 22\r\nContent-Length: 2\r\n\r\n" + body), 400);
        row("a length beside chunks",
            QByteArray(head + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n16\r\n" + body + "\r\n0\r\n\r\n"),
            400);
    }
    void limits()
    {
        const auto [request, status] = Limits::row();
        QCOMPARE(httpclient::exchange(m_port, request).status, status);
        QCOMPARE(sendqueue::waitingIds(m_folder).size(), status == 202 ? 1 : 0);
        // The listener serves the next client as before.
        QCOMPARE(httpclient::exchange(m_port, get("/v1/messages/x")).status, 404);
    }
    // Clients without the token, however many, never keep one with it out: each post is
    // answered, and the connections closed to make room are the oldest.
    void crowd_data()
    {
        const Crowd row;
        const QByteArray healthz = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
        row("8 tokenless keep-alive clients", healthz, 1, 1, 8);
        row("8 keep-alive clients with a wrong token",
            "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + Token + "x\r\n\r\n", 1, 1, 8);
        row("8 idle connections of the same client", {}, 1, 1, 8);
        row("200 idle connections of the same client", {}, 1, 1, 200);
        row("64 slow ones of 8 other clients", "GET /healthz HTTP/1.1\r\nHost:", 2, 8, 8);
        row("1,000 connections from 125 addresses", {}, 2, 125, 8);
    }
    void crowd()
    {
        const auto [request, first, clients, connections] = Crowd::row();
        rlimit files = {};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
        QList<int> fds;
        for (int client = first; client < first + clients; ++client) {
            for (int i = 0; i < connections; ++i) {
                fds << httpclient::connectTo(m_port, 10000, client);
                QVERIFY(fds.last() >= 0 && (request.isEmpty() || httpclient::sendAll(fds.last(), request)));
            }
        }
        if (connections > 8) {
            // Past a client's 8 the rest are closed at once, unanswered, and the 8 served.
            // (Which 8 depends on the order the kernel hands them over: one that met a full
            // backlog comes later than newer ones.)
            const QList<int> kept = httpclient::keptOpen(fds, connections - 8, 5000);
            QCOMPARE(kept.size(), 8);
            QVERIFY(httpclient::sendAll(kept.first(), get("/v1/messages/x")));
            QCOMPARE(httpclient::parse(httpclient::readAll(kept.first())).status, 404);
        }
        const bool answered = request.endsWith("\r\n\r\n");
        if (answered) { // each answered once, and closed after it
            for (int fd : std::as_const(fds)) {
                const Reply r = httpclient::parse(httpclient::readAll(fd));
                QVERIFY2(r.status == 200 || r.status == 401, r.head.constData());
                QVERIFY(r.head.contains("Connection: close"));
            }
        }
        int accepted = 0;
        for (int i = 0; i < 26; ++i) {
            const QByteArray body = "{\"to\":\"R0\",\"text\":\"P" + QByteArray::number(i) + "\"}";
            accepted += httpclient::exchange(m_port, post("/v1/messages", body)).status == 202 ? 1 : 0;
        }
        QCOMPARE(accepted, 26);
        QCOMPARE(sendqueue::waitingIds(m_folder).size(), 26);
        // Closed: the oldest of the crowd first. (Not a strict prefix: the listener numbers
        // them as it accepts them, and a connection that met a full backlog comes late.)
        QList<bool> closed;
        for (int fd : std::as_const(fds)) {
            char byte = 0;
            closed << (answered || ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0);
            ::close(fd);
        }
        QVERIFY(closed.first());
    }
    // Time is counted in steps of a client that paces itself by waiting for the close.
    void deadlines_data()
    {
        const Deadlines row;
        QList<QByteArray> header;
        for (char c : QByteArray("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: abcdefghijklmnopqrstuvwxyz"))
            header << QByteArray(1, c);
        row("headers without the token within 2 s", header, 500, 10);
        row("a kept connection with the token lives 10 s",
            QList<QByteArray>(20,
                              "GET /v1/messages/x HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + Token + "\r\n\r\n"),
            1000, 12);
    }
    void deadlines()
    {
        const auto [pieces, pace, steps] = Deadlines::row();
        QVERIFY(listen({}, 10));
        const int fd = httpclient::connectTo(m_port);
        int sent = 0;
        for (; sent < pieces.size() && httpclient::sendAll(fd, pieces[sent]); ++sent) {
            if (httpclient::keptOpen({fd}, 1, pace).isEmpty())
                break;
        }
        ::close(fd);
        QVERIFY2(sent < steps, qPrintable(QString::number(sent)));
        QVERIFY(sent >= 1);
    }
    void tokenFile_data()
    {
        const TokenFile row;
        row("made at the first start", {}, 0, {});
        row("the owner's", "0123456789abcdef\n", 0600, {});
        row("others may read", "0123456789abcdef\n", 0640, "chmod 600");
        row("empty", "\n", 0600, "トークンがありません");
        row("shorter than 16 characters", "0123456789abcde\n", 0600, "短すぎます（15 文字）");
    }
    void tokenFile()
    {
        const auto [contents, mode, problem] = TokenFile::row();
        const QString path = m_folder + QStringLiteral("http-token");
        if (mode) {
            QVERIFY(writeFileBytes(path, contents));
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
        }
        QString found;
        const std::optional<QByteArray> token = listenerToken({}, m_folder, &found);
        QVERIFY2(found.contains(problem) && token.has_value() == problem.isEmpty(), qPrintable(found));
        if (!token)
            return;
        if (mode) {
            QCOMPARE(*token, contents.trimmed());
            return;
        }
        QCOMPARE(token->size(), 43); // 256 random bits
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QCOMPARE(readFileBytes(path), *token + '\n');
        QCOMPARE(listenerToken({}, m_folder, &found).value_or(""), *token); // kept for the next start
    }

private:
    // The listener (again) on loopback, idle connections kept (the limits' checks tell
    // them from refused ones).
    bool listen(const QString &pageTemplate, int requestSeconds)
    {
        m_listener->stop();
        ListenerSettings s;
        s.address = QStringLiteral("127.0.0.1");
        s.token = Token;
        s.alertTemplate = pageTemplate;
        s.idleSeconds = 30;
        s.requestSeconds = requestSeconds;
        m_port = m_listener->start(s, m_intake.get()).isEmpty() ? m_listener->port() : 0;
        return m_port != 0;
    }
    // The answer's status and body (which ends its line), as one text.
    QString shown(const QByteArray &request) const
    {
        const Reply r = httpclient::exchange(m_port, request);
        return QString::number(r.status) + u' ' +
               QString::fromUtf8(r.body.endsWith('\n') ? r.body.chopped(1) : r.body + "|");
    }
    QStringList waitingTexts() const
    {
        QStringList out;
        for (const QString &id : sendqueue::waitingIds(m_folder)) {
            QString problem;
            out << sendqueue::read(sendqueue::queueFolder(m_folder), id, &problem).value_or(QueuedMessage()).text;
        }
        return out;
    }
    std::optional<TempDir> m_dir;
    QString m_folder;
    std::unique_ptr<QueueIntake> m_intake;
    Listener *m_listener = nullptr;
    quint16 m_port = 0;
};

QTEST_GUILESS_MAIN(tst_Http)
#include "tst_http.moc"
