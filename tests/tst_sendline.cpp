// fumidori-send end to end over pseudo-terminals with fumidori-modemsim: a send per
// device kind (the mobile-phone module's too), the exit statuses, refusals before any
// byte, the --json events, the queue with failing calls, and the window and a script
// sharing a folder and a line.
#include "support/fakeplatform.h"
#include "support/filehelpers.h"
#include "support/linelogfile.h"
#include "support/modemsim.h"
#include "support/press.h"
#include "support/sendrig.h"
#include "support/table.h"

#include "app/lifecycle.h"
#include "modem/comport.h"
#include "modem/lockedport.h"
#include "modem/sendengine.h"
#include "store/appdata.h"
#include "store/historyfile.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"
#include "ui/frmmain.h"
#include "ui/mailedit.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

// Settings on COM1 with one centre of the kind and recipients R0 and R1; no waits.
bool writeSettings(const QString &folder, int modemKind, int centerKind, int okCheckNo = 0)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.settings.ModemKind = qint16(modemKind);
    data.settings.OkCheckNo = qint16(okCheckNo);
    data.settings.MailInterval = 0;
    data.centers << MessageCenter{QStringLiteral("C"), qint16(centerKind), QStringLiteral("0570000111"), 40, 0, 0, 0};
    data.recipients << Recipient{QStringLiteral("R0"), 0, QStringLiteral("09000000000")}
                    << Recipient{QStringLiteral("R1"), 0, QStringLiteral("09000000001")};
    return !SaveSettingsFile(data) && !SaveHistoryFile(data);
}

QList<HistoryEntry> history(const QString &folder)
{
    AppData data;
    data.folder = folder;
    if (LoadSettingsFile(data) || LoadHistoryFile(data))
        return {};
    return data.history.used();
}

// A folder with the settings above (a modem, centre kind 0) and a simulator on its COM1.
struct SimFolder {
    TempDir dir;
    QString folder = dir.path() + u'/';
    ModemSim sim;
    // Many pages to one person: no rate per person here (tst_sender has its own test).
    bool start(const QStringList &options)
    {
        return writeSettings(folder, 0, 0) && QDir().mkpath(folder + "queue") &&
               writeFileBytes(folder + "queue/queue.ini", "[Queue]\nMaxPerPerson=0\n") && sim.start(folder, 1, options);
    }
};

ToolRun runSend(const QStringList &args)
{
    return runTool(Tool, args, {}, QProcessEnvironment::systemEnvironment(), 60000);
}

// The --json events a run printed, one a line.
QList<QJsonObject> events(const QByteArray &out)
{
    QList<QJsonObject> events;
    for (const QByteArray &line : out.split('\n'))
        if (!line.isEmpty())
            events << QJsonDocument::fromJson(line).object();
    return events;
}

} // namespace

using Send = table::Of<int, int, int, QStringList, int>;

using RefusedBeforeAnyByte = table::Of<QString, QString>;

class tst_SendLine : public QObject
{
    Q_OBJECT
private slots:
    void send_data()
    {
        const Send row;
        for (int kind = 0; kind < 8; ++kind)
            QTest::addRow("device kind %d", kind) << Send::Row{kind, 0, 0, {}, 0};
        row("star stage", 0, 2, 0, {}, 0);
        row("mobile-phone module, star stage", 8, 2, 0, {"--kind", "module"}, 0);
        row("OK not checked", 0, 0, 1, {}, 0);
        row("NO CARRIER", 0, 0, 0, {"--no-carrier-after", "4"}, 1);
        row("the call fails", 0, 0, 0, {"--fail-every", "1"}, 1);
        row("no dial tone", 0, 0, 0, {"--no-dialtone"}, 1);
        row("the centre never answers", 0, 0, 0, {"--unreachable", "0570000111"}, 1);
        row("another centre never answers", 0, 0, 0, {"--unreachable", "0570000112"}, 0);
        row("the line goes", 0, 0, 0, {"--drop-after", "3"}, 1);
    }
    // One send: the exit status, what the centre received, the history, and the --json
    // events in their order.
    void send()
    {
        const auto [modemKind, centerKind, okCheckNo, simOptions, status] = Send::row();
        TempDir dir;
        const QString folder = dir.path() + u'/';
        QVERIFY(writeSettings(folder, modemKind, centerKind, okCheckNo));
        ModemSim sim;
        QVERIFY(sim.start(folder, 1, simOptions));
        const QString text = QStringLiteral("ﾃｽﾄ ABC-123 あいう漢字");
        const ToolRun r = runSend({"--folder", folder, "--to", "R0", "--json", text});
        QVERIFY2(r.exitCode == status, qPrintable(r.err));
        QStringList order;
        const QList<QJsonObject> printed = events(r.out);
        for (const QJsonObject &e : printed) {
            const QString name = e.value("event").toString();
            const QString detail = e.value(name == "stage" ? "stage" : "status").toString();
            if (order.isEmpty() || order.last() != name + ':' + detail)
                order << name + ':' + detail;
        }
        if (status == 0) {
            QStringList expected{"stage:call", "stage:number", "stage:mail", "progress:"};
            if (centerKind == 2)
                expected << "stage:star";
            QCOMPARE(order, expected << "stage:hungup"
                                     << "result:sent");
            QCOMPARE(printed.last().value("exit").toInt(), 0);
            QCOMPARE(sim.field("message", 1), QStringList{text});
            QCOMPARE(history(folder).size(), 1);
            QCOMPARE(history(folder)[0].message, text);
        } else {
            QCOMPARE(order.last(), QStringLiteral("result:failed"));
            QVERIFY(sim.field("message", 1).isEmpty());
            QVERIFY(history(folder).isEmpty());
        }
        // The line log: every byte the simulator received, in order (its records' fields
        // and order are tst_linelog's).
        const QList<LogRecord> records = readLineLog(folder + "log/line.log");
        QVERIFY(records.size() > 3);
        // The outcome comes last, but for a hang-up still under way (the module's).
        qsizetype end = records.size() - 1;
        while (end > 0 && records[end].mark != '!' && (records[end].mark == '>' || records[end].mark == '<'))
            --end;
        QCOMPARE(records[end].mark, '!');
        QVERIFY2(records[end].text.startsWith(status == 0 ? "end: sent" : "end: failed: "), records[end].text);
        sim.process.terminate();
        QVERIFY(sim.process.waitForFinished(5000));
        QCOMPARE(joinedLog(records, '>'), transcriptReceived(folder + "line1.txt"));
    }
    void refusedBeforeAnyByte_data()
    {
        const RefusedBeforeAnyByte row;
        row("too long", QString(41, u'A'), "41 文字");
        row("uncodable", "A😀", "「😀」");
    }
    void refusedBeforeAnyByte()
    {
        const auto [text, said] = RefusedBeforeAnyByte::row();
        TempDir dir;
        const QString folder = dir.path() + u'/';
        QVERIFY(writeSettings(folder, 0, 0));
        ModemSim sim;
        QVERIFY(sim.start(folder, 1));
        const ToolRun r = runSend({"--folder", folder, "--to", "R0", text});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(said), qPrintable(r.err));
        sim.process.terminate();
        QVERIFY(sim.process.waitForFinished(5000));
        QVERIFY(QFile::exists(folder + "line1.txt"));
        QVERIFY(!readFileBytes(folder + "line1.txt").contains(" rx ")); // the program wrote nothing
    }
    // Twenty messages with every third call failing, and one to a name the book does not
    // have: all twenty reach the centre once, the failed ones on their second try; the
    // unknown name waits in failed/ and delays nobody.
    void queueWithFailingCalls()
    {
        SimFolder f;
        QVERIFY(f.start({"--fail-every", "3"}));
        const QString &folder = f.folder;
        ModemSim &sim = f.sim;
        QStringList texts;
        for (int i = 0; i < 21; ++i) {
            QueuedMessage m;
            m.to = i == 10 ? QStringLiteral("Ghost") : QStringLiteral("R1");
            m.text = QStringLiteral("M%1").arg(i, 2, 10, QLatin1Char('0'));
            m.delays = {0};
            QVERIFY(sendqueue::add(folder, m).ok());
            if (i != 10)
                texts << m.text;
        }
        QProcess run;
        run.start(Tool, {"--folder", folder, "--json", "--quiet", "queue", "run"});
        QMap<QString, int> attempts; // the attempt each message was sent on
        int results = 0;
        while (results < 30 && run.waitForReadyRead(20000)) {
            while (run.canReadLine()) {
                const QJsonObject e = QJsonDocument::fromJson(run.readLine()).object();
                if (e.value("event") != QLatin1String("result"))
                    continue;
                ++results;
                if (e.value("status") == QLatin1String("sent"))
                    attempts[e.value("id").toString()] = e.value("attempt").toInt();
            }
        }
        run.terminate();
        QVERIFY(run.waitForFinished(10000));
        QCOMPARE(results, 30);
        QCOMPARE(sim.field("message", 29), texts);
        QCOMPARE(attempts.size(), 20);
        QCOMPARE(int(std::count(attempts.cbegin(), attempts.cend(), 2)), 9);
        const QList<sendqueue::Entry> left = sendqueue::list(folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].state, sendqueue::State::Failed);
        QVERIFY(left[0].message.failure.contains("Ghost"));
        QCOMPARE(history(folder).size(), 20);
    }
    // SIGTERM while a call is under way on a slow modem: the runner hangs up and ends
    // within seconds, the message stays queued with no try counted.
    void queueStopsMidCall()
    {
        SimFolder f;
        QVERIFY(f.start({"--delay", "1500"}));
        const QString &folder = f.folder;
        QueuedMessage m;
        m.to = QStringLiteral("R1");
        m.text = QStringLiteral("STOP");
        QVERIFY(sendqueue::add(folder, m).ok());
        QProcess run;
        run.start(Tool, {"--folder", folder, "--json", "--quiet", "queue", "run"});
        bool calling = false;
        while (!calling && run.waitForReadyRead(20000)) {
            while (run.canReadLine())
                calling =
                    calling || QJsonDocument::fromJson(run.readLine()).object().value("stage").toString() == u"call";
        }
        QVERIFY(calling);
        run.terminate();
        QVERIFY(run.waitForFinished(5000));
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.exitCode(), 0);
        const QList<sendqueue::Entry> left = sendqueue::list(folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].state, sendqueue::State::Waiting);
        QCOMPARE(left[0].message.tried, 0);
        QVERIFY(history(folder).isEmpty());
    }
    // The window open on the folder. On another line a script sends meanwhile, and both
    // history entries survive the window's exit; on the window's line during its call the
    // script finds the line busy (3), and once the window has hung up it sends.
    void windowAndScript()
    {
        TempDir dir;
        const QString folder = dir.path() + u'/';
        QVERIFY(writeSettings(folder, 0, 0));
        ModemSim script, window;
        QVERIFY(script.start(folder, 1) && window.start(folder, 2));
        FakePlatform fake;
        AppData data;
        data.folder = folder;
        ComPort com(folder);
        LockedPort port(com, folder);
        frmMain w(data, fake.platform, port);
        w.Form_Load();
        data.settings.PortNumber = 2; // changed in the options, not yet saved
        w.txtMail->setPlainText(QStringLiteral("WINDOW"));
        const auto press = [&] { QVERIFY(pressAndSettle(w.engine(), [&] { w.engine().send(); })); };
        press(); // the window's call is open on COM2
        QVERIFY(w.engine().lineOpen());
        QCOMPARE(runSend({"--folder", folder, "--to", "R1", "SCRIPT"}).exitCode, 0);
        pressThrough(w.engine(), [&] { w.engine().send(); });
        QCOMPARE(w.engine().stage(), SendStage::Done);

        data.settings.PortNumber = 1; // the script's line
        press();                      // after a whole send the first press only readies the next
        press();
        QVERIFY(w.engine().lineOpen());
        const ToolRun busy = runSend({"--folder", folder, "--to", "R1", "BUSY"});
        QCOMPARE(busy.exitCode, 3);
        w.engine().hangUp();
        QCOMPARE(runSend({"--folder", folder, "--to", "R1", "AFTER"}).exitCode, 0);
        QCOMPARE(script.field("message", 2), QStringList({"SCRIPT", "AFTER"}));
        QCOMPARE(window.field("message", 1), QStringList({"WINDOW"}));

        try {
            w.cmdExit_Click();
        } catch (const ProcessEnded &) {
        }
        lifecycle::releaseInstanceLock();
        QStringList messages;
        for (const HistoryEntry &e : history(folder))
            messages << e.message;
        messages.sort(); // their order within one second is the merge's (tst_sender)
        QCOMPARE(messages, QStringList({"AFTER", "SCRIPT", "WINDOW"}));
    }
};

QTEST_MAIN(tst_SendLine)
#include "tst_sendline.moc"
