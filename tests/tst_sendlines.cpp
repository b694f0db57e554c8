// Several lines behind one queue, end to end: the real "fumidori-send queue run" over
// fumidori-modemsim on COM1, COM2 (and COM3) of one data folder, the lines named in
// queue/queue.ini. Messages go out side by side, each exactly once; a dead line hands its
// work to the others, goes out of service and comes back; a centre that fails on every
// line is the message's fault, not the lines'; a line dying mid-call loses nothing; a
// line the window holds is passed over until it is let go; queue list and lines.json
// show it all.
#include "support/linesrig.h"
#include "support/sendrig.h"
#include "support/table.h"

#include "modem/lockedport.h"
#include "store/locks.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

using SideBySide = table::Of<int>;                      // lines
using DeadLine = table::Of<QStringList, QString, bool>; // simulator, line keys, hooks on the command line

// The queue's settings of every case: retries at once, a short cool-off.
const QString QueueKeys = QStringLiteral("Delays=0\nCoolOff=1s\n");

// The line hook of the cases: what it was told, a line to hooks.log in the folder.
QString lineHook(const LinesRig &rig)
{
    return QStringLiteral("echo \"$FUMIDORI_STATUS $FUMIDORI_LINE $FUMIDORI_REASON\" >> ") + rig.hookLog();
}

QStringList hookLines(const LinesRig &rig)
{
    return QString::fromUtf8(readFileBytes(rig.hookLog())).split(u'\n', Qt::SkipEmptyParts);
}

// "queue list" of the folder, a line a row: split at the tabs, or with --json one object.
QList<QByteArray> listed(const LinesRig &rig, const QStringList &format = {})
{
    QList<QByteArray> lines =
        runTool(Tool, QStringList{"--folder", rig.folder} + format + QStringList{"queue", "list"}).out.split('\n');
    lines.removeAll(QByteArray());
    return lines;
}
QList<QStringList> listRows(const LinesRig &rig)
{
    QList<QStringList> rows;
    for (const QByteArray &line : listed(rig))
        rows << QString::fromUtf8(line).split(u'\t');
    return rows;
}
QList<QJsonObject> listObjects(const LinesRig &rig)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : listed(rig, {"--json"}))
        objects << QJsonDocument::fromJson(line).object();
    return objects;
}

// The states of the lines in lines.json, in their order ("a:free", "b:calling"...).
QStringList lineStates(const LinesRig &rig)
{
    QStringList out;
    for (const QJsonValue &line : rig.linesJson().value("lines").toArray())
        out << line["name"].toString() + u':' + line["state"].toString();
    return out;
}

QStringList repeated(const QStringList &names, const QString &state)
{
    QStringList out;
    for (const QString &name : names)
        out << name + u':' + state;
    return out;
}

// The line each sent message's result names, by id.
QMap<QString, QString> sentOn(const LinesRig &rig)
{
    QMap<QString, QString> lines;
    for (const QJsonObject &e : rig.eventsNamed("result")) {
        if (e["status"] == QLatin1String("sent"))
            lines[e["id"].toString()] = e["line"].toString();
    }
    return lines;
}

// Each call line i's centre took: "recipient's number|the message's first character".
QStringList calls(LinesRig &rig, int i)
{
    rig.delivered(i); // what came so far
    QStringList out;
    for (const QString &call : rig.sims[size_t(i)]->printed.split(QStringLiteral("--\n"), Qt::SkipEmptyParts)) {
        const QString number = call.section(QStringLiteral("recipient: "), 1).section(u'\n', 0, 0);
        const QString text = call.section(QStringLiteral("message: "), 1).section(u'\n', 0, 0);
        out << number + u'|' + text.left(1);
    }
    return out;
}

} // namespace

class tst_SendLines : public QObject
{
    Q_OBJECT
private slots:

    void sideBySide_data()
    {
        const SideBySide row;
        row("two lines", 2);
        row("three lines", 3);
    }

    // 30 messages over every line at once: each decoded by exactly one centre, on the line its
    // result names; each line carries some. While the runner runs, lines.json and queue list
    // show the lines free; after a clean stop, stopped.
    void sideBySide()
    {
        const auto [lines] = SideBySide::row();
        LinesRig rig;
        QVERIFY(rig.writeSettings() && rig.writeQueueIni(lines, QueueKeys) && rig.startSims(lines));
        QMap<QString, QString> texts; // id → text
        for (int i = 0; i < 30; ++i) {
            const QString text = QStringLiteral("M%1").arg(i, 2, 10, QLatin1Char('0'));
            texts[rig.add(text)] = text;
        }
        QVERIFY(!texts.contains(QString()));
        QVERIFY(rig.startRunner());
        QVERIFY2(rig.waitFor([&] { return rig.allDelivered(texts.values()) && sentOn(rig).size() == 30; }, 90000),
                 qPrintable(rig.delivered().join(u' ')));

        const QMap<QString, int> count = rig.deliveries();
        QCOMPARE(count.size(), 30);
        for (auto it = count.cbegin(); it != count.cend(); ++it)
            QVERIFY2(it.value() == 1, qPrintable(it.key()));
        const QMap<QString, QString> on = sentOn(rig);
        QStringList names;
        for (int i = 0; i < lines; ++i) {
            names << LinesRig::lineName(i);
            QVERIFY2(!rig.delivered(i).isEmpty(), qPrintable(names.last() + " carried nothing"));
            for (const QString &text : rig.delivered(i))
                QCOMPARE(on.value(texts.key(text)), names.last());
        }
        QVERIFY(rig.eventsNamed("line-down").isEmpty());

        QVERIFY(rig.waitFor([&] { return lineStates(rig) == repeated(names, "free"); }));
        QCOMPARE(rig.linesJson()["running"].toBool(), true);
        QVERIFY(!rig.linesJson()["updated"].toString().isEmpty());
        for (const QString &name : names)
            QCOMPARE(rig.lineState(name)["failures"].toInt(), 0);
        QList<QStringList> rows = listRows(rig);
        QCOMPARE(rows.size(), lines);
        for (int i = 0; i < lines; ++i)
            QCOMPARE(rows[i], QStringList({"line", names[i], "free", "", "", ""}));
        const QList<QJsonObject> objects = listObjects(rig);
        QCOMPARE(objects.size(), lines);
        QCOMPARE(objects[0],
                 QJsonObject({{"line", "a"}, {"state", "free"}, {"message", ""}, {"until", ""}, {"reason", ""}}));

        QCOMPARE(rig.stopRunner(), 0);
        QCOMPARE(rig.linesJson()["running"].toBool(true), false);
        QCOMPARE(lineStates(rig), repeated(names, "stopped"));
        rows = listRows(rig);
        QCOMPARE(rows.size(), lines);
        QCOMPARE(rows[0], QStringList({"line", "a", "stopped", "", "", ""}));
    }

    void deadLine_data()
    {
        const DeadLine row;
        row("fails every call", {"--fail-every", "1"}, {}, false);
        row("no dial tone", {"--no-dialtone"}, {}, true);
        row("answers nothing", {"--silent"}, QStringLiteral("AnswerLimit=5s"), false);
    }

    // Line a (listed first, so tried first) dead from the start: the messages go out on b,
    // each once, none with a try counted; after 3 failures a goes out of service, the
    // line-down hook and event say so and lines.json shows it down. Its simulator restarted
    // healthy, a is back (hook and event) after the cool-off, at its first success.
    void deadLine()
    {
        const auto [simOptions, lineKeys, hooksOnCommandLine] = DeadLine::row();
        LinesRig rig;
        const QString hook = lineHook(rig);
        const QString iniHooks = hooksOnCommandLine ? QStringLiteral("OnLineDown=false\nOnLineUp=false\n")
                                                    : QStringLiteral("OnLineDown=%1\nOnLineUp=%1\n").arg(hook);
        QVERIFY(rig.writeSettings() && rig.writeQueueIni(2, QueueKeys + iniHooks, {{0, lineKeys}}));
        QVERIFY(rig.startSim(0, simOptions) && rig.startSim(1));
        QVERIFY(rig.startRunner(hooksOnCommandLine ? QStringList{"--on-line-down", hook, "--on-line-up", hook}
                                                   : QStringList()));

        // A message for line a whenever it is free and none waits (it is tried first), until
        // done(); those it fails go out on b meanwhile.
        QStringList texts;
        const auto feedAUntil = [&](const std::function<bool()> &done) {
            return rig.waitFor(
                [&] {
                    if (done())
                        return true;
                    const QString state = rig.lineState("a")["state"].toString();
                    if ((state == u"free" || state == u"trial") && sendqueue::waitingIds(rig.folder).isEmpty()) {
                        texts << QStringLiteral("D%1").arg(texts.size(), 3, 10, QLatin1Char('0'));
                        rig.add(texts.last());
                    }
                    return false;
                },
                60000);
        };
        QVERIFY2(feedAUntil([&] { return rig.lineState("a")["state"] == QLatin1String("down"); }),
                 qPrintable(lineStates(rig).join(u' ')));
        const QJsonObject down = rig.lineState("a");
        QVERIFY(!down["until"].toString().isEmpty());
        QVERIFY(!down["reason"].toString().isEmpty());
        QVERIFY(down["failures"].toInt() >= 3);
        QVERIFY(rig.lineState("b")["state"] != QLatin1String("down"));
        QVERIFY(rig.waitFor([&] { return !rig.eventsNamed("line-down").isEmpty(); }));
        const QJsonObject event = rig.eventsNamed("line-down").first();
        QCOMPARE(event["line"].toString(), QStringLiteral("a"));
        QVERIFY(!event["reason"].toString().isEmpty() && !event["until"].toString().isEmpty());
        QVERIFY2(rig.waitFor([&] { return !hookLines(rig).isEmpty(); }, 10000, {rig.hookLog()}), "no line-down hook");
        QVERIFY2(hookLines(rig).first().startsWith("line-down a ") && hookLines(rig).first().size() > 12,
                 qPrintable(hookLines(rig).first()));
        QVERIFY(rig.waitFor([&] { return rig.allDelivered(texts); }));

        // Healthy again: back at its first success, a trial call after the cool-off.
        rig.killSim(0);
        QVERIFY(rig.startSim(0));
        QVERIFY2(feedAUntil([&] { return !rig.eventsNamed("line-up").isEmpty(); }),
                 qPrintable(lineStates(rig).join(u' ')));
        QCOMPARE(rig.eventsNamed("line-up").first()["line"].toString(), QStringLiteral("a"));
        QVERIFY(
            rig.waitFor([&] { return rig.allDelivered(texts) && hookLines(rig).size() >= 2; }, 30000, {rig.hookLog()}));
        QCOMPARE(hookLines(rig).last(), QStringLiteral("line-up a "));
        QVERIFY(!rig.delivered(0).isEmpty());
        QCOMPARE(rig.eventsNamed("line-down").size(),
                 hookLines(rig).filter(QRegularExpression("^line-down a ")).size());
        QCOMPARE(rig.stopRunner(), 0);

        // Every message once, none failed, none with a try counted.
        const QMap<QString, int> count = rig.deliveries();
        for (const QString &text : std::as_const(texts))
            QVERIFY2(count.value(text) == 1, qPrintable(text));
        for (const QJsonObject &e : rig.eventsNamed("result")) {
            if (e["status"] == QLatin1String("sent"))
                QVERIFY2(e["attempt"].toInt() == 1, qPrintable(e["id"].toString()));
        }
        QCOMPARE(sendqueue::list(rig.folder).size(), 0);
    }

    // A centre every line fails to reach: the message goes to failed/ after its attempts, one
    // call to that centre on each line a round; the other messages go; no line goes down.
    void centreFailsEverywhere()
    {
        LinesRig rig;
        QVERIFY(rig.writeSettings() && rig.writeQueueIni(2, QueueKeys));
        QVERIFY(rig.startSims(2, {"--unreachable", LinesRig::DeadCentreNumber}));
        const QString id = rig.add(QStringLiteral("NOBODY"), QStringLiteral("X"), 2);
        const QStringList texts{"G1", "G2", "G3", "G4"};
        for (const QString &text : texts)
            rig.add(text);
        QVERIFY(rig.startRunner());
        QVERIFY(rig.waitFor([&] {
            return rig.allDelivered(texts) && QFile::exists(sendqueue::failedFolder(rig.folder) + id + ".msg");
        }));
        QCOMPARE(rig.stopRunner(), 0);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(rig.sims[size_t(i)]->field("centre", 0).count(LinesRig::DeadCentreNumber), 3);
        QVERIFY(rig.eventsNamed("line-down").isEmpty());
        const QList<sendqueue::Entry> left = sendqueue::list(rig.folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].state, sendqueue::State::Failed);
        QCOMPARE(rig.deliveries().size(), texts.size());
    }

    // Line a killed in the middle of a call (while queue list shows the message on it): the
    // message goes out on b, once.
    void lineDiesMidCall()
    {
        LinesRig rig;
        QVERIFY(rig.writeSettings() && rig.writeQueueIni(2, QueueKeys));
        QVERIFY(rig.startSim(0, {"--delay", "1000"}) && rig.startSim(1));
        const QString id = rig.add(QStringLiteral("MIDCALL"));
        QVERIFY(rig.startRunner());
        const QString transcript = rig.folder + "line1.txt";
        QVERIFY(rig.waitFor([&] { return readFileBytes(transcript).contains(LinesRig::CentreNumber); }, 30000,
                            {transcript}));

        const QJsonObject calling = rig.lineState("a");
        QCOMPARE(calling["state"].toString(), QStringLiteral("calling"));
        QCOMPARE(calling["message"].toString(), id);
        const QList<QStringList> rows = listRows(rig);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].mid(0, 4), QStringList({"line", "a", "calling", id}));
        QCOMPARE(rows[2].first(), id);
        QCOMPARE(rows[2][1], QStringLiteral("sending"));
        QCOMPARE(rows[2].last(), QStringLiteral("a"));
        QCOMPARE(listObjects(rig).last()["line"].toString(), QStringLiteral("a"));

        rig.killSim(0);
        QVERIFY(rig.waitFor([&] { return sentOn(rig).contains(id); }, 90000));
        QCOMPARE(sentOn(rig).value(id), QStringLiteral("b"));
        QCOMPARE(rig.delivered(1), QStringList{"MIDCALL"});
        QCOMPARE(rig.delivered(0), QStringList());
        const QList<QJsonObject> tries = rig.eventsNamed("message");
        QCOMPARE(tries.size(), 2);
        QCOMPARE(tries[0]["line"].toString(), QStringLiteral("a"));
        QCOMPARE(tries[1]["line"].toString(), QStringLiteral("b"));
        QCOMPARE(rig.stopRunner(), 0);
        QCOMPARE(rig.deliveries(), (QMap<QString, int>{{"MIDCALL", 1}}));
        QCOMPARE(sendqueue::list(rig.folder).size(), 0);
    }

    // The window holds line a (its lock, taken as the window takes it): the messages go out
    // on b, a shows held; once let go, a carries messages again.
    void windowHoldsLine()
    {
        LinesRig rig;
        QVERIFY(rig.writeSettings() && rig.writeQueueIni(2, QueueKeys));
        QVERIFY(rig.startSims(2));
        PortLock window(LockedPort::lockPath(rig.folder, 1));
        QVERIFY(window.tryLock());
        QStringList first{"H1", "H2", "H3", "H4"};
        for (const QString &text : first)
            rig.add(text);
        QVERIFY(rig.startRunner());
        QVERIFY(rig.waitFor([&] { return rig.allDelivered(first); }));
        QStringList onB = rig.delivered(1);
        onB.sort(); // the first went to a, found it held, and came back after the second
        QCOMPARE(onB, first);
        QCOMPARE(rig.delivered(0), QStringList());
        QVERIFY(rig.waitFor([&] { return lineStates(rig) == QStringList({"a:held", "b:free"}); }));
        QCOMPARE(listRows(rig).value(0).mid(0, 3), QStringList({"line", "a", "held"}));
        QVERIFY(rig.eventsNamed("line-down").isEmpty());

        window.unlock();
        QVERIFY(rig.waitFor([&] { return lineStates(rig) == QStringList({"a:free", "b:free"}); }));
        const QStringList after{"F1", "F2", "F3", "F4"};
        for (const QString &text : after)
            rig.add(text);
        QVERIFY(rig.waitFor([&] { return rig.allDelivered(after); }));
        QVERIFY(!rig.delivered(0).isEmpty());
        QCOMPARE(rig.stopRunner(), 0);
        QCOMPARE(rig.deliveries().size(), 8);
        QCOMPARE(rig.delivered().size(), 8);
    }

    // Pages to people through the runner and a centre: a group pages each member once (R named
    // twice), a rota the one on duty (R2, all day every day), and an escalation its second step
    // (the rota) only while its first went unanswered. Page A is acknowledged once its first
    // step went out, page B never; B's second step comes due just after A's would have, so
    // once B's has gone, A's would have been queued too: counted, not timed.
    void pagesToPeople()
    {
        LinesRig rig;
        QVERIFY(rig.writeSettings() && rig.writeQueueIni(1, QueueKeys) && rig.startSims(1));
        QVERIFY(writeFileBytes(rig.folder + "rota.ics",
                               "BEGIN:VCALENDAR\nVERSION:2.0\nBEGIN:VEVENT\nUID:d\nSUMMARY:R2\n"
                               "DTSTART:20000101T000000Z\nDURATION:P1D\nRRULE:FREQ=DAILY\n"
                               "END:VEVENT\nEND:VCALENDAR\n"));
        QVERIFY(writeFileBytes(rig.folder + "oncall.ini", "[Group team]\nMembers=R, R2, R\n"
                                                          "[Rota duty]\nCalendar=rota.ics\nDefault=R\n"
                                                          "[Escalation up]\nStep1=R\nStep2=20s duty\n"));
        QVERIFY(rig.startRunner());
        const auto add = [&](const char *to, const char *text) {
            const ToolRun r = runTool(Tool, {"--folder", rig.folder, "queue", "add", "--to", to, text});
            return r.exitCode == 0 ? QString::fromUtf8(r.out.trimmed()).section(u'\n', 0, 0) : QString();
        };
        QVERIFY(!add("team", "G").isEmpty() && !add("duty", "D").isEmpty());
        const QString a = add("up", "A");
        const QString b = add("up", "B");
        QVERIFY(!a.isEmpty() && !b.isEmpty());
        const QString R = QStringLiteral("09000000001"), R2 = QStringLiteral("09000000003");
        QVERIFY2(rig.waitFor([&] { return calls(rig, 0).contains(R + "|A"); }, 60000),
                 qPrintable(calls(rig, 0).join(u' ')));
        QCOMPARE(runTool(Tool, {"--folder", rig.folder, "queue", "ack", a}).exitCode, 0);
        QVERIFY2(rig.waitFor([&] { return calls(rig, 0).contains(R2 + "|B"); }, 90000),
                 qPrintable(calls(rig, 0).join(u' ')));
        QCOMPARE(rig.stopRunner(), 0);
        QStringList seen = calls(rig, 0);
        seen.sort();
        QCOMPARE(seen, QStringList({R + "|A", R + "|B", R + "|G", R2 + "|B", R2 + "|D", R2 + "|G"}));
        QStringList pages; // as queue list shows them
        for (const QJsonObject &o : listObjects(rig))
            if (o.contains("page"))
                pages << QStringLiteral("%1 %2 %3/%4")
                             .arg(o["page"] == a ? "A" : "B", o["state"].toString())
                             .arg(o["step"].toInt())
                             .arg(o["steps"].toInt());
        QCOMPARE(pages, QStringList({"A acknowledged 1/2", "B exhausted 2/2"}));
    }
};

QTEST_GUILESS_MAIN(tst_SendLines)
#include "tst_sendlines.moc"
