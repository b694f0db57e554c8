// Pages to people: who is on duty by a rota's calendar (recurrences, zones, moved and
// cancelled occurrences, overrides), and events that cannot be used left out and told.
#include "support/table.h"

#include "gateway/rota.h"

#include <QDateTime>
#include <QTest>

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
const QByteArray Moved = vevent("w", "A",
                                "DTSTART;TZID=Asia/Tokyo:20260105T090000\nDTEND;TZID=Asia/Tokyo:20260105T180000\n"
                                "RRULE:FREQ=WEEKLY;BYDAY=MO") +
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

} // namespace

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
        row("all-day weekly: other weeks", weekly, "", tokyo, "2026-01-19T12:00:00+09:00", "A");

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

    void notACalendar()
    {
        const Calendar cal = Calendar::parse("hello\n", QStringLiteral("rota.ics"), zone("Asia/Tokyo"));
        QVERIFY(!cal.ok());
        QVERIFY(!Calendar::load(QStringLiteral("/nonexistent/rota.ics"), zone("Asia/Tokyo")).ok());
    }
};

QTEST_GUILESS_MAIN(tst_OnCall)
#include "tst_oncall.moc"
