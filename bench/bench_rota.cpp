// Resolving who is on duty from a rota of many events, as a page to the rota does it:
// a calendar of 9,000 eight-hour shifts (2024 on, one after another) and 1,000 weekly
// shifts (RRULE with BYDAY, some with COUNT, EXDATE or a moved occurrence), in Asia/Tokyo.
//   bench_rota [PAGES]
// Prints the time to read the calendar (what a page costs while every add reads it) and
// the time to resolve one page (median and worst over PAGES times spread over 2024-2026).
#include "gateway/rota.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace
{

QByteArray stamp(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyyMMdd'T'HHmmss")).toLatin1();
}

QByteArray calendar()
{
    QByteArray ics = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n";
    const QTimeZone tokyo("Asia/Tokyo");
    const QDateTime first(QDate(2024, 1, 1), QTime(9, 0), tokyo);
    for (int i = 0; i < 9000; ++i) {
        const QDateTime start = first.addSecs(qint64(i) * 8 * 3600);
        ics += "BEGIN:VEVENT\r\nUID:s" + QByteArray::number(i) + "\r\nSUMMARY:R" + QByteArray::number(i % 20) +
               "\r\nDTSTART;TZID=Asia/Tokyo:" + stamp(start) +
               "\r\nDTEND;TZID=Asia/Tokyo:" + stamp(start.addSecs(8 * 3600)) + "\r\nEND:VEVENT\r\n";
    }
    static const char *const days[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    for (int i = 0; i < 1000; ++i) {
        const QDateTime start = first.addDays(i % 28).addSecs((i % 12) * 3600);
        QByteArray rule = "RRULE:FREQ=WEEKLY;BYDAY=" + QByteArray(days[i % 7]) + "," + days[(i + 2) % 7];
        if (i % 5 == 0)
            rule += ";COUNT=100";
        ics += "BEGIN:VEVENT\r\nUID:w" + QByteArray::number(i) + "\r\nSUMMARY:R" + QByteArray::number(i % 20) +
               "\r\nDTSTART;TZID=Asia/Tokyo:" + stamp(start) + "\r\nDURATION:PT4H\r\n" + rule + "\r\n";
        if (i % 10 == 0)
            ics += "EXDATE;TZID=Asia/Tokyo:" + stamp(start.addDays(14)) + "\r\n";
        ics += "END:VEVENT\r\n";
        if (i % 10 == 1)
            ics += "BEGIN:VEVENT\r\nUID:w" + QByteArray::number(i) +
                   "\r\nSUMMARY:R0\r\nRECURRENCE-ID;TZID=Asia/Tokyo:" + stamp(start.addDays(7)) +
                   "\r\nDTSTART;TZID=Asia/Tokyo:" + stamp(start.addDays(8)) + "\r\nDURATION:PT2H\r\nEND:VEVENT\r\n";
    }
    return ics + "END:VCALENDAR\r\n";
}

} // namespace

int main(int argc, char *argv[])
{
    const int pages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const QByteArray ics = calendar();
    const QTimeZone tokyo("Asia/Tokyo");
    QList<double> reads;
    Calendar cal;
    for (int r = 0; r < 5; ++r) {
        QElapsedTimer t;
        t.start();
        cal = Calendar::parse(ics, QStringLiteral("rota.ics"), tokyo);
        reads << double(t.nsecsElapsed()) / 1e6;
    }
    std::sort(reads.begin(), reads.end());
    const qint64 from = QDateTime(QDate(2024, 1, 1), QTime(0, 0), tokyo).toSecsSinceEpoch();
    const qint64 span = qint64(3) * 365 * 24 * 3600;
    QList<double> resolves;
    qsizetype onDuty = 0;
    for (int i = 0; i < pages; ++i) {
        const qint64 at = from + span * i / pages + 1234;
        QElapsedTimer t;
        t.start();
        onDuty += ::onDuty(cal, nullptr, at).size();
        resolves << double(t.nsecsElapsed()) / 1e6;
    }
    std::sort(resolves.begin(), resolves.end());
    std::printf("calendar: %lld events, %lld bytes, %d problems\n", qlonglong(cal.eventCount()), qlonglong(ics.size()),
                int(cal.problems().size()));
    std::printf("read:    median %.1f ms (5 reads)\n", reads[reads.size() / 2]);
    std::printf("resolve: median %.2f ms, worst %.2f ms (%d pages, %.2f on duty on average)\n",
                resolves[resolves.size() / 2], resolves.last(), pages, double(onDuty) / pages);
    return 0;
}
