// The send queue under SIGKILL: "queue add" and "queue run" killed at random moments,
// round after round, with every third call failing, on the window's one line and on two
// lines behind the queue. No message is ever lost or half written: each one added is,
// after every kill, either delivered to a simulated centre or whole in exactly one of the
// spool's folders, and in the end every one is delivered.
// And a batch: a mail of nine pages killed on its way into the queue, round after round,
// is there whole or not at all.
// Rounds: FUMIDORI_KILL_ROUNDS (scripts/killtest runs more).
#include "support/linesrig.h"
#include "support/table.h"

#include "store/sendqueue.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

using KilledAnywhere = table::Of<int, int>; // lines in queue.ini (0: the window's one), rounds

// Lets the process run for ms milliseconds of the event loop, then kills it.
void killAfter(QProcess &p, int ms)
{
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    p.kill();
    p.waitForFinished(5000);
}

} // namespace

class tst_SendKill : public QObject
{
    Q_OBJECT
private slots:

    void killedAnywhere_data()
    {
        const int asked = qEnvironmentVariableIntValue("FUMIDORI_KILL_ROUNDS");
        const KilledAnywhere row;
        row("the window's one line", 0, asked > 0 ? asked : 8);
        row("two lines", 2, asked > 0 ? asked : 20);
    }

    void killedAnywhere()
    {
        const auto [lines, rounds] = KilledAnywhere::row();
        LinesRig rig; // one centre without waits, so that calls are short
        const QString &folder = rig.folder;
        QVERIFY(rig.writeSettings() && rig.writeQueueIni(lines));
        QVERIFY(rig.startSims(qMax(lines, 1), {"--fail-every", "3"}));
        QRandomGenerator random(rounds);

        // Adds, every other one killed on its way.
        QMap<QString, QString> added; // id → text, of the adds that finished
        for (int i = 0; i < 12; ++i) {
            const QString text = QStringLiteral("M%1").arg(i, 2, 10, QLatin1Char('0'));
            QProcess add;
            add.start(Tool,
                      {"--folder", folder, "queue", "add", "--to", "R", "--delays", "0s", "--attempts", "1000", text});
            if (i % 2)
                killAfter(add, random.bounded(40));
            else
                QVERIFY(add.waitForFinished(10000));
            if (add.exitStatus() == QProcess::NormalExit && add.exitCode() == 0)
                added[QString::fromUtf8(add.readAllStandardOutput().trimmed())] = text;
        }
        QVERIFY(added.size() >= 6);

        auto check = [&](const QString &when) {
            QStringList seen;
            for (const QString &sub : {QString(), QStringLiteral("work/"), QStringLiteral("failed/")}) {
                const QString at = sendqueue::queueFolder(folder) + sub;
                for (const QString &name : QDir(at).entryList(QDir::Files)) {
                    if (!name.endsWith(".msg"))
                        continue; // a temporary file of a killed writer, never taken for a message
                    QString problem;
                    const QString id = name.chopped(4);
                    QVERIFY2(sendqueue::read(at, id, &problem), qPrintable(when + ": " + name + ": " + problem));
                    QVERIFY2(!seen.contains(id), qPrintable(when + ": twice: " + id));
                    seen << id;
                }
            }
            const QStringList delivered = rig.delivered();
            for (auto it = added.cbegin(); it != added.cend(); ++it)
                QVERIFY2(seen.contains(it.key()) || delivered.contains(it.value()),
                         qPrintable(when + ": lost " + it.key()));
        };
        check(QStringLiteral("after the adds"));
        for (int round = 0; round < rounds; ++round) {
            QProcess run;
            run.start(Tool, {"--folder", folder, "--quiet", "queue", "run"});
            QVERIFY(run.waitForStarted());
            killAfter(run, random.bounded(300));
            check(QStringLiteral("round %1").arg(round));
        }

        // At last a runner left alone sends everything, each message once more at most
        // than the runners killed.
        QVERIFY(rig.startRunner());
        QVERIFY(rig.waitFor([&] { return rig.allDelivered(added.values()); }, 60000));
        rig.stopRunner(); // it may not have reached its signal handler yet: all was sent before
        QCOMPARE(rig.runner.state(), QProcess::NotRunning);
        const QStringList delivered = rig.delivered();
        for (const QString &text : std::as_const(added))
            QVERIFY(delivered.count(text) <= 1 + rounds);
        QCOMPARE(sendqueue::list(folder).size(), 0);
    }

    void batchKilled()
    {
        const int asked = qEnvironmentVariableIntValue("FUMIDORI_KILL_ROUNDS");
        const int rounds = asked > 0 ? asked : 50;
        LinesRig rig;
        const QString &folder = rig.folder;
        // The same mail every round: each one a page of its own, not a repeat of the last.
        QVERIFY(rig.writeSettings() && rig.writeQueueIni(0, "DedupFor=0"));
        QVERIFY(writeFileBytes(folder + "mail.ini", "[Mail]\nAllowFrom=*\nSplit=1\nMaxParts=9\n"));
        const QByteArray mail = "From: a@example.jp\nSubject: S\n\n" + QByteArray(2000, 'A') + "\n";
        // Every page there is, read as the runner would; whoever reads first takes the batch in.
        const auto pages = [&] {
            int n = 0;
            for (const sendqueue::Entry &e : sendqueue::list(folder))
                n += e.problem.isEmpty() ? 1 : 1000;
            return n;
        };
        const auto add = [&](int killAtMs) {
            QProcess p;
            p.start(Tool,
                    {"--folder", folder, "--quiet", "queue", "add", "--mail", "--to", "R", "--sender", "a@example.jp"});
            p.write(mail);
            p.closeWriteChannel();
            if (killAtMs >= 0)
                killAfter(p, killAtMs);
            else
                p.waitForFinished(10000);
            return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        };
        // The kills walk up and down the moment the batch goes in (later after a round that
        // left nothing, earlier after one that left the batch), with a little jitter: most
        // fall in the last part of an add's life, where it writes.
        QElapsedTimer took;
        took.start();
        QVERIFY(add(-1));
        int edge = int(took.elapsed());
        QCOMPARE(pages(), 9);
        QRandomGenerator random(rounds);
        int whole9 = 1, none = 0;
        for (int round = 0; round < rounds; ++round) {
            for (const sendqueue::Entry &e : sendqueue::list(folder))
                QVERIFY(sendqueue::drop(folder, e.id).ok());
            const bool finished = add(qMax(0, edge + int(random.bounded(5)) - 2));
            const int n = pages();
            QVERIFY2(n == 0 || n == 9, qPrintable(QStringLiteral("round %1: %2 pages").arg(round).arg(n)));
            QVERIFY(!finished || n == 9);
            ++(n ? whole9 : none);
            edge = qMax(1, edge + (n ? -1 : 1));
        }
        qInfo("%d batches whole, %d not there (the last kill at %d ms)", whole9, none, edge);
    }
};

QTEST_GUILESS_MAIN(tst_SendKill)
#include "tst_sendkill.moc"
