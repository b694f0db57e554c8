// What becomes of a message after a call (fail over, retry at a time, give up, put back,
// hold the line) and how long a failing line rests, as the runner and a direct send
// decide them: tables on a clock standing at a fixed time.
#include "gateway/decisions.h"
#include "support/table.h"

#include <QTest>

using namespace decisions;

// failure, line, another line may carry it, tried before, attempts, step, retry after (s)
using Decides = table::Of<Failure, LineState, bool, int, int, Step, int>;
// base (s), rests, cool-off (s)
using CoolsOff = table::Of<int, int, int>;

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

    void coolsOff_data()
    {
        const CoolsOff row;
        row("first rest", 60, 0, 60);
        row("second", 60, 1, 120);
        row("third", 60, 2, 240);
        row("fourth", 60, 3, 480);
        row("fifth", 60, 4, 960);
        row("sixth", 60, 5, 1920);
        row("seventh, capped at an hour", 60, 6, 3600);
        row("eighth", 60, 7, 3600);
        row("many rests", 60, 1000, 3600);
        row("a base over the cap", 7200, 0, 3600);
        row("no base", 0, 5, 0);
    }
    void coolsOff()
    {
        const auto [base, rests, seconds] = CoolsOff::row();
        QCOMPARE(coolOff(qint64(base) * 1000, rests), qint64(seconds) * 1000);
    }
};

QTEST_GUILESS_MAIN(TestDecisions)
#include "tst_decisions.moc"
