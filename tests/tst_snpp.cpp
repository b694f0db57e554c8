// The SNPP session without a socket: whole conversations as command lines in and
// answers out, with what reached the desk; the HOLD times; and the users file.
#include "support/sendrig.h"
#include "support/table.h"

#include "gateway/pages.h"
#include "gateway/snppintake.h"
#include "gateway/snppusers.h"
#include "snpp/session.h"

#include <QDateTime>
#include <QTest>

namespace
{

// Knows R1, R2 and "Night Desk"; digits through the centre; alice's password is pw; a
// text holding FULL cannot be written.
class Desk : public SnppDesk
{
public:
    std::variant<SnppPager, QString> pager(const QByteArray &name) override
    {
        if (name == "R1" || name == "R2" || name == "Night Desk")
            return SnppPager{"id-" + QString::fromUtf8(name), {QString::fromUtf8(name), {}, {}, false}};
        if (!name.isEmpty() && name.toULongLong() > 0)
            return SnppPager{"id-" + QString::fromUtf8(name), {{}, QString::fromUtf8(name), "SnppCenter", false}};
        return QStringLiteral("unknown");
    }
    bool login(const QByteArray &user, const QByteArray &password) override
    {
        return user == "alice" && password == "pw";
    }
    QString send(const SnppBatch &b) override
    {
        if (b.text.contains("FULL"))
            return QStringLiteral("disk full");
        QStringList ids;
        for (const SnppPager &p : b.pagers)
            ids << p.id;
        sent << ids.join(',') + '|' + QString::fromUtf8(b.text) + '|' + b.severity +
                    (b.notBefore ? '|' + QString::number(b.notBefore) : QString());
        return {};
    }
    QStringList sent;
};

// The answers' codes, their first three characters.
QString codes(const QByteArray &answers)
{
    QStringList out;
    for (const QByteArray &line : answers.split('\n'))
        if (!line.isEmpty())
            out << QString::fromUtf8(line.left(3));
    return out.join(' ');
}

// What a session answers to the lines (joined by \n), each sent with CR LF.
QByteArray talk(SnppDesk &desk, bool allowed, const QByteArray &lines)
{
    SnppSession session(desk, allowed);
    QByteArray out;
    for (const QByteArray &line : lines.split('\n'))
        out += session.feed(line + "\r\n");
    return out;
}

} // namespace

// lines: joined by \n (each sent with CR LF); allowed: the address may page without LOGI;
// answers: the codes of every answer; batches: what SEND handed in (ids|text|severity[|hold])
using Session = table::Of<bool, QByteArray, QString, QStringList>;
// bytes: sent as they are (no CR LF added)
using Raw = table::Of<QByteArray, QString, int>;
// hold: ms since the epoch; 0: refused
using Hold = table::Of<QByteArray, qint64>;

class TestSnpp : public QObject
{
    Q_OBJECT
private slots:
    void sessions_data()
    {
        const Session row;
        // What HylaFAX's sendpage sends: LOGI without a password, SITE refused, no QUIT.
        row("sendpage", true,
            "LOGI root\nSITE HELP NOTIFY\nLEVE 1\nPAGE R1\nLEVE 1\nPAGE 5551234\nMESS disk full on db1\nSEND",
            "250 500 250 250 250 250 250 250", {"id-R1,id-5551234|disk full on db1|"});
        row("net-snpp", true, "PAGE R1\nMESS hello\nHOLD 261207160417 +0000\nALER 1\nSEND\nQUIT",
            "250 250 250 250 250 221", {"id-R1|hello|critical|1796659457000"});
        row("not allowed", false, "LOGI root\nPAGE R1\nMESS x\nSEND", "250 550 250 503", {});
        row("wrong password", false, "LOGI alice nope\nPAGE R1\nLOGI bob pw\nPAGE R1", "550 550 550 550", {});
        row("guessing passwords", false, "LOGI alice a\nLOGI alice b\nLOGI alice c\nLOGI alice pw", "550 550 550 421",
            {});
        row("login lasts past RESE", false, "LOGI alice pw\nRESE\nPAGE R2\nMESS x\nSEND", "250 250 250 250 250",
            {"id-R2|x|"});
        row("data, dot-stuffed", true, "PAGE R1\nDATA\nline one\n..starts with a dot\n.\nSEND", "250 354 250 250",
            {"id-R1|line one\n.starts with a dot|"});
        row("empty data", true, "PAGE R1\nDATA\n.\nMESS now\nSEND", "250 354 550 250 250", {"id-R1|now|"});
        row("two messages", true, "PAGE R1\nMESS a\nMESS b\nDATA\nSEND", "250 250 503 503 250", {"id-R1|a|"});
        row("subject and caller", true, "SUBJ db1\nCALL 0312345678\nPAGE R1\nMESS down\nSEND", "250 250 250 250 250",
            {"id-R1|db1 down 0312345678|"});
        row("several pages, one batch", true, "PAGE R1\nPAGE R2\nPAGE Night Desk\nMESS x\nSEND\nPAGE R1\nMESS y\nSEND",
            "250 250 250 250 250 250 250 250", {"id-R1,id-R2,id-Night Desk|x|", "id-R1|y|"});
        row("pin after the name", true, "PAGE R2 1234\nMESS x\nSEND", "250 250 250", {"id-R2|x|"});
        row("unknown pager", true, "PAGE nobody\nPAGE\nMESS x\nSEND", "550 550 250 503", {});
        row("rese", true, "PAGE R1\nMESS x\nLEVE 0\nRESE\nSEND\nPAGE R2\nMESS y\nSEND",
            "250 250 250 250 503 250 250 250", {"id-R2|y|"});
        row("send incomplete", true, "SEND\nMESS x\nSEND", "503 250 503", {});
        row("not on disk", true, "PAGE R1\nMESS FULL\nSEND\nRESE\nPAGE R1\nMESS ok\nSEND",
            "250 250 554 250 250 250 250", {"id-R1|ok|"});
        row("levels", true,
            "LEVE 5\nPAGE R1\nMESS a\nSEND\nLEVE 8\nPAGE R1\nMESS b\nSEND\nLEVE 3\nLEVE 0\nPAGE R1\nMESS c\nSEND",
            "250 250 250 250 250 250 250 250 250 250 250 250 250", {"id-R1|a|info", "id-R1|b|", "id-R1|c|critical"});
        row("bad levels", true, "LEVE 12\nLEVE -1\nLEVE x\nALER 2\nALER\nALER 0\nPAGE R1\nMESS a\nSEND",
            "550 550 550 550 550 250 250 250 250", {"id-R1|a|"});
        row("coverage", true, "COVE 2\nCOVE\nPAGE R1\nMESS a\nSEND", "250 550 250 250 250", {"id-R1|a|"});
        row("level 3 and unknown", true, "2WAY\nPING R1\nMSTA 1\nSITE HELP\nXYZZY\nPAGE R1\nMESS a\nSEND",
            "500 500 500 500 500 250 250 250", {"id-R1|a|"});
        row("lower case", true, "page R1\nmess a\nsend\nquit", "250 250 250 221", {"id-R1|a|"});
        row("help ends with 250", true, "HELP\nQUIT", "214 214 214 214 214 214 214 214 214 214 250 221", {});
        row("nothing after QUIT", true, "QUIT\nPAGE R1", "221", {});
        row("bad hold", true, "HOLD 261332000000\nHOLD 2612\nHOLD 261207160417 +2400", "550 550 550", {});
    }
    void sessions()
    {
        const auto [allowed, lines, answers, batches] = Session::row();
        Desk desk;
        QCOMPARE(codes(talk(desk, allowed, lines)), answers);
        QCOMPARE(desk.sent, batches);
    }

    // The words of the answers clients show: accepted, refused, failed, and help's end.
    void worded()
    {
        Desk desk;
        const QByteArray out = talk(desk, true, "PAGE R1\nPAGE x\nMESS FULL\nSEND\nHELP\nQUIT");
        QVERIFY2(out.startsWith("250 Pager ID Accepted; jobid: id-R1\r\n550 Error, Invalid Pager ID: unknown\r\n"
                                "250 Message OK\r\n554 Error, Failed: disk full\r\n214 "),
                 out.constData());
        QVERIFY2(out.endsWith("250 End of Help Information\r\n221 OK, Goodbye\r\n"), out.constData());
    }

    // Lines as a client's bytes arrive: in pieces, without CR, too long, many errors.
    void raw_data()
    {
        const Raw row;
        const QByteArray longLine = "MESS " + QByteArray(510, 'x') + "\r\n";
        row("split anywhere",
            "PA"
            "GE R1\r\nME"
            "SS a\nSEND\r\n",
            "250 250 250", 1);
        row("511 bytes and LF", "PAGE R1\r\nMESS " + QByteArray(505, 'x') + "\r\nSEND\r\n", "250 250 250", 1);
        row("too long", "PAGE R1\r\n" + longLine + "MESS a\r\nSEND\r\n", "250 500 250 250", 1);
        row("too long in data", "PAGE R1\r\nDATA\r\n" + longLine + ".\r\nMESS a\r\nSEND\r\n", "250 354 550 250 250", 1);
        row("data over 64 KiB", "PAGE R1\r\nDATA\r\n" + (QByteArray(511, 'y') + '\n').repeated(130) + ".\r\nSEND\r\n",
            "250 354 550 503", 0);
        row("data of 64 KiB", "PAGE R1\r\nDATA\r\n" + (QByteArray(511, 'z') + '\n').repeated(128) + ".\r\nSEND\r\n",
            "250 354 250 250", 1);
        row("too many errors", QByteArray("NOPE\r\n").repeated(SnppSession::MaxErrors + 3),
            QString("500 ").repeated(SnppSession::MaxErrors) + "421", 0);
        row("no line end", "PAGE R1\r\nMESS a\r\nSEND", "250 250", 0);
        row("too many pagers", QByteArray("PAGE R1\r\n").repeated(SnppSession::MaxPagers + 1) + "MESS a\r\nSEND\r\n",
            QString("250 ").repeated(SnppSession::MaxPagers) + "550 250 250", 1);
    }
    void raw()
    {
        const auto [bytes, answers, sends] = Raw::row();
        Desk desk;
        SnppSession session(desk, true);
        QByteArray out;
        for (qsizetype i = 0; i < bytes.size(); i += 7) // in pieces of 7 bytes
            out += session.feed(bytes.mid(i, 7));
        QCOMPARE(codes(out), answers);
        QCOMPARE(desk.sent.size(), sends);
    }

    void hold_data()
    {
        const Hold row;
        const qint64 utc = QDateTime({2026, 12, 7}, {16, 4, 17}, Qt::UTC).toMSecsSinceEpoch();
        row("utc", "261207160417 +0000", utc);
        row("offset joined", "261207160417+0900", utc - 9 * 3600000);
        row("west", "261207160417 -0530", utc + 5 * 3600000 + 30 * 60000);
        row("local", "261207160417", QDateTime({2026, 12, 7}, {16, 4, 17}).toMSecsSinceEpoch());
        row("no such day", "260230000000", 0);
        row("no such hour", "261207250000", 0);
        row("short", "2612071604", 0);
        row("letters", "26120716041x", 0);
    }
    void hold()
    {
        const auto [argument, expected] = Hold::row();
        QCOMPARE(SnppSession::holdTime(argument).value_or(0), expected);
    }

    // PAGE of an escalation starts it at SEND as "queue add --to" does: the page's id is the
    // jobid PAGE told, its first step queued under it, beside a plain page of the same
    // batch. HOLD cannot delay an escalation: refused, nothing started.
    void escalationStartsAtSend()
    {
        QTemporaryDir dir;
        const QString folder = makeSendFolder(dir, 2, 160);
        QVERIFY(writeFileBytes(folder + "oncall.ini", "[Escalation up]\nStep1=R1\nStep2=10m R0\n"));
        SnppIntake desk(folder, DeviceAccess{}, QueuedMessage{}, {});
        SnppSession session(desk, true);
        const QByteArray held = session.feed("PAGE up\r\nMESS LATER\r\nHOLD 991231235959 +0000\r\nSEND\r\nRESE\r\n");
        QVERIFY2(held.contains("554 Error, Failed: up: "), held.constData());
        QCOMPARE(pages::all(folder).size(), 0);
        const QByteArray out = session.feed("PAGE up\r\nPAGE R0\r\nMESS DISK FULL\r\nLEVE 0\r\nSEND\r\n");
        QVERIFY2(out.endsWith("250 Message Sent Successfully\r\n"), out.constData());
        QStringList ids;
        for (const QByteArray &line : out.split('\n'))
            if (line.contains("jobid: "))
                ids << QString::fromLatin1(line.mid(line.indexOf("jobid: ") + 7).trimmed());
        QCOMPARE(ids.size(), 2);
        const std::optional<PageState> page = pages::read(folder, ids[0]);
        QVERIFY(page && page->escalation == u"up" && page->queued == 1 && page->severity == u"critical");
        QStringList queued;
        for (const sendqueue::Entry &e : sendqueue::list(folder))
            queued << e.message.to + u':' +
                          (e.message.page == ids[0] ? QStringLiteral("page")
                           : e.message.id == ids[1] ? QStringLiteral("id")
                                                    : QStringLiteral("?"));
        queued.sort();
        QCOMPARE(queued, QStringList({"R0:id", "R1:page"}));
    }

    void users()
    {
        const QByteArray hash = snppusers::hash("secret");
        QVERIFY(hash.startsWith("$y$"));
        QVERIFY(hash != snppusers::hash("secret")); // salted
        QByteArray file = snppusers::withUser("bob:$y$other\n", "alice", hash);
        QCOMPARE(file, "bob:$y$other\nalice:" + hash + '\n');
        QVERIFY(snppusers::check(file, "alice", "secret"));
        QVERIFY(!snppusers::check(file, "alice", "Secret"));
        QVERIFY(!snppusers::check(file, "alice", ""));
        QVERIFY(!snppusers::check(file, "carol", "secret"));
        QVERIFY(!snppusers::check(file, "bob", "secret"));
        file = snppusers::withUser(file, "alice", snppusers::hash("new"));
        QCOMPARE(file.count("alice:"), 1);
        QVERIFY(snppusers::check(file, "alice", "new"));
        QVERIFY(!snppusers::check(file, "alice", "secret"));
        for (const char *bad : {"", "a:b", "a b", "a\nb"})
            QVERIFY2(!snppusers::nameProblem(QString::fromUtf8(bad)).isEmpty(), bad);
        QVERIFY(snppusers::nameProblem(QStringLiteral("当直")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSnpp)
#include "tst_snpp.moc"
