// Pages to people: who is on duty by a rota's calendar (recurrences, zones, moved and
// cancelled occurrences, overrides), and events that cannot be used left out and told.
#include "support/filehelpers.h"
#include "support/quietreporter.h"
#include "support/sendfolder.h"
#include "support/table.h"
#include "support/virtualclock.h"

#include "gateway/oncall.h"
#include "gateway/oncallwatch.h"
#include "gateway/pageclock.h"
#include "gateway/pages.h"
#include "gateway/rota.h"
#include "gateway/textfit.h"
#include "store/inifile.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace
{

QByteArray ics(const QByteArray &body)
{
    return "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//test//EN\n" + body + "\nEND:VCALENDAR\n";
}

// One event: the lines between BEGIN and END, with UID and SUMMARY in front.
QByteArray vevent(const QByteArray &uid, const QByteArray &who, const QByteArray &lines)
{
    return "BEGIN:VEVENT\nUID:" + uid + "\nSUMMARY:" + who + "\n" + lines + "\nEND:VEVENT\n";
}

const QByteArray NewYork =
    "DTSTART;TZID=America/New_York:19970902T090000\nDTEND;TZID=America/New_York:19970902T100000\n";
// A zone the system does not know, as a calendar program writes it with its rules.
const QByteArray Eastern = R"(BEGIN:VTIMEZONE
TZID:Eastern Standard Time
BEGIN:STANDARD
DTSTART:16011104T020000
RRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=11
TZOFFSETFROM:-0400
TZOFFSETTO:-0500
END:STANDARD
BEGIN:DAYLIGHT
DTSTART:16010311T020000
RRULE:FREQ=YEARLY;BYDAY=2SU;BYMONTH=3
TZOFFSETFROM:-0500
TZOFFSETTO:-0400
END:DAYLIGHT
END:VTIMEZONE
)";
const QByteArray Shift = "DTSTART:20260105T090000\nDTEND:20260105T180000\nRRULE:FREQ=WEEKLY;BYDAY=MO,WE,FR\n";
// Mondays 9:00–18:00 Tokyo time from 2026-01-05, then one occurrence moved, one cancelled.
const QByteArray Mondays = vevent("w", "A",
                                  "DTSTART;TZID=Asia/Tokyo:20260105T090000\nDTEND;TZID=Asia/Tokyo:20260105T180000\n"
                                  "RRULE:FREQ=WEEKLY;BYDAY=MO");
const QByteArray Moved = Mondays +
                         vevent("w", "B",
                                "RECURRENCE-ID;TZID=Asia/Tokyo:20260112T090000\n"
                                "DTSTART;TZID=Asia/Tokyo:20260113T090000\nDTEND;TZID=Asia/Tokyo:20260113T120000") +
                         vevent("w", "C",
                                "RECURRENCE-ID;TZID=Asia/Tokyo:20260119T090000\nSTATUS:CANCELLED\n"
                                "DTSTART;TZID=Asia/Tokyo:20260119T090000\nDTEND;TZID=Asia/Tokyo:20260119T180000");

QTimeZone zone(const char *name)
{
    return QTimeZone(QByteArray(name));
}

QString names(const QList<Calendar::Duty> &duties)
{
    QStringList out;
    for (const auto &d : duties)
        out << d.who;
    return out.join(QLatin1Char(','));
}

// A data folder with a rota's calendar (R1 days, R2 evenings, 9:00–18:00 and 18:00–22:00
// Tokyo time, weekdays) and its override file (R3 on the 7th from 17:00 to 20:00).
struct Folder {
    QTemporaryDir dir;
    const QStringList book{QStringLiteral("R1"), QStringLiteral("R2"), QStringLiteral("R3"), QStringLiteral("R4")};
    Folder()
    {
        writeFileBytes(
            dir.filePath(QStringLiteral("rota.ics")),
            ics(vevent("d", "R1",
                       "DTSTART:20260105T090000\nDTEND:20260105T180000\nRRULE:FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR") +
                vevent("e", "team", "DTSTART:20260105T180000\nDTEND:20260105T220000\nRRULE:FREQ=DAILY")));
        writeFileBytes(dir.filePath(QStringLiteral("over.ics")),
                       ics(vevent("o", "R3", "DTSTART:20260107T170000\nDTEND:20260107T200000")));
    }
    OnCall load(const QByteArray &ini) const
    {
        return OnCall::parse(IniFile::parse("[OnCall]\nTimeZone=Asia/Tokyo\n" + ini), dir.path(), book);
    }
};

const QByteArray Rota =
    "[Group team]\nMembers=R2, R4\n[Rota duty]\nCalendar=rota.ics\nOverrides=over.ics\nDefault=R4\n";

// What the gateway told: its warnings, in order.
struct Told : QuietReporter {
    QStringList warnings;
    void warn(const QString &, const QString &text, QJsonObject) override { warnings << text; }
};

// Written whole and renamed in, as an editor or curl's timer does.
bool replaceFile(const QString &path, const QByteArray &bytes)
{
    return writeFileBytes(path + u'~', bytes) && ::rename(qPrintable(path + u'~'), qPrintable(path)) == 0;
}

qint64 tokyo(const char *at)
{
    return QDateTime::fromString(QString::fromLatin1(at), Qt::ISODate).toSecsSinceEpoch();
}

} // namespace

// error: a part of the refusal, empty: accepted
using Loads = table::Of<QByteArray, QString>;
// reached: "person: why" joined by "; "
using Reaches = table::Of<QByteArray, QString, const char *, QString>;
// steps: "delay step name" joined by ", "
using Schedules = table::Of<QByteArray, QString>;
// quiet: [Quiet]'s lines; until: the time the page may go
using Quiet = table::Of<QByteArray, QString, const char *, const char *>;

// script: "run:T", "ack:T" (by the page's id), "code:T" (by its code), "resolve:T",
// "sweep:T" (ended pages' files removed) at T seconds from the page's start; "crash:N":
// step N's batch written, the state not after it. word: "gone" when its file was removed
// queued: the steps' names in the order queued; waiting: messages of the page still queued
using Escalates = table::Of<QByteArray, QString, QString, QString, int>;

// maxChars: of a centre counting characters; fitted: the one page
using Tails = table::Of<QString, int, QString, QString>;

// overrides: empty: none; zone: the gateway's; onDuty: SUMMARYs joined by ","
using OnDuty = table::Of<QByteArray, QByteArray, const char *, QString, QString>;
// problem: a part of the one problem told, empty: none; events: how many are used
using LeftOut = table::Of<QByteArray, QString, int>;

class tst_OnCall : public QObject
{
    Q_OBJECT
private slots:
    void onDuty_data()
    {
        const OnDuty row;
        const char *tokyo = "Asia/Tokyo";
        const QByteArray daily10 = vevent("d", "A", NewYork + "RRULE:FREQ=DAILY;COUNT=10");
        row("daily ×10: the tenth", daily10, "", tokyo, "1997-09-11T09:30:00-04:00", "A");
        row("daily ×10: no eleventh", daily10, "", tokyo, "1997-09-12T09:30:00-04:00", "");
        row("daily ×10: before the first", daily10, "", tokyo, "1997-09-02T08:59:59-04:00", "");
        row("daily ×10: its end not covered", daily10, "", tokyo, "1997-09-05T10:00:00-04:00", "");
        const QByteArray until = vevent("u", "A", NewYork + "RRULE:FREQ=DAILY;UNTIL=19971224T000000Z");
        row("until: the last day", until, "", tokyo, "1997-12-23T09:30:00-05:00", "A");
        row("until: not after", until, "", tokyo, "1997-12-24T09:30:00-05:00", "");
        row("until: 9:00 wall time after DST ends", until, "", tokyo, "1997-11-03T09:30:00-05:00", "A");
        row("until: not 9:00 EDT after DST ends", until, "", tokyo, "1997-11-03T08:30:00-05:00", "");
        const QByteArray fortnight =
            vevent("f", "A",
                   "DTSTART;TZID=America/New_York:19970901T090000\nDURATION:PT1H\n"
                   "RRULE:FREQ=WEEKLY;INTERVAL=2;UNTIL=19971224T000000Z;WKST=SU;BYDAY=MO,WE,FR");
        row("every other week MO,WE,FR: first", fortnight, "", tokyo, "1997-09-03T09:10:00-04:00", "A");
        row("every other week MO,WE,FR: off week", fortnight, "", tokyo, "1997-09-08T09:10:00-04:00", "");
        row("every other week MO,WE,FR: in EST", fortnight, "", tokyo, "1997-10-27T09:10:00-05:00", "A");
        row("every other week MO,WE,FR: last", fortnight, "", tokyo, "1997-12-22T09:10:00-05:00", "A");
        const QByteArray firstFriday = vevent(
            "m", "A",
            "DTSTART;TZID=America/New_York:19970905T090000\nDURATION:PT1H\nRRULE:FREQ=MONTHLY;COUNT=10;BYDAY=1FR");
        row("first Friday ×10: tenth", firstFriday, "", tokyo, "1998-06-05T09:10:00-04:00", "A");
        row("first Friday ×10: no eleventh", firstFriday, "", tokyo, "1998-07-03T09:10:00-04:00", "");
        row("first Friday: not the second", firstFriday, "", tokyo, "1997-10-10T09:10:00-04:00", "");
        const QByteArray tuesdays = vevent(
            "t", "A",
            "DTSTART;TZID=America/New_York:19970902T090000\nDURATION:PT1H\nRRULE:FREQ=MONTHLY;INTERVAL=2;BYDAY=TU");
        row("Tuesdays every other month: in", tuesdays, "", tokyo, "1997-09-30T09:10:00-04:00", "A");
        row("Tuesdays every other month: off month", tuesdays, "", tokyo, "1997-10-07T09:10:00-04:00", "");
        row("Tuesdays every other month: 28 years on", tuesdays, "", tokyo, "2026-01-06T09:10:00-05:00", "A");
        row("Tuesdays every other month: 28 years on, off", tuesdays, "", tokyo, "2026-02-03T09:10:00-05:00", "");

        const QByteArray floating = vevent("s", "A", Shift);
        row("floating: the gateway's 9:00", floating, "", tokyo, "2026-01-07T09:30:00+09:00", "A");
        row("floating: not 9:00 UTC", floating, "", tokyo, "2026-01-07T09:30:00Z", "");
        row("floating: BYDAY's other days", floating, "", tokyo, "2026-01-06T09:30:00+09:00", "");
        row("floating: another gateway zone", floating, "", "America/New_York", "2026-01-07T09:30:00-05:00", "A");
        const QByteArray allDay = vevent("a", "A", "DTSTART;VALUE=DATE:20260110\nDTEND;VALUE=DATE:20260111");
        row("all day: the gateway's midnight", allDay, "", tokyo, "2026-01-10T00:30:00+09:00", "A");
        row("all day: not the UTC day", allDay, "", tokyo, "2026-01-11T08:00:00+09:00", "");
        row("all day without DTEND: one day", vevent("a", "A", "DTSTART;VALUE=DATE:20260110"), "", tokyo,
            "2026-01-10T23:59:59+09:00", "A");
        const QByteArray weekly = vevent("a", "A",
                                         "DTSTART;VALUE=DATE:20260105\nRRULE:FREQ=WEEKLY;UNTIL=20260126\n"
                                         "EXDATE;VALUE=DATE:20260112");
        row("all-day weekly: until's day included", weekly, "", tokyo, "2026-01-26T12:00:00+09:00", "A");
        row("all-day weekly: EXDATE", weekly, "", tokyo, "2026-01-12T12:00:00+09:00", "");

        const QByteArray nyDaily = vevent("n", "A",
                                          "DTSTART;TZID=America/New_York:20260301T090000\n"
                                          "DTEND;TZID=America/New_York:20260301T170000\nRRULE:FREQ=DAILY");
        row("New York: 9:00 EST", nyDaily, "", tokyo, "2026-03-07T09:30:00-05:00", "A");
        row("New York: 9:00 EDT after the change", nyDaily, "", tokyo, "2026-03-09T09:30:00-04:00", "A");
        row("New York: not 9:00 EST after the change", nyDaily, "", tokyo, "2026-03-09T08:30:00-04:00", "");
        const QByteArray eastern = Eastern + vevent("e", "A",
                                                    "DTSTART;TZID=Eastern Standard Time:20261030T090000\n"
                                                    "DTEND;TZID=Eastern Standard Time:20261030T100000\n"
                                                    "RRULE:FREQ=DAILY");
        row("the file's VTIMEZONE: EDT", eastern, "", tokyo, "2026-10-31T13:30:00Z", "A");
        row("the file's VTIMEZONE: EST after the change", eastern, "", tokyo, "2026-11-02T14:30:00Z", "A");
        row("the file's VTIMEZONE: not EDT after", eastern, "", tokyo, "2026-11-02T13:30:00Z", "");
        const QByteArray tokyoDaily = vevent("j", "A",
                                             "DTSTART;TZID=Asia/Tokyo:20260301T090000\n"
                                             "DTEND;TZID=Asia/Tokyo:20260301T180000\nRRULE:FREQ=DAILY");
        row("Tokyo while New York changes", tokyoDaily, "", "America/New_York", "2026-03-09T09:30:00+09:00", "A");
        row("Tokyo: after hours", tokyoDaily, "", "America/New_York", "2026-03-09T18:00:00+09:00", "");

        row("moved: not at its old time", Moved, "", tokyo, "2026-01-12T10:00:00+09:00", "");
        row("moved: at its new time", Moved, "", tokyo, "2026-01-13T10:00:00+09:00", "B");
        row("moved: the new length", Moved, "", tokyo, "2026-01-13T12:00:00+09:00", "");
        row("cancelled", Moved, "", tokyo, "2026-01-19T10:00:00+09:00", "");
        row("the series goes on", Moved, "", tokyo, "2026-01-26T10:00:00+09:00", "A");
        const QByteArray future =
            Mondays + vevent("w", "B",
                             "RECURRENCE-ID;RANGE=THISANDFUTURE;TZID=Asia/Tokyo:20260119T090000\n"
                             "DTSTART;TZID=Asia/Tokyo:20260120T100000\nDTEND;TZID=Asia/Tokyo:20260120T120000");
        row("this and future: before the change", future, "", tokyo, "2026-01-12T10:00:00+09:00", "A");
        row("this and future: not at the old time", future, "", tokyo, "2026-01-26T10:00:00+09:00", "");
        row("this and future: moved, with its SUMMARY", future, "", tokyo, "2026-02-03T11:00:00+09:00", "B");
        row("this and future: with its length", future, "", tokyo, "2026-02-03T12:30:00+09:00", "");

        const QByteArray rdates =
            vevent("r", "A",
                   "DTSTART:20260201T090000Z\nDTEND:20260201T100000Z\n"
                   "RDATE;VALUE=PERIOD:20260203T090000Z/20260203T120000Z\nRDATE:20260205T090000Z");
        row("RDATE period: its own end", rdates, "", tokyo, "2026-02-03T11:30:00Z", "A");
        row("RDATE period: not after", rdates, "", tokyo, "2026-02-03T12:00:00Z", "");
        row("RDATE time: the event's length", rdates, "", tokyo, "2026-02-05T09:59:00Z", "A");

        const QByteArray two = vevent("1", "A", Shift) + vevent("2", "B", "DTSTART:20260107T120000\nDURATION:PT8H");
        row("overlapping: both", two, "", tokyo, "2026-01-07T13:00:00+09:00", "A,B");
        row("overlapping: one", two, "", tokyo, "2026-01-07T19:00:00+09:00", "B");
        const QByteArray override = vevent("o", "C", "DTSTART:20260107T170000\nDTEND:20260107T200000");
        row("override wins", two, override, tokyo, "2026-01-07T17:30:00+09:00", "C");
        row("override: the calendar's outside", two, override, tokyo, "2026-01-07T16:30:00+09:00", "A,B");
        row("nobody on duty", two, override, tokyo, "2026-01-08T09:30:00+09:00", "");
    }
    void onDuty()
    {
        const auto [calendar, overrides, gatewayZone, at, expected] = OnDuty::row();
        const QTimeZone z = zone(gatewayZone);
        const Calendar cal = Calendar::parse(ics(calendar), QStringLiteral("rota.ics"), z);
        QVERIFY2(cal.ok() && cal.problems().isEmpty(), qPrintable(cal.error() + cal.problems().join(u'\n')));
        const Calendar over = Calendar::parse(ics(overrides), QStringLiteral("over.ics"), z);
        const QDateTime t = QDateTime::fromString(at, Qt::ISODate);
        QVERIFY(t.isValid());
        QCOMPARE(names(::onDuty(cal, overrides.isEmpty() ? nullptr : &over, t.toSecsSinceEpoch())), expected);
    }

    void leftOut_data()
    {
        const LeftOut row;
        const QByteArray good = vevent("g", "A", Shift);
        row("a bad RRULE", good + vevent("x", "A", "DTSTART:20260105T090000\nDURATION:PT1H\nRRULE:FREQ=SOMETIMES"),
            "UID x（SUMMARY A）", 1);
        row("a bad DTEND", good + vevent("x", "A", "DTSTART:20260105T090000\nDTEND:2026-01-05"), "UID x", 1);
        row("ends before it starts", good + vevent("x", "A", "DTSTART:20260105T090000\nDTEND:20260105T080000"),
            "終わりが始まりより前", 1);
        row("an unknown TZID", good + vevent("x", "A", "DTSTART;TZID=Mars/Olympus:20260105T090000\nDURATION:PT1H"),
            "Mars/Olympus", 1);
        row("a name nobody knows", good + vevent("x", "Z", "DTSTART:20260105T090000\nDURATION:PT1H"), "「Z」", 1);
        row("no SUMMARY", good + "BEGIN:VEVENT\nUID:x\nDTSTART:20260105T090000\nDURATION:PT1H\nEND:VEVENT\n", "SUMMARY",
            1);
        row("no DTSTART", good + vevent("x", "A", "DURATION:PT1H"), "DTSTART", 1);
        row("all good", good + vevent("x", "B", "DTSTART:20260105T090000\nDURATION:PT1H"), "", 2);
    }
    void leftOut()
    {
        const auto [calendar, problem, events] = LeftOut::row();
        const auto known = [](const QString &name) { return name == u"A" || name == u"B"; };
        const Calendar cal = Calendar::parse(ics(calendar), QStringLiteral("rota.ics"), zone("Asia/Tokyo"), known);
        QVERIFY(cal.ok());
        QCOMPARE(cal.eventCount(), events);
        QCOMPARE(cal.problems().size(), problem.isEmpty() ? 0 : 1);
        if (!problem.isEmpty())
            QVERIFY2(cal.problems().first().contains(problem) && cal.problems().first().startsWith(u"rota.ics: "),
                     qPrintable(cal.problems().first()));
    }

    // The runner's side on its clock: each step when due, none after the acknowledgement.
    void stepsOnTheRunnersClock()
    {
        Told reporter;
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const OnCall o = OnCall::parse(IniFile::parse("[Escalation up]\nStep1=R1\nStep2=10m R2\nStep3=1h R3\n"), folder,
                                       {"R1", "R2", "R3"});
        QStringList queued;
        const pages::StepQueuer queuer = [&](const PageState &, const OnCall::DueStep &s) {
            queued << s.name;
            return std::variant<QStringList, QString>(QStringList{});
        };
        VirtualClock clock;
        const auto p =
            pages::start(folder, o, QStringLiteral("up"), QStringLiteral("A"), {}, clock.now() / 1000, queuer);
        QVERIFY(std::holds_alternative<PageState>(p));
        PageClock pageClock(folder, queuer, reporter, clock);
        pageClock.start();
        clock.advance(599 * 1000);
        QCOMPARE(queued, QStringList{"R1"});
        clock.advance(1000);
        QCOMPARE(queued, QStringList({"R1", "R2"}));
        QVERIFY(std::holds_alternative<PageState>(
            pages::acknowledge(folder, std::get<PageState>(p).id, QStringLiteral("R2"), clock.now() / 1000)));
        clock.advance(2 * 3600 * 1000);
        QCOMPARE(queued, QStringList({"R1", "R2"}));
    }

    // The runner's copy follows oncall.ini and the calendars as they change; a bad change
    // keeps the last good copy in use and says why.
    void rereadsWhenChanged()
    {
        QTemporaryDir dir;
        const QString folder = makeSendFolder(dir.path());
        QVERIFY(!folder.isEmpty());
        const QString ini = folder + QLatin1String(OnCall::FileName);
        QVERIFY(replaceFile(ini, "[Group team]\nMembers=R\n[Rota duty]\nCalendar=rota.ics\nDefault=R\n"));
        Told told;
        VirtualClock clock;
        OnCallWatch watch(folder, told, clock);
        QSignalSpy reread(&watch, &OnCallWatch::reread);
        watch.start();
        const auto until = [&](const std::function<bool()> &done) {
            while (!done())
                if (!reread.wait(10000))
                    return false;
            return true;
        };
        const auto whyDuty = [&] {
            return OnCall::load(folder, QStringList()).expand(QStringLiteral("duty"), 0).value(0).why;
        };
        QCOMPARE(OnCall::load(folder, QStringList()).kindOf(QStringLiteral("team")), OnCall::Kind::Group);
        QVERIFY2(whyDuty().contains(u"Default"), qPrintable(whyDuty()));
        QVERIFY2(told.warnings.size() == 1 && told.warnings[0].contains(u"rota.ics"),
                 qPrintable(told.warnings.join(u'\n')));

        QVERIFY(replaceFile(folder + QStringLiteral("rota.ics"),
                            ics(vevent("u", "team", "DTSTART:19700101T000000Z\nRRULE:FREQ=DAILY\nDURATION:P1D"))));
        QVERIFY(until([&] { return whyDuty().contains(u"rota.ics"); }));

        QVERIFY(replaceFile(ini, "[Group team]\nMembers=Ghost\n"));
        QVERIFY(until([&] { return !watch.problem().isEmpty(); }));
        QVERIFY2(watch.problem().contains(u"Ghost") && told.warnings.last() == watch.problem(),
                 qPrintable(watch.problem()));
        QCOMPARE(OnCall::load(folder, QStringList()).kindOf(QStringLiteral("team")), OnCall::Kind::Group);

        QVERIFY(writeFileBytes(ini, "[Group crew]\nMembers=R\n")); // written in place
        QVERIFY(until([&] {
            return watch.problem().isEmpty() &&
                   OnCall::load(folder, QStringList()).kindOf(QStringLiteral("crew")) == OnCall::Kind::Group;
        }));
        QCOMPARE(OnCall::load(folder, QStringList()).kindOf(QStringLiteral("team")), OnCall::Kind::Unknown);

        QVERIFY(writeFileBytes(ini, "")); // as an editor truncates before it writes
        QVERIFY(until([&] { return !watch.problem().isEmpty(); }));
        QCOMPARE(OnCall::load(folder, QStringList()).kindOf(QStringLiteral("crew")), OnCall::Kind::Group);
    }

    // An escalation's code survives the fitting: the text before it is cut instead.
    void fitsBeforeTheCode_data()
    {
        const Tails row;
        row("fits whole", "ABC", 11, " #123456", "ABC #123456");
        row("the text cut, the code kept", "ABCDEFGH", 12, " #123456", "ABC… #123456");
        row("no space before the code", "ABCDEFGH", 6, "42", "ABC…42");
        row("no room beside the code: cut as any text", "ABCDEFGH", 6, " #123456", "ABCDE…");
        row("a code of characters no centre has", "ABCDEFGH", 6, " 😀", "ABCDE…");
    }
    void fitsBeforeTheCode()
    {
        const auto [text, maxChars, tail, fitted] = Tails::row();
        const MessageCenter center{QStringLiteral("C"), 0, QStringLiteral("0570000111"), qint16(maxChars), 1, 1, 1};
        QCOMPARE(fitToCenter(text, center, false, 1, tail).value(0), fitted);
    }

    void notACalendar()
    {
        const Calendar cal = Calendar::parse("hello\n", QStringLiteral("rota.ics"), zone("Asia/Tokyo"));
        QVERIFY(!cal.ok());
        QVERIFY(!Calendar::load(QStringLiteral("/nonexistent/rota.ics"), zone("Asia/Tokyo")).ok());
    }

    void loads_data()
    {
        const Loads row;
        row("groups, a rota, an escalation, a person",
            Rota +
                "[Group all]\nMembers=team, duty, R1\n[Escalation up]\nStep1=duty\nStep2=10m team\nRepeat=2\n[Person "
                "R1]\nMail=r1@example.org\n",
            "");
        row("a loop of groups", "[Group a]\nMembers=b\n[Group b]\nMembers=R1, a\n", "a → b → a");
        row("a loop through a rota's events",
            "[Group team]\nMembers=duty\n[Rota duty]\nCalendar=rota.ics\nDefault=R1\n", "自分自身に戻ります");
        row("a group named as a person", "[Group R1]\nMembers=R2\n", "アドレス帳の「R1」 と [Group R1]");
        row("a rota named as a group", Rota + "[Rota team]\nCalendar=rota.ics\nDefault=R1\n",
            "[Group team] と [Rota team]");
        row("an unknown member", "[Group a]\nMembers=R1, nobody\n", "「nobody」は知らない名前");
        row("an escalation in a group", "[Escalation up]\nStep1=R1\n[Group a]\nMembers=up\n", "エスカレーションです");
        row("a rota without a default", "[Rota duty]\nCalendar=rota.ics\n", "Default=");
        row("a default nobody knows", "[Rota duty]\nCalendar=rota.ics\nDefault=R9\n", "Default=R9");
        row("a step without a delay", "[Escalation up]\nStep1=R1\nStep2=R2\n", "Step2 に待ち時間");
        row("a step before the one before", "[Escalation up]\nStep1=R1\nStep2=10m R2\nStep3=5m R3\n", "Step3 が前の段");
        row("repeat of one step", "[Escalation up]\nStep1=R1\nRepeat=3\n", "二つ以上");
        row("a person not in the book", "[Person R9]\nMail=x@example.org\n", "[Person R9]");
        row("bad quiet hours", "[Quiet]\nHours=22-7\n", "Hours=");
        row("an unknown zone", "[OnCall]\nTimeZone=Mars/Olympus\n", "Mars/Olympus");
    }
    void loads()
    {
        const auto [ini, error] = Loads::row();
        const Folder folder;
        const OnCall o = folder.load(ini);
        QVERIFY2(error.isEmpty() ? o.ok() : o.error().contains(error), qPrintable(o.error()));
    }

    void reaches_data()
    {
        const Reaches row;
        row("a person", Rota, "R1", "2026-01-07T10:00:00+09:00", "R1: ");
        row("a group", Rota, "team", "2026-01-07T10:00:00+09:00", "R2: team → R2; R4: team → R4");
        row("a rota: the day's", Rota, "duty", "2026-01-07T10:00:00+09:00", "R1: duty → R1, rota.ics 09:00–18:00");
        row("a rota: a group on duty", Rota, "duty", "2026-01-08T19:00:00+09:00",
            "R2: duty → team → R2, rota.ics 18:00–22:00; R4: duty → team → R4, rota.ics 18:00–22:00");
        row("a rota: the override", Rota, "duty", "2026-01-07T17:30:00+09:00", "R3: duty → R3, over.ics 17:00–20:00");
        row("a rota: nobody, the default", Rota, "duty", "2026-01-10T10:00:00+09:00",
            "R4: duty → R4, 当番なし、Default");
        row("nested, each once", Rota + "[Group all]\nMembers=R4, team, duty\n", "all", "2026-01-08T19:00:00+09:00",
            "R4: all → R4; R2: all → team → R2");
        row("an escalation: nobody here", Rota + "[Escalation up]\nStep1=R1\n", "up", "2026-01-07T10:00:00+09:00", "");
        row("unknown", Rota, "R9", "2026-01-07T10:00:00+09:00", "");
    }
    void reaches()
    {
        const auto [ini, name, at, reached] = Reaches::row();
        const Folder folder;
        const OnCall o = folder.load(ini);
        QVERIFY2(o.ok() && o.problems().isEmpty(), qPrintable(o.error() + o.problems().join(u'\n')));
        QStringList out;
        for (const auto &r : o.expand(name, tokyo(at)))
            out << r.person + QStringLiteral(": ") + r.why;
        QCOMPARE(out.join(QStringLiteral("; ")), reached);
    }

    void schedules_data()
    {
        const Schedules row;
        row("one step", "Step1=R1", "0 1 R1");
        row("three steps", "Step1=R1\nStep2=5m R2\nStep3=1h R3", "0 1 R1, 300 2 R2, 3600 3 R3");
        row("repeated: rounds a step's gap apart", "Step1=R1\nStep2=10m R2\nRepeat=2",
            "0 1 R1, 600 2 R2, 1200 1 R1, 1800 2 R2, 2400 1 R1, 3000 2 R2");
    }
    void schedules()
    {
        const auto [steps, expected] = Schedules::row();
        const Folder folder;
        const OnCall o = folder.load("[Escalation up]\n" + steps + "\n");
        QVERIFY2(o.ok(), qPrintable(o.error()));
        QStringList out;
        for (const auto &s : OnCall::schedule(*o.escalation(QStringLiteral("up"))))
            out << QStringLiteral("%1 %2 %3").arg(s.delay).arg(s.step).arg(s.name);
        QCOMPARE(out.join(QStringLiteral(", ")), expected);
    }

    void quiet_data()
    {
        const Quiet row;
        const QByteArray night = "Hours=22:00-07:00\nHold=info, Warning\n";
        row("a warning at night waits for the morning", night, "warning", "2026-01-07T23:30:00+09:00",
            "2026-01-08T07:00:00+09:00");
        row("after midnight, the same morning", night, "info", "2026-01-08T06:59:00+09:00",
            "2026-01-08T07:00:00+09:00");
        row("a critical page goes at once", night, "critical", "2026-01-07T23:30:00+09:00",
            "2026-01-07T23:30:00+09:00");
        row("outside the hours", night, "warning", "2026-01-07T07:00:00+09:00", "2026-01-07T07:00:00+09:00");
        row("hours within a day", "Hours=12:00-13:00\nHold=info\n", "info", "2026-01-07T12:10:00+09:00",
            "2026-01-07T13:00:00+09:00");
        row("no quiet hours", "Hold=info\n", "info", "2026-01-07T23:30:00+09:00", "2026-01-07T23:30:00+09:00");
    }
    void quiet()
    {
        const auto [lines, severity, at, until] = Quiet::row();
        const Folder folder;
        const OnCall o = folder.load("[Quiet]\n" + lines);
        QVERIFY2(o.ok(), qPrintable(o.error()));
        QCOMPARE(QDateTime::fromSecsSinceEpoch(o.quietUntil(severity, tokyo(at))),
                 QDateTime::fromSecsSinceEpoch(tokyo(until)));
    }

    void escalates_data()
    {
        const Escalates row;
        const QByteArray three = "Step1=R1\nStep2=10m R2\nStep3=20m R3\n";
        row("acknowledged before step 2", three, "ack:300 run:900", "R1", "acknowledged", 0);
        row("by its code, after step 2", three, "run:599 run:600 code:700 run:5000", "R1 R2", "acknowledged", 0);
        row("nobody answers", three, "run:600 run:1199 run:1200 run:9000", "R1 R2 R3", "exhausted", 3);
        row("late: every step due, in order", three, "run:5000", "R1 R2 R3", "exhausted", 3);
        row("a restart between two steps: the step once", three, "crash:2 run:600 run:601", "R1 R2", "open", 2);
        row("a restart before the batch: the step then", three, "run:300", "R1", "open", 1);
        row("resolved by the alert", three, "resolve:100 run:900", "R1", "resolved", 0);
        row("acknowledged twice", three, "ack:100 ack:200 run:900", "R1", "acknowledged", 0);
        row("repeated", "Step1=R1\nStep2=10m R2\nRepeat=1\n", "run:1799 run:1800", "R1 R2 R1 R2", "exhausted", 4);
        // The files of pages that ended go a week (604800 s) after their end.
        row("acknowledged six days ago: kept", three, "ack:300 sweep:605100", "R1", "acknowledged", 0);
        row("acknowledged a week ago: gone", three, "ack:300 sweep:605101", "R1", "gone", 0);
        row("exhausted a week ago: gone", three, "run:1200 sweep:606001", "R1 R2 R3", "gone", 3);
        row("open: kept however old", three, "run:600 sweep:9000000", "R1 R2", "open", 2);
    }
    void escalates()
    {
        const auto [steps, script, queued, word, waiting] = Escalates::row();
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const OnCall o = OnCall::parse(IniFile::parse("[Escalation up]\n" + steps), folder, {"R1", "R2", "R3"});
        QVERIFY2(o.ok(), qPrintable(o.error()));
        QStringList log;
        const auto addStep = [&](const QString &id, int step, const QString &name) {
            QueuedMessage m;
            m.to = name;
            m.text = QStringLiteral("A");
            m.page = id;
            m.step = step;
            QList<QueuedMessage> batch{m};
            sendqueue::add(folder, batch);
            log << name;
            return QStringList{batch.first().id};
        };
        const pages::StepQueuer queuer = [&](const PageState &p, const OnCall::DueStep &s) {
            return std::variant<QStringList, QString>(addStep(p.id, p.queued + 1, s.name));
        };
        const qint64 t0 = 1800000000;
        auto started = pages::start(folder, o, QStringLiteral("up"), QStringLiteral("A"), {}, t0, queuer);
        QVERIFY(std::holds_alternative<PageState>(started));
        PageState p = std::get<PageState>(started);
        QCOMPARE(p.ack.size(), 6);
        for (const QString &token : script.split(u' ')) {
            const QString what = token.section(u':', 0, 0);
            const int n = token.section(u':', 1).toInt();
            if (what == u"run") {
                QVERIFY(pages::runDue(folder, p, t0 + n, queuer).problems.isEmpty());
            } else if (what == u"sweep") {
                pages::removeEnded(folder, t0 + n);
            } else if (what == u"crash") {
                p = *pages::read(folder, p.id);
                p.adding = n;
                QVERIFY(pages::write(folder, p).ok());
                addStep(p.id, n, p.steps[n - 1].name);
            } else {
                auto acked = pages::acknowledge(folder, what == u"code" ? p.ack : p.id, QStringLiteral("R1"), t0 + n,
                                                what == u"resolve");
                QVERIFY(std::holds_alternative<PageState>(acked));
            }
        }
        QCOMPARE(log.join(u' '), queued);
        const auto last = pages::read(folder, p.id);
        QCOMPARE(last ? last->word() : QStringLiteral("gone"), word);
        QCOMPARE(sendqueue::entries(folder, sendqueue::State::Waiting).size(), waiting);
        if (last)
            QCOMPARE(last->people.size(), qMin(3, int(QSet<QString>(log.begin(), log.end()).size())));
        else // still counted
            QCOMPARE(pages::removed(folder).steps, quint64(log.size()));
    }
};

QTEST_GUILESS_MAIN(tst_OnCall)
#include "tst_oncall.moc"
