// fumidori-send's queue runner serving SNPP on loopback, with the simulator on its line:
// HylaFAX's sendpage and a Net::SNPP script page through it as the README shows, the
// listener's limits hold, and a runner killed right after a 250 loses nothing.
#include "support/httpclient.h"
#include "support/modemsim.h"
#include "support/queuerunner.h"
#include "support/sendrig.h"
#include "support/table.h"

#include "store/plugins.h"
#include "store/sendqueue.h"
#include "store/snppdesk.h"

#include <QDateTime>
#include <QStandardPaths>
#include <QTest>

#include <future>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

// Sends the lines and reads until as many answer lines have come (or the server closes).
QByteArray converse(int fd, const QByteArray &lines, int answers)
{
    QByteArray out;
    if (!lines.isEmpty() && !httpclient::sendAll(fd, lines))
        return out;
    char buffer[4096];
    ssize_t n = 0;
    while (out.count('\n') < answers && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        out.append(buffer, n);
    return out;
}

// Pages nobody: for the listener's own limits.
class NoDesk : public SnppDesk
{
public:
    std::variant<SnppPager, QString> pager(const QByteArray &) override { return QStringLiteral("none"); }
    bool login(const QByteArray &, const QByteArray &) override { return false; }
    QString send(const SnppBatch &) override { return QStringLiteral("none"); }
};

// Takes every name; its SEND waits until let go, as a disk that does not answer.
class SlowDesk : public NoDesk
{
public:
    std::variant<SnppPager, QString> pager(const QByteArray &) override { return SnppPager{"id", {}}; }
    QString send(const SnppBatch &) override
    {
        sending.set_value();
        letGo.get_future().wait();
        return {};
    }
    std::promise<void> sending, letGo;
};

} // namespace

// mode: of an snpp-users there before (0: none); error: what standard error says (empty: exit 0)
using UserAdd = table::Of<QString, QByteArray, int, QString>;

class tst_SnppSystem : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_folder = makeSendFolder(m_dir.emplace(), 2, 160);
        QVERIFY(!m_folder.isEmpty());
        QVERIFY(QFile::remove(m_folder + "ports/COM1")); // the simulator's link in its place
        QVERIFY(QDir().mkpath(m_folder + "queue"));
        QVERIFY(writeFileBytes(m_folder + "queue/queue.ini", "[Queue]\nSnppAllow=127.0.0.1\nSnppCenter=C\n"));
    }
    void snppUserAdd_data()
    {
        const UserAdd row;
        row("added", "nagios", "s3cret\n", 0, "");
        row("replaced", "nagios", "s3cret\n", 0600, "");
        row("empty password", "nagios", "\n", 0, "パスワードが空");
        row("colon in the name", "a:b", "s3cret\n", 0, "「:」");
        row("file open to others", "nagios", "s3cret\n", 0644, "chmod 600");
    }
    void snppUserAdd()
    {
        const auto [user, input, mode, error] = UserAdd::row();
        const QString file = m_folder + "snpp-users";
        if (mode) {
            QVERIFY(writeFileBytes(file, "nagios:$y$old\nother:$y$x\n"));
            QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions(mode == 0600 ? 0x6000 : 0x6444)));
        }
        const ToolRun run = runTool(Tool, {"--folder", m_folder, "queue", "snpp-user", "add", user}, input);
        QCOMPARE(run.exitCode, error.isEmpty() ? 0 : 2);
        QVERIFY2(run.err.contains(error), qPrintable(run.err));
        if (!error.isEmpty())
            return;
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray lines = f.readAll();
        QCOMPARE(lines.count("nagios:$y$"), 1);
        QCOMPARE(lines.contains("other:"), bool(mode));
        QCOMPARE(f.permissions() & 0x0077, 0);
    }
    void sendpagePages()
    {
        const QString sendpage = QStandardPaths::findExecutable("sendpage");
        if (sendpage.isEmpty())
            QSKIP("hylafax-client is not installed (scripts/setup installs it)");
        ModemSim sim;
        QVERIFY(sim.start(m_folder, 1));
        QueueRunner runner;
        QVERIFY(runner.start(m_folder, "--snpp"));
        const ToolRun run = runTool(sendpage, {"-h", QStringLiteral("127.0.0.1:%1").arg(runner.port), "-p", "R0", "-p",
                                               "09099990000", "DISK FULL ON DB1"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
        QVERIFY2(run.out.contains("request id is"), run.out.constData());
        QCOMPARE(sim.field("message", 2), QStringList({"DISK FULL ON DB1", "DISK FULL ON DB1"}));
        QStringList numbers = sim.field("recipient", 2);
        numbers.sort();
        QCOMPARE(numbers, QStringList({"09000000000", "09099990000"}));
    }
    void netSnppPagesWithLogin()
    {
        if (runTool("perl", {"-MNet::SNPP", "-e", "1"}).exitCode != 0)
            QSKIP("libnet-snpp-perl is not installed (scripts/setup installs it)");
        // Not from an allowed address: the password is what lets it page.
        QVERIFY(writeFileBytes(m_folder + "queue/queue.ini", "[Queue]\nSnppCenter=C\n"));
        const ToolRun add = runTool(Tool, {"--folder", m_folder, "queue", "snpp-user", "add", "nagios"}, "s3cret\n");
        QVERIFY2(add.exitCode == 0, qPrintable(add.err));
        ModemSim sim;
        QVERIFY(sim.start(m_folder, 1));
        QueueRunner runner;
        QVERIFY(runner.start(m_folder, "--snpp"));
        const QString script = QStringLiteral(R"(
use Net::SNPP;
my $s = Net::SNPP->new('127.0.0.1', Port => %1) or die "no connection\n";
$s->login('nagios', $ARGV[0]) or die "login: " . $s->message . "\n";
$s->send(Pager => ['R1'], Message => "PROBLEM WEB1 HTTP CRITICAL", Alert => 1) or die "send: " . $s->message . "\n";
$s->send(Pager => ['R1'], Message => "\x83\x54\x81\x5b\x83\x6f\x81\x5b") or die "send: " . $s->message . "\n";
$s->quit;
)")
                                   .arg(runner.port);
        QVERIFY(writeFileBytes(m_folder + "page.pl", script.toUtf8()));
        const ToolRun wrong = runTool("perl", {m_folder + "page.pl", "wrong"});
        QVERIFY2(wrong.exitCode != 0 && wrong.err.contains("login"), qPrintable(wrong.err));
        const ToolRun paged = runTool("perl", {m_folder + "page.pl", "s3cret"});
        QVERIFY2(paged.exitCode == 0, qPrintable(paged.err));
        // The second text in CP932, as a Japanese client writes it.
        QCOMPARE(sim.field("message", 2), QStringList({"PROBLEM WEB1 HTTP CRITICAL", "サーバー"}));
    }
    void limits()
    {
        QueueRunner runner;
        QVERIFY(runner.start(m_folder, "--snpp"));
        QList<int> fds;
        for (int i = 0; i < 9; ++i)
            fds << httpclient::connectTo(runner.port, 5000);
        for (int i = 0; i < 8; ++i)
            QVERIFY(converse(fds[i], {}, 1).startsWith("220 "));
        QVERIFY(converse(fds[8], {}, 1).startsWith("421 "));
        // Another client still gets in; a too-long line is refused, the session goes on.
        const int other = httpclient::connectTo(runner.port, 5000, 2);
        QVERIFY(converse(other, {}, 1).startsWith("220 "));
        QCOMPARE(converse(other, QByteArray(600, 'x') + "\r\nQUIT\r\n", 2),
                 "500 Error, Line Too Long (512 bytes at most)\r\n221 OK, Goodbye\r\n");
        for (int fd : fds + QList<int>{other})
            ::close(fd);
    }
    // The plugin alone, its time limits shortened: a silent client goes after the idle
    // time, a busy one after the session's time, and stop() closes what is left.
    void timeLimits()
    {
        QStringList problems;
        auto *listener = qobject_cast<SnppListener *>(loadPlugin(QStringLiteral("fumidori-snpp.so"), &problems));
        QVERIFY2(listener, qPrintable(problems.join(u' ')));
        NoDesk desk;
        SnppSettings s{"127.0.0.1", 0, {"::ffff:127.0.0.1"}, 8, 64, 2, 5};
        QCOMPARE(listener->start(s, &desk), QString());
        const int quiet = httpclient::connectTo(listener->port(), 10000);
        QVERIFY(httpclient::sendAll(quiet, "PAGE R1\r\n"));
        const int busy = httpclient::connectTo(listener->port(), 10000);
        QByteArray answers;
        for (int i = 0; i < 60 && !answers.contains("421"); ++i) { // a line every half second
            pollfd p{busy, POLLIN, 0};
            char buffer[512];
            const ssize_t n = ::poll(&p, 1, 500) == 0 ? 0 : ::recv(busy, buffer, sizeof buffer, 0);
            if (n > 0)
                answers.append(buffer, n);
            else if (n < 0 || !httpclient::sendAll(busy, "RESE\r\n"))
                break;
        }
        QVERIFY2(answers.count("250 RESET OK") >= 3, answers.constData());
        QVERIFY2(answers.endsWith("421 Session Time Limit, Goodbye\r\n"), answers.constData());
        // From an allowed address (written as IPv6): the PAGE reached the desk.
        QCOMPARE(converse(quiet, {}, 3),
                 "220 Fumidori SNPP Gateway Ready\r\n550 Error, Invalid Pager ID: none\r\n421 Timeout, Goodbye\r\n");
        const int stopped = httpclient::connectTo(listener->port(), 10000);
        QVERIFY(converse(stopped, {}, 1).startsWith("220 "));
        listener->stop();
        QCOMPARE(converse(stopped, {}, 1), QByteArray()); // closed, not timed out
        for (int fd : {quiet, busy, stopped})
            ::close(fd);
        s.allowed = {"localhost"};
        QVERIFY(listener->start(s, &desk).contains("localhost"));
    }
    // A client whose SEND waits for the disk holds up no other: a second client is greeted
    // and answered meanwhile (each waits 5 s at most for an answer).
    void slowSendHoldsUpNobody()
    {
        QStringList problems;
        auto *listener = qobject_cast<SnppListener *>(loadPlugin(QStringLiteral("fumidori-snpp.so"), &problems));
        QVERIFY2(listener, qPrintable(problems.join(u' ')));
        SlowDesk desk;
        QCOMPARE(listener->start({"127.0.0.1", 0, {"127.0.0.1"}}, &desk), QString());
        const int slow = httpclient::connectTo(listener->port(), 5000);
        QCOMPARE(converse(slow, "PAGE R1\r\nMESS x\r\n", 3).count("\r\n"), 3);
        QVERIFY(httpclient::sendAll(slow, "SEND\r\n"));
        QVERIFY(desk.sending.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready);
        const int other = httpclient::connectTo(listener->port(), 5000);
        QCOMPARE(converse(other, "PAGE R2\r\nQUIT\r\n", 3),
                 "220 Fumidori SNPP Gateway Ready\r\n250 Pager ID Accepted; jobid: id\r\n221 OK, Goodbye\r\n");
        desk.letGo.set_value();
        QCOMPARE(converse(slow, {}, 1), "250 Message Sent Successfully\r\n");
        listener->stop();
        for (int fd : {slow, other})
            ::close(fd);
    }
    void killedAfterAccepting()
    {
        QString id;
        {
            QueueRunner runner; // no simulator: nothing can be sent, the page stays queued
            QVERIFY(runner.start(m_folder, "--snpp"));
            const int fd = httpclient::connectTo(runner.port, 5000);
            // A batch the rules refuse (too long for the centre): 554, and neither page queued.
            const QByteArray refused =
                converse(fd, "PAGE R0\r\nPAGE R1\r\nMESS " + QByteArray(200, 'A') + "\r\nSEND\r\nRESE\r\n", 6);
            QVERIFY2(refused.contains("\r\n554 Error, Failed: R0: ") && refused.endsWith("250 RESET OK\r\n"),
                     refused.constData());
            const QByteArray answers =
                converse(fd, "PAGE R0\r\nMESS KEPT\r\nLEVE 0\r\nHOLD 301231235959 +0900\r\nSEND\r\n", 5);
            QVERIFY2(answers.endsWith("250 Message Sent Successfully\r\n"), answers.constData());
            runner.process.kill();
            QVERIFY(runner.process.waitForFinished(5000));
            ::close(fd);
            id = QString::fromLatin1(answers.mid(answers.indexOf("jobid: ") + 7).split('\r').first());
        }
        QStringList onDisk;
        for (const sendqueue::Entry &e : sendqueue::list(m_folder))
            onDisk << QStringLiteral("%1:%2:%3:%4")
                          .arg(e.message.id, e.message.text, e.message.severity,
                               QDateTime::fromMSecsSinceEpoch(e.message.notBefore, Qt::UTC).toString(Qt::ISODate));
        QCOMPARE(onDisk, QStringList{id + ":KEPT:critical:2030-12-31T14:59:59Z"});
    }

private:
    std::optional<QTemporaryDir> m_dir;
    QString m_folder;
};

QTEST_GUILESS_MAIN(tst_SnppSystem)
#include "tst_snppsystem.moc"
