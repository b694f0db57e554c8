// fumidori-send's queue runner listening on loopback, with the simulator on its line:
// a real Alertmanager pages through it, promtool takes its metrics, bad clients leave a
// call under way unharmed, and a runner killed right after a 202 loses nothing.
#include "support/httpclient.h"
#include "support/modemsim.h"
#include "support/queuerunner.h"
#include "support/sendrig.h"
#include "support/server.h"

#include "store/appdata.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <thread>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");
const QString Pager = QStringLiteral("模擬ポケベル");

// "queue run --listen 127.0.0.1:0" on the folder, with the token it made.
struct Runner : QueueRunner {
    QByteArray token;

    bool start(const QString &folder)
    {
        QFile file(folder + "http-token");
        return QueueRunner::start(folder, "--listen") && file.open(QIODevice::ReadOnly) &&
               !(token = file.readLine().trimmed()).isEmpty();
    }
    httpclient::Reply exchange(const QByteArray &method, const QByteArray &path, const QByteArray &body = {})
    {
        QList<QPair<QByteArray, QByteArray>> headers{{"Authorization", "Bearer " + token}};
        if (method == "POST")
            headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
        return httpclient::exchange(port, httpclient::request(method, path, headers, body));
    }
    QString add(const QString &text)
    {
        const QJsonObject body{{"to", Pager}, {"text", text}};
        const auto reply = exchange("POST", "/v1/messages", QJsonDocument(body).toJson(QJsonDocument::Compact));
        return QJsonDocument::fromJson(reply.body).object().value("id").toString();
    }
};

// A folder whose line 1 is the simulator's, one centre that takes 160 characters.
QString makeFolder(const QTemporaryDir &dir)
{
    AppData data;
    data.folder = dir.path() + u'/';
    data.settings = Settings::defaults();
    data.settings.MailInterval = 0;
    data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), 160, 0, 0, 0};
    data.recipients << Recipient{Pager, 0, QStringLiteral("09012345678")};
    return SaveSettingsFile(data) ? QString() : data.folder;
}

// The line's link made to point nowhere: every call fails at once on opening it.
bool cutLine(const QString &folder)
{
    return QFile::remove(folder + "ports/COM1") && QFile::link(folder + "nothing", folder + "ports/COM1");
}

} // namespace

class tst_HttpSystem : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_folder = makeFolder(m_dir.emplace());
        QVERIFY(!m_folder.isEmpty());
    }
    void alertmanagerPages()
    {
        const QString alertmanager = QStandardPaths::findExecutable("prometheus-alertmanager");
        const QString amtool = QStandardPaths::findExecutable("amtool");
        if (alertmanager.isEmpty() || amtool.isEmpty())
            QSKIP("prometheus-alertmanager is not installed (scripts/setup installs it)");
        ModemSim sim;
        QVERIFY(sim.start(m_folder, 1));
        Runner runner;
        QVERIFY(runner.start(m_folder));

        // The README's receiver, with this runner's port and token.
        const quint16 amPort = freePort();
        const QString url = QStringLiteral("http://127.0.0.1:%1/v1/alertmanager/").arg(runner.port) +
                            QString::fromLatin1(QUrl::toPercentEncoding(Pager));
        const QString config = QStringLiteral("route:\n"
                                              "  receiver: pager\n"
                                              "  group_wait: 1s\n"
                                              "  group_by: ['alertname']\n"
                                              "receivers:\n"
                                              "  - name: pager\n"
                                              "    webhook_configs:\n"
                                              "      - url: '%1'\n"
                                              "        max_alerts: 100\n"
                                              "        http_config:\n"
                                              "          authorization:\n"
                                              "            credentials_file: '%2'\n")
                                   .arg(url, m_folder + "http-token");
        QVERIFY(writeFileBytes(m_folder + "alertmanager.yml", config.toUtf8()));
        ServerProcess am;
        if (!am.start(alertmanager,
                      {"--config.file=" + m_folder + "alertmanager.yml", "--storage.path=" + m_folder + "am",
                       QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(amPort), "--cluster.listen-address="},
                      "Listening on"))
            QSKIP(qPrintable("Alertmanager did not start: " + am.log));

        const ToolRun add =
            runTool(amtool, {"alert", "add", "alertname=DiskFull", "--annotation=summary=ディスクが残りわずか",
                             QStringLiteral("--alertmanager.url=http://127.0.0.1:%1").arg(amPort)});
        QVERIFY2(add.exitCode == 0, qPrintable(add.err));
        const QString first = QStringLiteral("［FIRING：1］ DISKFULL ﾃﾞィｽｸが残りわずか");
        QCOMPARE(sim.field("message", 1), QStringList{first});
        // A storm: 300 alerts of a group, of which Alertmanager sends 100 and counts the rest.
        QByteArray storm;
        for (int i = 0; i < 300; ++i)
            storm += (i ? "," : "[") + QByteArray("{\"labels\":{\"alertname\":\"Storm\",\"instance\":\"web") +
                     QByteArray::number(i) + "\"},\"annotations\":{\"summary\":\"FULL\"}}";
        const auto posted = httpclient::exchange(
            amPort, httpclient::request("POST", "/api/v2/alerts", {{"Content-Type", "application/json"}}, storm + "]"));
        QCOMPARE(posted.status, 200);
        QCOMPARE(sim.field("message", 2), (QStringList{first, QStringLiteral("［FIRING：300］ STORM FULL")}));
    }
    void metricsPassPromtool()
    {
        const QString promtool = QStandardPaths::findExecutable("promtool");
        if (promtool.isEmpty())
            QSKIP("promtool is not installed (the prometheus package; scripts/setup installs it)");
        ModemSim sim;
        QVERIFY(sim.start(m_folder, 1));
        QVERIFY(QDir().mkpath(m_folder + "queue"));
        QVERIFY(writeFileBytes(m_folder + "queue/queue.ini", "[Queue]\nAttempts=0\n"));
        Runner runner;
        QVERIFY(runner.start(m_folder));
        const QString sent = runner.add("A");
        QVERIFY2(runner.events("result", 1).size() == 1, runner.out + runner.process.readAllStandardError());
        // The line goes away: the next two calls fail and are given up, and the line is down.
        QVERIFY(cutLine(m_folder));
        const QString failed = runner.add("B");
        runner.add("C");
        QVERIFY2(runner.events("result", 3).size() == 3, runner.out.constData());
        const QByteArray state = runner.exchange("GET", "/v1/messages/" + failed.toLatin1()).body;
        QVERIFY2(state.contains("\"failed\""), state.constData());
        QVERIFY(runner.exchange("GET", "/v1/messages/" + sent.toLatin1()).body.contains("\"sent\""));
        const QByteArray metrics = runner.exchange("GET", "/metrics").body;
        QVERIFY2(metrics.contains("fumidori_line_up{line=\"COM1\"} 0"), metrics.constData());
        QVERIFY(metrics.contains("fumidori_messages_sent_total 1"));
        QVERIFY2(metrics.contains("fumidori_line_calls_total{line=\"COM1\",outcome=\"failed\"} 2"),
                 metrics.constData());
        const ToolRun check = runTool(promtool, {"check", "metrics"}, metrics);
        QVERIFY2(check.exitCode == 0, qPrintable(check.out + check.err));
        QCOMPARE(runner.exchange("GET", "/healthz").status, 503);
    }
    void badClientsLeaveTheCallAlone()
    {
        ModemSim sim;
        QVERIFY(sim.start(m_folder, 1, {"--delay", "150"})); // a call of some seconds
        Runner runner;
        QVERIFY(runner.start(m_folder));
        const QString id = runner.add(QStringLiteral("ぶじにとどく"));
        QVERIFY(!id.isEmpty());

        // Meanwhile: a client sending a byte a second, 200 connections, a 10 MB body, a
        // wrong token, garbage.
        QElapsedTimer slowTime;
        slowTime.start();
        const int slowFd = httpclient::connectTo(runner.port, 20000, 4);
        qsizetype slowSent = 0;
        const QByteArray slowRequest = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: slow\r\n\r\n";
        std::jthread slow([&] {
            for (; slowSent < slowRequest.size(); ++slowSent) {
                if (!httpclient::sendAll(slowFd, slowRequest.mid(slowSent, 1)) ||
                    httpclient::keptOpen({slowFd}, 1, 1000).isEmpty())
                    break;
            }
        });
        QList<int> many;
        for (int i = 0; i < 200; ++i)
            many << httpclient::connectTo(runner.port);
        // The newest 8 for the client: the rest are closed at once. A busy machine may keep
        // fewer (they must send their headers within 2 s), never more.
        QVERIFY(httpclient::keptOpen(many, 193, 30000).size() <= 7);
        for (int fd : many)
            ::close(fd);
        const int big = httpclient::connectTo(runner.port, 10000, 2); // another client: this one is at its limit
        const QByteArray head = "POST /v1/messages HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + runner.token +
                                "\r\nContent-Type: application/json\r\nContent-Length: 10485760\r\n\r\n";
        httpclient::sendAll(big, head); // answered before the body is read
        QCOMPARE(httpclient::parse(httpclient::readAll(big)).status, 413);
        ::close(big);
        const QByteArray wrongToken =
            httpclient::request("GET", "/metrics", {{"Authorization", "Bearer " + runner.token + "x"}});
        QCOMPARE(httpclient::exchange(runner.port, wrongToken, 3).status, 401);
        QCOMPARE(httpclient::exchange(runner.port, "\x16\x03\x01 not HTTP\r\n\r\n", 3).status, 400);

        // The slow client, without the token, is cut off in the middle of its headers, not
        // before its 2 s; a byte a second at most, it sent a few (about 10 in 10 s before).
        slow.join();
        ::close(slowFd);
        QVERIFY2(slowTime.elapsed() >= 1900, qPrintable(QString::number(slowTime.elapsed())));
        QVERIFY2(slowSent <= 6, qPrintable(QString::number(slowSent)));
        QCOMPARE(runner.exchange("GET", "/v1/messages/" + id.toLatin1()).status, 200);
        QCOMPARE(sim.field("message", 1), QStringList{QStringLiteral("ぶじにとどく")});
        QVERIFY(sendqueue::list(m_folder).isEmpty());
    }
    void killedAfterAccepting()
    {
        ModemSim sim;
        QVERIFY(sim.start(m_folder, 1));
        QString id;
        {
            Runner runner;
            QVERIFY(runner.start(m_folder));
            // No line to send on: the message stays queued however fast the kill comes.
            QVERIFY(cutLine(m_folder));
            id = runner.add("KEPT");
            QVERIFY(!id.isEmpty());
            runner.process.kill();
            QVERIFY(runner.process.waitForFinished(5000));
        }
        QStringList onDisk;
        for (const sendqueue::Entry &e : sendqueue::list(m_folder))
            onDisk << e.message.id + ":" + e.message.text;
        QVERIFY2(onDisk.contains(id + ":KEPT"), qPrintable(onDisk.join(u' ')));
    }

    // A dead man's switch: Alertmanager's always-firing Watchdog routed to the heartbeat
    // (the README's route), beating; Alertmanager stopped: one page, after Every + Grace.
    void watchdogSilence()
    {
        const QString alertmanager = QStandardPaths::findExecutable("prometheus-alertmanager");
        const QString amtool = QStandardPaths::findExecutable("amtool");
        if (alertmanager.isEmpty() || amtool.isEmpty())
            QSKIP("prometheus-alertmanager is not installed (scripts/setup installs it)");
        ModemSim sim;
        QVERIFY(sim.start(m_folder, 1));
        QVERIFY(writeFileBytes(m_folder + "oncall.ini", "[Heartbeat prometheus]\nEvery=3s\nGrace=1s\nPage=" +
                                                            Pager.toUtf8() + "\nText=監視が止まりました\n"));
        Runner runner;
        QVERIFY(runner.start(m_folder));
        const quint16 amPort = freePort();
        const QString config = QStringLiteral("route:\n"
                                              "  receiver: pager\n"
                                              "  routes:\n"
                                              "    - matchers: ['alertname = \"Watchdog\"']\n"
                                              "      receiver: heartbeat\n"
                                              "      group_wait: 0s\n"
                                              "      group_interval: 1s\n"
                                              "      repeat_interval: 1s\n"
                                              "receivers:\n"
                                              "  - name: pager\n"
                                              "  - name: heartbeat\n"
                                              "    webhook_configs:\n"
                                              "      - url: 'http://127.0.0.1:%1/v1/heartbeat/prometheus'\n"
                                              "        send_resolved: false\n"
                                              "        http_config:\n"
                                              "          authorization:\n"
                                              "            credentials_file: '%2'\n")
                                   .arg(runner.port)
                                   .arg(m_folder + "http-token");
        QVERIFY(writeFileBytes(m_folder + "alertmanager.yml", config.toUtf8()));
        ServerProcess am;
        if (!am.start(alertmanager,
                      {"--config.file=" + m_folder + "alertmanager.yml", "--storage.path=" + m_folder + "am",
                       QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(amPort), "--cluster.listen-address="},
                      "Listening on"))
            QSKIP(qPrintable("Alertmanager did not start: " + am.log));
        const ToolRun add = runTool(amtool, {"alert", "add", "alertname=Watchdog",
                                             QStringLiteral("--alertmanager.url=http://127.0.0.1:%1").arg(amPort)});
        QVERIFY2(add.exitCode == 0, qPrintable(add.err));
        QVERIFY2(runner.events("heartbeat-heard", 1).size() == 1, runner.out.constData());
        am.process.terminate();
        QVERIFY(am.process.waitForFinished(10000));
        QVERIFY2(runner.events("heartbeat-silent", 1).size() == 1, runner.out.constData());
        QCOMPARE(sim.field("message", 1), QStringList{QStringLiteral("監視が止まりました")});
    }

private:
    std::optional<TempDir> m_dir;
    QString m_folder;
};

QTEST_GUILESS_MAIN(tst_HttpSystem)
#include "tst_httpsystem.moc"
