// What becomes of a message after a call (fail over, retry at a time, give up, put back,
// hold the line) and how long a failing line rests, as the runner and a direct send
// decide them: tables on a clock standing at a fixed time.
#include "gateway/decisions.h"
#include "gateway/dedup.h"
#include "support/table.h"

#include <QTest>

using namespace decisions;

// failure, line, another line may carry it, tried before, attempts, step, retry after (s)
using Decides = table::Of<Failure, LineState, bool, int, int, Step, int>;
// the line's failures wait for their blame, another line may carry the message, taken
using Takes = table::Of<bool, bool, bool>;
// base (s), rests, cool-off (s)
using CoolsOff = table::Of<int, int, int>;
// service, failures in a row, another line serves, service after the failure
using Fails = table::Of<Service, int, bool, Service>;
// CheckEvery= (s), the line's kind has a check, what it does when its cool-off ends
using Returns = table::Of<int, bool, Return>;
// taken in before ("who=text/page@seconds ago", id "m<n>" by order), the message
// ("who=text/page"), DedupFor= (s), the id it repeats (empty: paged)
using Repeats = table::Of<QStringList, QString, int, QString>;

class TestDecisions : public QObject
{
    Q_OBJECT
    static constexpr qint64 Now = 1'800'000'000'000;

private slots:
    void decides_data()
    {
        const Decides row;
        using enum Failure;
        using enum Step;
        constexpr LineState Calling = LineState::Calling, Stopping = LineState::Stopping;
        row("sent", None, Calling, true, 0, 3, Sent, 0);
        row("sent, stopped in the wait before the hang-up", None, Stopping, false, 0, 3, Sent, 0);
        row("stopped during the call", CallFailed, Stopping, true, 0, 3, PutBack, 0);
        row("stopped before the call", Stopped, Calling, true, 2, 3, PutBack, 0);
        row("held by another program", Held, Calling, true, 0, 3, Hold, 0);
        row("held, the last line", Held, Calling, false, 3, 3, Hold, 0);
        row("not for this line", NotForLine, Calling, false, 0, 3, PutBack, 0);
        row("device fails over", DeviceFailed, Calling, true, 0, 3, FailOver, 0);
        row("port in use fails over", PortInUse, Calling, true, 0, 3, FailOver, 0);
        row("call fails over", CallFailed, Calling, true, 3, 3, FailOver, 0);
        row("account refused fails over", AccountRefused, Calling, true, 0, 3, FailOver, 0);
        row("keyring fails over", KeyringUnavailable, Calling, true, 0, 3, FailOver, 0);
        row("account refused, the last line", AccountRefused, Calling, false, 0, 3, GiveUp, 0);
        row("message refused, other lines or not", Refused, Calling, true, 0, 3, GiveUp, 0);
        row("first retry", CallFailed, Calling, false, 0, 3, Retry, 60);
        row("second retry", DeviceFailed, Calling, false, 1, 3, Retry, 300);
        row("the last delay repeats", PortInUse, Calling, false, 2, 3, Retry, 300);
        row("tries used up", CallFailed, Calling, false, 3, 3, GiveUp, 0);
        row("no retries allowed", CallFailed, Calling, false, 0, 0, GiveUp, 0);
        row("unexpected retries", Unexpected, Calling, false, 0, 1, Retry, 60);
    }
    void decides()
    {
        const auto [failure, line, another, tried, attempts, step, after] = Decides::row();
        const Decision d = decide(failure, line, another, tried, attempts, {60, 300}, Now);
        QCOMPARE(d.step, step);
        QCOMPARE(d.at, step == Step::Retry ? Now + after * 1000 : 0);
    }

    void takes_data()
    {
        const Takes row;
        row("a line with no failure waiting, others or not", false, true, true);
        row("the only line, no failure waiting", false, false, true);
        row("failures waiting: another line takes it", true, true, false);
        row("failures waiting, no other line may: still sent", true, false, true);
    }
    void takes()
    {
        const auto [pending, another, taken] = Takes::row();
        QCOMPARE(decisions::takes(pending, another), taken);
    }

    void coolsOff_data()
    {
        const CoolsOff row;
        row("first rest", 60, 0, 60);
        row("second", 60, 1, 120);
        row("third", 60, 2, 240);
        row("sixth", 60, 5, 1920);
        row("seventh, capped at an hour", 60, 6, 3600);
        row("many rests", 60, 1000, 3600);
        row("a base over the cap", 7200, 0, 3600);
        row("no base", 0, 5, 0);
    }
    void coolsOff()
    {
        const auto [base, rests, seconds] = CoolsOff::row();
        QCOMPARE(coolOff(qint64(base) * 1000, rests), qint64(seconds) * 1000);
    }

    // A failed call and a failed check count alike.
    void afterFailure_data()
    {
        const Fails row;
        using enum Service;
        row("first failure", Up, 1, true, Up);
        row("second failure", Up, 2, true, Up);
        row("third failure: out", Up, 3, true, Down);
        row("third failure, the last line: kept", Up, 3, false, Up);
        row("on trial: out at once", Trial, 1, true, Down);
        row("on trial, the last line", Trial, 1, false, Trial);
        row("out already", Down, 5, true, Down);
    }
    void afterFailure()
    {
        const auto [service, failures, another, after] = Fails::row();
        QCOMPARE(decisions::afterFailure(service, failures, 3, another), after);
    }
    void afterCoolOff_data()
    {
        const Returns row;
        row("no checks: the trial call as ever", 0, true, Return::TrialCall);
        row("checks on: a check", 300, true, Return::Check);
        row("checks on, a kind without a check", 300, false, Return::TrialCall);
        row("no checks, a kind without one", 0, false, Return::TrialCall);
    }
    void afterCoolOff()
    {
        const auto [every, checks, after] = Returns::row();
        QCOMPARE(decisions::afterCoolOff(qint64(every) * 1000, checks), after);
    }

    // Whether a message repeats one taken in lately: the same text to the same person
    // from another page within the window, whatever else came meanwhile.
    void repeats_data()
    {
        const Repeats row;
        row("the same text to the same person", {"R=A/@60"}, "R=A/", 600, "m0");
        row("another text", {"R=A/@60"}, "R=B/", 600, "");
        row("another person", {"R=A/@60"}, "S=A/", 600, "");
        row("a number is a person of its own", {"R=A/@60"}, "#0312@C=A/", 600, "");
        row("the same number and centre", {"#0312@C=A/@60"}, "#0312@C=A/", 600, "m0");
        row("the same number by another centre", {"#0312@C=A/@60"}, "#0312@D=A/", 600, "");
        row("just inside the window", {"R=A/@599"}, "R=A/", 600, "m0");
        row("at the window's end", {"R=A/@600"}, "R=A/", 600, "");
        row("long after", {"R=A/@86400"}, "R=A/", 600, "");
        row("no window: every one pages", {"R=A/@1"}, "R=A/", 0, "");
        row("among others, the latest", {"R=A/@500", "S=A/@400", "R=A/@300", "R=B/@1"}, "R=A/", 600, "m2");
        row("a step of the same page", {"R=A/p1@60"}, "R=A/p1", 600, "");
        row("another page", {"R=A/p1@60"}, "R=A/p2", 600, "m0");
        row("a page after a message without one", {"R=A/@60"}, "R=A/p1", 600, "m0");
        row("a clock set back", {"R=A/@-60"}, "R=A/", 600, "");
        row("texts that run together", {"R=AB/@60"}, "RA=B/", 600, "");
        row("optimised and not", {"R=A/@60"}, "R+=A/", 600, "");
        row("optimised both times", {"R+=A/@60"}, "R+=A/", 600, "m0");
    }
    void repeats()
    {
        const auto [before, message, windowS, expected] = Repeats::row();
        const auto parse = [](const QString &spec, Target *t, QString *text, QString *page) {
            const QString who = spec.section(u'=', 0, 0);
            if (who.startsWith(u'#'))
                t->number = who.mid(1).section(u'@', 0, 0), t->center = who.section(u'@', 1);
            else
                t->to = who.section(u'+', 0, 0), t->optimize = who.endsWith(u'+');
            *text = spec.section(u'=', 1).section(u'/', 0, 0);
            *page = spec.section(u'/', -1).section(u'@', 0, 0);
            return spec.section(u'@', -1).toLongLong();
        };
        DedupIndex index;
        for (qsizetype i = 0; i < before.size(); ++i) {
            Target t;
            QString text, page;
            const qint64 ago = parse(before[i], &t, &text, &page);
            index.entries << DedupIndex::Entry{DedupIndex::keyOf(t, text), Now - ago * 1000, "m" + QString::number(i),
                                               page};
        }
        Target t;
        QString text, page;
        parse(message, &t, &text, &page);
        const QByteArray key = DedupIndex::keyOf(t, text);
        const qint64 window = qint64(windowS) * 1000;
        QCOMPARE(index.repeats(key, page, Now, window).value_or(QString()), expected);
        // As stored and read back, and once the next message has been recorded.
        QCOMPARE(DedupIndex::parse(index.toBytes()).repeats(key, page, Now, window).value_or(""), expected);
        index.record("x", "next", {}, Now, window);
        QCOMPARE(index.repeats(key, page, Now, window).value_or(QString()), expected);
    }
    void severityRank_data()
    {
        const table::Of<QString, int> row;
        row("critical", "critical", 0);
        row("none given", "", 0);
        row("unknown", "page", 0);
        row("warning", "warning", 1);
        row("any case", "Warning", 1);
        row("info", "INFO", 2);
        row("not a prefix", "informational", 0);
    }
    void severityRank()
    {
        const auto [severity, rank] = table::Of<QString, int>::row();
        QCOMPARE(decisions::severityRank(severity), rank);
    }
    // The index file: unreadable lines left out, its size bounded.
    void dedupFile()
    {
        DedupIndex index = DedupIndex::parse("suppressed 7\n" + QByteArray(24, 'a') + " 5 id1 -\ngarbage\n" +
                                             QByteArray(24, 'b') + " x id2 -\n" + QByteArray(24, 'c') + " 6 id3 p\n");
        QCOMPARE(index.suppressed, 7u);
        QCOMPARE(index.entries.size(), 2);
        QCOMPARE(index.entries[1], (DedupIndex::Entry{QByteArray(24, 'c'), 6, "id3", "p"}));
        for (int i = 0; i < DedupIndex::MaxEntries + 10; ++i)
            index.record(QByteArray(24, 'k'), "i" + QString::number(i), {}, Now, 3600000);
        QCOMPARE(index.entries.size(), DedupIndex::MaxEntries);
        QCOMPARE(index.entries.last().id, "i" + QString::number(DedupIndex::MaxEntries + 9));
        QCOMPARE(DedupIndex::parse(index.toBytes()), index);
    }
};

QTEST_GUILESS_MAIN(TestDecisions)
#include "tst_decisions.moc"
