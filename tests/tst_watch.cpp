// The silence and the storm. Heartbeats: [Heartbeat NAME] read from oncall.ini; the
// runner's watch on its virtual clock through beats in time, a silence, the beat that ends
// it, restarts and the first start; beats from the command line and from mail, with their
// exit statuses. The rate per person: when a person's window is full, when it reopens, and
// the summary page's text; an escalation's steps, whoever started it, neither taken for
// repeats nor folded into a summary, while plain repeats still are.
#include "support/filehelpers.h"
#include "support/quietreporter.h"
#include "support/scriptedrunner.h"
#include "support/sendrig.h"
#include "support/table.h"
#include "support/virtualclock.h"

#include "gateway/calldriver.h"
#include "gateway/dedup.h"
#include "gateway/heartbeat.h"
#include "gateway/oncall.h"
#include "gateway/pages.h"
#include "gateway/personrate.h"
#include "gateway/queuerunner.h"
#include "store/inifile.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

} // namespace

// read: "every/grace/page/text/restored" of the heartbeat "wd"; error: a piece of the
// file's refusal (empty: read)
using Rules = table::Of<QByteArray, QString, QString>;

// steps: "+S" advances S seconds, "beat" beats now (the watch told, as the folder's
// watcher tells it), "stop" the watch goes, "restart" a new one on the same folder, "fail"
// the next page fails, "=N" N pages so far; pages: "to|text" in order
using Watch = table::Of<QStringList, QStringList>;

// args after "queue heartbeat"; mail: standard input (from mail with --mail); status;
// beat: whether the beat was kept
using Beats = table::Of<QStringList, QByteArray, int, bool>;

// pages: "person@second" that went; max; a page to person at now (seconds) with inFlight
// calls to them under way; free: when it may go (-1: not before those calls end)
using Rates = table::Of<QStringList, int, QString, int, int, int>;

using Summaries = table::Of<QStringList, QString>;

// handed in, in order, to R0 or the escalation "up" (Step1=R0, Step2=1m R0, Repeat=1):
// "beat" (a silence of heartbeat wd, as the runner pages it), "mail" (queue add --mail),
// "add:TEXT" (addBatch here), "cli:TEXT" (queue add, another writer); calls: the texts of the first call and of the one
// after the window of MaxPerPerson=1 reopened; left: the messages still waiting; suppressed
using Storms = table::Of<QStringList, QStringList, int, int>;

class tst_Watch : public QObject
{
    Q_OBJECT
private slots:
    void rules_data()
    {
        const Rules row;
        row("defaults", "[Heartbeat wd]\nPage=R0\n", "300/120/R0/{name} からの連絡が途絶えました/", {});
        row("all keys", "[Heartbeat wd]\nEvery=1m\nGrace=0\nPage=team\nText=x {name}\nRestored=ok\n",
            "60/0/team/x {name}/ok", {});
        row("to an escalation", "[Heartbeat wd]\nPage=up\n", "300/120/up/{name} からの連絡が途絶えました/", {});
        row("no page", "[Heartbeat wd]\nEvery=5m\n", {}, "Page= が要ります");
        row("unknown page", "[Heartbeat wd]\nPage=nobody\n", {}, "Page=nobody は知らない名前です");
        row("every of no time", "[Heartbeat wd]\nEvery=0\nPage=R0\n", {}, "Every=0 は 1 秒から 7 日");
        row("grace too long", "[Heartbeat wd]\nGrace=8d\nPage=R0\n", {}, "Grace=8d");
        row("no name", "[Heartbeat]\nPage=R0\n", {}, "[Heartbeat] の名前");
    }
    void rules()
    {
        const auto [ini, read, error] = Rules::row();
        const QByteArray others = "[Group team]\nMembers=R0\n[Escalation up]\nStep1=R0\n";
        const OnCall o = OnCall::parse(IniFile::parse(others + ini), QStringLiteral("/nonexistent/"), {"R0"});
        QVERIFY2(o.error().contains(error), qPrintable(o.error()));
        QCOMPARE(o.ok(), error.isEmpty());
        if (!o.ok())
            return;
        QVERIFY2(o.problems().isEmpty(), qPrintable(o.problems().join(u'\n')));
        const Heartbeat h = o.heartbeats().value(QStringLiteral("wd"));
        QCOMPARE(
            QStringList({QString::number(h.everyS), QString::number(h.graceS), h.page, h.text, h.restored}).join(u'/'),
            read);
    }

    // Every=5m, Grace=2m: a silence pages 7 minutes after the last beat (or the first start).
    void watch_data()
    {
        const Watch row;
        const QString silent = QStringLiteral("R0|wd からの連絡が途絶えました");
        const QString back = QStringLiteral("R0|wd 復旧");
        row("beats in time", {"+240", "beat", "+400", "beat", "+419", "=0"}, {});
        row("first start: the clock starts then", {"+419", "=0", "+1", "=1"}, {silent});
        row("silence pages once", {"+420", "=1", "+36000", "=1"}, {silent});
        row("a beat ends it with the restored page", {"+420", "+60", "beat", "=2", "+419", "=2", "+1", "=3"},
            {silent, back, silent});
        row("restart mid-silence: not paged again", {"+420", "=1", "+60", "restart", "+3600", "=1", "beat", "=2"},
            {silent, back});
        row("restart before the deadline keeps the last beat", {"+100", "beat", "+300", "restart", "+119", "=0", "+1"},
            {silent});
        row("a silence while stopped pages at the start", {"+60", "beat", "stop", "+1000", "restart", "=1"}, {silent});
        row("a beat while stopped ends the silence at the start",
            {"+420", "=1", "stop", "+60", "beat", "restart", "=2"}, {silent, back});
        row("a beat within the second is not written", {"+0.5", "beat", "+419.4", "=0", "+0.1", "=1"}, {silent});
        row("a page that fails is tried a minute later", {"fail", "+420", "=0", "+59", "=0", "+1", "=1"}, {silent});
    }
    void watch()
    {
        const auto [steps, pages] = Watch::row();
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        Heartbeat h;
        h.name = QStringLiteral("wd");
        h.page = QStringLiteral("R0");
        h.text = QString::fromUtf8(Heartbeat::DefaultText);
        h.restored = QStringLiteral("{name} 復旧");
        QuietReporter reporter;
        VirtualClock clock;
        QStringList paged;
        bool fail = false;
        const auto pager = [&](const QString &to, const QString &text) {
            if (std::exchange(fail, false))
                return QStringLiteral("the queue is full");
            paged << to + u'|' + text;
            return QString();
        };
        const auto start = [&] {
            auto w = std::make_unique<HeartbeatWatch>(
                folder, [&] { return std::optional(QList<Heartbeat>{h}); }, pager, reporter, clock);
            w->start();
            return w;
        };
        auto watch = start();
        for (const QString &step : steps) {
            if (step.startsWith(u'+')) {
                clock.advance(qRound64(step.mid(1).toDouble() * 1000));
            } else if (step.startsWith(u'=')) {
                QVERIFY2(paged.size() == step.mid(1).toInt(), qPrintable(step + ": " + paged.join(u',')));
            } else if (step == u"beat") {
                QCOMPARE(heartbeats::beat(folder, h.name, clock.now()), QString());
                if (watch)
                    watch->check();
            } else if (step == u"stop") {
                watch.reset();
            } else if (step == u"restart") {
                watch = start();
            } else if (step == u"fail") {
                fail = true;
            }
        }
        QCOMPARE(paged, pages);
    }

    void rates_data()
    {
        const Rates row;
        const QStringList two{"A@0", "A@100"};
        row("under the limit", {"A@0"}, 2, "A", 10, 0, 10);
        row("the same person at the limit waits for the oldest to leave", two, 2, "A", 200, 0, 600);
        row("another person goes", two, 2, "B", 200, 0, 200);
        row("after the window", two, 2, "A", 600, 0, 600);
        row("the oldest of the last ones counts", {"A@0", "A@100", "A@300"}, 2, "A", 350, 0, 700);
        row("a call under way counts", {"A@0"}, 2, "A", 10, 1, 600);
        row("calls under way fill it", {}, 2, "A", 10, 2, -1);
        row("pages of a clock set back do not count", {"A@1000", "A@1100"}, 2, "A", 500, 0, 500);
        row("no limit", QStringList(50, "A@0"), 0, "A", 1, 0, 1);
        row("the default: 6 per 10 minutes", QStringList(5, "A@0") << "A@30", PersonRate::DefaultMax, "A", 60, 0, 600);
    }
    void rates()
    {
        const auto [pages, max, person, now, inFlight, free] = Rates::row();
        PersonRate rate(max, PersonRate::DefaultPerMs);
        for (const QString &page : pages)
            rate.paged(page.section(u'@', 0, 0), page.section(u'@', 1).toLongLong() * 1000);
        const qint64 at = rate.freeAt(person, qint64(now) * 1000, inFlight);
        QCOMPARE(at == PersonRate::Never ? -1 : at / 1000, qint64(free));
    }
    void summaries_data()
    {
        const Summaries row;
        row("two", {"DISK FULL", "WEB DOWN"}, "他2件：DISK FULL / WEB DOWN");
        row("the first five of seven", {"1", "2", "3", "4", "5", "6", "7"}, "他7件：1 / 2 / 3 / 4 / 5");
        row("white space squeezed", {"A\n B", "\tC　D "}, "他2件：A B / C D");
    }
    void summaries()
    {
        const auto [texts, summary] = Summaries::row();
        QCOMPARE(PersonRate::summaryText(texts), summary);
    }

    void storms_data()
    {
        const Storms row;
        const QString step = QStringLiteral("WD DOWN #code");
        row("heartbeat to an escalation, twice", {"beat", "beat"}, {step, step}, 6, 0);
        row("mail to an escalation, twice", {"mail", "mail"}, {step, step}, 6, 0);
        row("plain repeats still suppressed, the rest folded", {"add:A", "add:A", "add:A", "add:B", "add:C"},
            {"A", "他2件：B / C"}, 0, 2);
        row("steps beside a storm: the storm folded, the steps not", {"beat", "add:B", "add:C", "add:B"}, {step, step},
            3, 1);
        row("another writer's page and repeats seen here", {"add:A", "cli:B", "add:B", "cli:A", "add:A"}, {"A", "B"}, 0,
            3);
    }
    void storms()
    {
        const auto [handedIn, calls, left, suppressed] = Storms::row();
        QTemporaryDir dir;
        const QString folder = makeSendFolder(dir);
        QVERIFY(!folder.isEmpty());
        QVERIFY(writeFileBytes(folder + "oncall.ini",
                               "[Escalation up]\nStep1=R0\nStep2=1m R0\nRepeat=1\n[Heartbeat wd]\nPage=up\n"));
        QVERIFY(writeFileBytes(folder + "mail.ini", "[Mail]\nAllowFrom=@example.jp\n"));
        const auto pager = heartbeats::pager(folder, DeviceAccess{}, QueuedMessage{});
        for (const QString &what : handedIn) {
            if (what == u"beat") {
                QCOMPARE(pager(QStringLiteral("up"), QStringLiteral("WD DOWN")), QString());
            } else if (what == u"mail") {
                const ToolRun r = runTool(Tool, {"--folder", folder, "queue", "add", "--mail", "--to", "up"},
                                          "From: nagios@example.jp\nSubject: WD\n\nDOWN\n");
                QVERIFY2(r.exitCode == 0, qPrintable(r.err));
            } else if (what.startsWith(u"cli:")) {
                const ToolRun r = runTool(Tool, {"--folder", folder, "queue", "add", "--to", "R0", what.mid(4)});
                QVERIFY2(r.exitCode == 0, qPrintable(r.err));
            } else {
                const BatchResult r = addBatch(folder, {{Target{"R0", {}, {}, false}, what.mid(4)}}, {}, {});
                QVERIFY(!r.refusal && r.notStored.isEmpty());
            }
        }
        // Every step of every page queued: the first and its repeat, four in all.
        const auto queuer = pages::stepQueuer(folder, {}, {}, QString::fromLatin1(OnCall::DefaultAckSuffix));
        for (PageState &p : pages::all(folder))
            QCOMPARE(pages::runDue(folder, p, p.started + 3600, queuer).steps, 3);
        VirtualClock clock; // outlives the runner
        RunnerRig<QuietReporter> rig(folder);
        rig.settings.maxPerPerson = 1;
        rig.runnerClock = &clock;
        QVERIFY(rig.start() && rig.waitForTries(1));
        clock.advance(PersonRate::DefaultPerMs + 1);
        QVERIFY(rig.waitForTries(2) && rig.stop());
        QStringList &texts = rig.script.texts;
        texts.replaceInStrings(QRegularExpression(QStringLiteral("#\\d{6}$")), QStringLiteral("#code"));
        QCOMPARE(texts, calls);
        QCOMPARE(sendqueue::waitingIds(folder).size(), left);
        QCOMPARE(DedupIndex::load(folder).suppressed, quint64(suppressed));
    }

    void beats_data()
    {
        const Beats row;
        const QByteArray mail = "From: cron@example.jp\nSubject: alive\n\nok\n";
        row("from cron", {"wd"}, {}, 0, true);
        row("unknown name", {"nobody"}, {}, 2, false);
        row("no name", {}, {}, 2, false);
        row("a mail from an allowed sender", {"--mail", "wd"}, mail, 0, true);
        row("a mail's envelope sender counts", {"--mail", "--sender", "x@evil.example", "wd"}, mail, 77, false);
        row("a mail from someone else", {"--mail", "wd"}, "From: x@evil.example\n\nok\n", 77, false);
        row("a mail to an unknown heartbeat", {"--mail", "nobody"}, mail, 67, false);
        row("a bounce beats nothing", {"--mail", "--sender", "", "wd"}, mail, 0, false);
        row("not a mail", {"--mail", "wd"}, QByteArray(), 65, false);
    }
    void beats()
    {
        const auto [args, mail, status, beat] = Beats::row();
        QTemporaryDir dir;
        const QString folder = makeSendFolder(dir);
        QVERIFY(!folder.isEmpty());
        QVERIFY(writeFileBytes(folder + "oncall.ini", "[Heartbeat wd]\nPage=R0\n"));
        QVERIFY(writeFileBytes(folder + "mail.ini", "[Mail]\nAllowFrom=@example.jp\n"));
        const ToolRun r = runTool(Tool, QStringList{"--folder", folder, "queue", "heartbeat"} + args, mail);
        QVERIFY2(r.exitCode == status, qPrintable(QString::number(r.exitCode) + ": " + r.err));
        QCOMPARE(heartbeats::lastBeat(folder, QStringLiteral("wd")).has_value(), beat);
    }
};

QTEST_GUILESS_MAIN(tst_Watch)
#include "tst_watch.moc"
