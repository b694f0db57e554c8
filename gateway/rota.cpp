#include "gateway/rota.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QSet>

#include <libical/ical.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>

#include <sys/stat.h>

namespace
{

// Where a wall time is: a VTIMEZONE of the file, or a zone of the system (a TZID the file
// does not define, UTC, or the gateway's zone for floating times and dates).
struct Zone {
    icaltimezone *ical = nullptr;
    QTimeZone qt;
};

qint64 utcOf(icaltimetype wall, const Zone &zone)
{
    if (zone.ical) {
        wall.zone = nullptr;
        wall.is_date = 0;
        return icaltime_as_timet_with_zone(wall, zone.ical);
    }
    const QTime time = wall.is_date ? QTime(0, 0) : QTime(wall.hour, wall.minute, wall.second);
    return QDateTime(QDate(wall.year, wall.month, wall.day), time, zone.qt).toSecsSinceEpoch();
}

icaltimetype wallOf(qint64 utc, const Zone &zone)
{
    if (zone.ical) {
        icaltimetype t = icaltime_from_timet_with_zone(time_t(utc), 0, zone.ical);
        t.zone = nullptr;
        return t;
    }
    const QDateTime d = QDateTime::fromSecsSinceEpoch(utc, zone.qt);
    icaltimetype t = icaltime_null_time();
    t.year = d.date().year();
    t.month = d.date().month();
    t.day = d.date().day();
    t.hour = d.time().hour();
    t.minute = d.time().minute();
    t.second = d.time().second();
    return t;
}

QString text(const char *s)
{
    return s ? QString::fromUtf8(s).trimmed() : QString();
}

// The zone of a time property's value, or why there is none.
std::optional<Zone> zoneOf(icalproperty *property, icaltimetype value, icalcomponent *calendar, const QTimeZone &local,
                           QString *why)
{
    if (icaltime_is_utc(value))
        return Zone{nullptr, QTimeZone::utc()};
    icalparameter *tzid = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
    if (value.is_date || !tzid)
        return Zone{nullptr, local};
    const char *id = icalparameter_get_tzid(tzid);
    if (icaltimezone *z = icalcomponent_get_timezone(calendar, id))
        return Zone{z, {}};
    const QTimeZone system(QByteArray(id ? id : ""));
    if (system.isValid())
        return Zone{nullptr, system};
    *why = QStringLiteral("TZID「%1」を知りません（VTIMEZONE がなく、システムにもありません）").arg(text(id));
    return std::nullopt;
}

constexpr qint64 Never = std::numeric_limits<qint64>::max();

} // namespace

struct Calendar::Event {
    QString uid;
    QString summary;
    Zone zone;
    icaltimetype start{}; // wall time in zone, without a zone of its own
    qint64 startUtc = 0;
    int days = 0; // the length: whole days on the calendar, then exact seconds
    qint64 seconds = 0;
    bool ruled = false;
    icalrecurrencetype rule{}; // UNTIL taken out: until holds it
    qint64 until = Never;      // the last start the rule may give
    QList<Duty> extra;         // RDATE occurrences
    QSet<qint64> skipped;      // starts taken out: EXDATE, occurrences moved or cancelled
    // A series changed from one occurrence on (RECURRENCE-ID;RANGE=THISANDFUTURE): its
    // occurrences from `from` on, each moved by shift, with the change's SUMMARY and length.
    qint64 from = std::numeric_limits<qint64>::min();
    qint64 shift = 0;

    qint64 endOf(const icaltimetype &wall, qint64 startUtc) const
    {
        if (!days)
            return startUtc + seconds;
        icaltimetype end = wall;
        icaltime_adjust(&end, days, 0, 0, 0);
        return utcOf(end, zone) + seconds;
    }
    qint64 longest() const { return qint64(days) * 25 * 3600 + seconds; }

    void occurrencesAt(qint64 time, QList<Duty> &out) const
    {
        const qsizetype first = out.size();
        const qint64 at = time - shift; // in the series' own times
        auto consider = [&](const icaltimetype &wall, qint64 s) {
            if (s > at || s < from || s > until || skipped.contains(s))
                return;
            const qint64 e = endOf(wall, s) + shift;
            if (time < e)
                out << Duty{summary, uid, s + shift, e};
        };
        consider(start, startUtc);
        for (const Duty &d : extra)
            if (d.start >= from && d.start <= until && d.start <= at && at < d.end && !skipped.contains(d.start))
                out << Duty{summary, uid, d.start + shift, d.end + shift};
        if (ruled && at >= startUtc)
            ruleAt(at, consider);
        std::sort(out.begin() + first, out.end(), [](const Duty &a, const Duty &b) { return a.start < b.start; });
        out.erase(std::unique(out.begin() + first, out.end()), out.end());
    }

    template <typename Consider> void ruleAt(qint64 time, Consider &consider) const
    {
        icalrecur_iterator *it = icalrecur_iterator_new(rule, start);
        if (!it)
            return;
        // Without COUNT the occurrences before the longest event's length can be skipped.
        const qint64 from = time - longest() - 24 * 3600;
        if (rule.count == 0 && from > startUtc)
            icalrecur_iterator_set_start(it, wallOf(from, zone));
        for (int n = 0; n < 1000000; ++n) {
            const icaltimetype wall = icalrecur_iterator_next(it);
            if (icaltime_is_null_time(wall))
                break;
            const qint64 s = utcOf(wall, zone);
            if (s > time || s > until)
                break;
            if (s != startUtc)
                consider(wall, s);
        }
        icalrecur_iterator_free(it);
    }
};

Calendar Calendar::load(const QString &path, const QTimeZone &zone, const Known &known)
{
    QFile file(path);
    Calendar calendar;
    calendar.m_name = path.section(QLatin1Char('/'), -1);
    if (!file.open(QIODevice::ReadOnly)) {
        calendar.m_error = QStringLiteral("%1 を読めません（%2）。").arg(path, file.errorString());
        return calendar;
    }
    if (file.size() > MaxFileBytes) {
        calendar.m_error = QStringLiteral("%1 が大きすぎます（%2 バイトまで）。").arg(path).arg(MaxFileBytes);
        return calendar;
    }
    return parse(file.readAll(), calendar.m_name, zone, known);
}

Calendar Calendar::parse(const QByteArray &bytes, const QString &name, const QTimeZone &local, const Known &known)
{
    static const bool quiet = [] {
        icalerror_set_errors_are_fatal(0);
        return true;
    }();
    Q_UNUSED(quiet);
    Calendar cal;
    cal.m_name = name;
    icalcomponent *root = icalparser_parse_string(bytes.constData());
    if (root)
        cal.m_root.reset(root, [](void *p) { icalcomponent_free(static_cast<icalcomponent *>(p)); });
    icalcomponent *vcal = root && icalcomponent_isa(root) == ICAL_VCALENDAR_COMPONENT
                              ? root
                              : (root ? icalcomponent_get_first_component(root, ICAL_VCALENDAR_COMPONENT) : nullptr);
    if (!vcal) {
        cal.m_error =
            QStringLiteral("%1 は iCalendar のファイルではありません（BEGIN:VCALENDAR がありません）。").arg(name);
        return cal;
    }

    QList<icalcomponent *> events;
    for (icalcomponent *c = icalcomponent_get_first_component(vcal, ICAL_VEVENT_COMPONENT); c;
         c = icalcomponent_get_next_component(vcal, ICAL_VEVENT_COMPONENT))
        events << c;

    auto leaveOut = [&](icalcomponent *c, const QString &why) {
        cal.m_problems << QStringLiteral("%1: UID %2（SUMMARY %3）: %4。この予定を使いません")
                              .arg(name, text(icalcomponent_get_uid(c)), text(icalcomponent_get_summary(c)), why);
    };
    // A time property's value in UTC, or why not.
    auto utcOfProperty = [&](icalproperty *p, icaltimetype v, QString *why) -> std::optional<qint64> {
        const auto zone = zoneOf(p, v, vcal, local, why);
        if (!zone)
            return std::nullopt;
        return utcOf(v, *zone);
    };

    // Occurrences moved or cancelled by a component of their own, by UID; the series changed
    // from an occurrence on (RANGE=THISANDFUTURE), by UID, with the occurrence's start.
    QHash<QString, QSet<qint64>> replaced;
    QHash<QString, QList<std::pair<qint64, icalcomponent *>>> futures;
    const auto thisAndFuture = [](icalproperty *rid) {
        icalparameter *range = rid ? icalproperty_get_first_parameter(rid, ICAL_RANGE_PARAMETER) : nullptr;
        return range && icalparameter_get_range(range) == ICAL_RANGE_THISANDFUTURE;
    };
    for (icalcomponent *c : std::as_const(events)) {
        icalproperty *rid = icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY);
        QString why;
        if (!rid)
            continue;
        if (auto s = utcOfProperty(rid, icalproperty_get_recurrenceid(rid), &why)) {
            replaced[text(icalcomponent_get_uid(c))].insert(*s);
            if (thisAndFuture(rid) && !icalcomponent_get_first_property(c, ICAL_XLICERROR_PROPERTY))
                futures[text(icalcomponent_get_uid(c))] << std::pair{*s, c};
        }
    }
    // The length of an event: DTEND, DURATION, or a day for a date and nothing for a time.
    const auto lengthOf = [&](icalcomponent *c, const icaltimetype &start, Event &e, QString *why) {
        e.days = 0;
        e.seconds = 0;
        if (icalproperty *dtend = icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY)) {
            const icaltimetype end = icalproperty_get_dtend(dtend);
            if (start.is_date) {
                e.days = int(QDate(start.year, start.month, start.day).daysTo(QDate(end.year, end.month, end.day)));
            } else if (auto endUtc = utcOfProperty(dtend, end, why)) {
                e.seconds = *endUtc - e.startUtc;
            } else {
                return false;
            }
        } else if (icalproperty *duration = icalcomponent_get_first_property(c, ICAL_DURATION_PROPERTY)) {
            const icaldurationtype d = icalproperty_get_duration(duration);
            e.days = (d.is_neg ? -1 : 1) * int(d.weeks * 7 + d.days);
            e.seconds = (d.is_neg ? -1 : 1) * qint64(d.hours * 3600 + d.minutes * 60 + d.seconds);
        } else if (start.is_date) {
            e.days = 1;
        }
        if (e.days < 0 || e.seconds < 0 || (e.days == 0 && e.seconds == 0 && start.is_date)) {
            *why = QStringLiteral("終わりが始まりより前です");
            return false;
        }
        return true;
    };

    // A series changed from an occurrence on ends before its first change; each change's
    // part runs to the next, its occurrences the series' moved as the change moved its own.
    const auto addFutures = [&](Event &series) {
        auto changes = futures.value(series.uid);
        std::sort(changes.begin(), changes.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        const qint64 until = series.until;
        if (!changes.isEmpty())
            series.until = qMin(until, changes.first().first - 1);
        for (qsizetype i = 0; i < changes.size(); ++i) {
            const auto [from, c] = changes[i];
            if (icalcomponent_get_status(c) == ICAL_STATUS_CANCELLED)
                continue; // the series ends there
            auto part = std::make_shared<Event>(series);
            part->until = i + 1 < changes.size() ? qMin(until, changes[i + 1].first - 1) : until;
            part->from = from;
            part->skipped.remove(from);
            part->summary = text(icalcomponent_get_summary(c));
            if (part->summary.isEmpty() || (known && !known(part->summary))) {
                leaveOut(c,
                         part->summary.isEmpty()
                             ? QStringLiteral("SUMMARY（当番の名前）がありません")
                             : QStringLiteral("「%1」はアドレス帳にも oncall.ini にもない名前です").arg(part->summary));
                continue;
            }
            QString why;
            icalproperty *dtstart = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY);
            const icaltimetype start = dtstart ? icalproperty_get_dtstart(dtstart) : series.start;
            const auto zone = dtstart ? zoneOf(dtstart, start, vcal, local, &why) : std::optional<Zone>(series.zone);
            if (!zone) {
                leaveOut(c, why);
                continue;
            }
            icaltimetype wall = start;
            wall.zone = nullptr;
            part->startUtc = utcOf(wall, *zone);
            if (!lengthOf(c, start, *part, &why)) {
                leaveOut(c, why);
                continue;
            }
            part->shift = part->startUtc - from;
            part->startUtc = series.startUtc;
            cal.m_events << part;
        }
    };

    for (icalcomponent *c : std::as_const(events)) {
        if (icalproperty *error = icalcomponent_get_first_property(c, ICAL_XLICERROR_PROPERTY)) {
            leaveOut(c, QStringLiteral("読めない行があります（%1）").arg(text(icalproperty_get_xlicerror(error))));
            continue;
        }
        icalproperty *rid = icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY);
        const bool moved = rid;
        if (icalcomponent_get_status(c) == ICAL_STATUS_CANCELLED && !thisAndFuture(rid))
            continue; // a cancelled occurrence is only taken out of its series (above)
        if (thisAndFuture(rid))
            continue; // made a part of its series below
        auto e = std::make_shared<Event>();
        e->uid = text(icalcomponent_get_uid(c));
        e->summary = text(icalcomponent_get_summary(c));
        if (e->summary.isEmpty()) {
            leaveOut(c, QStringLiteral("SUMMARY（当番の名前）がありません"));
            continue;
        }
        if (known && !known(e->summary)) {
            leaveOut(c, QStringLiteral("「%1」はアドレス帳にも oncall.ini にもない名前です").arg(e->summary));
            continue;
        }
        icalproperty *dtstart = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY);
        if (!dtstart) {
            leaveOut(c, QStringLiteral("DTSTART がありません"));
            continue;
        }
        QString why;
        const icaltimetype start = icalproperty_get_dtstart(dtstart);
        const auto zone = zoneOf(dtstart, start, vcal, local, &why);
        if (!zone) {
            leaveOut(c, why);
            continue;
        }
        e->zone = *zone;
        e->start = start;
        e->start.zone = nullptr;
        e->startUtc = utcOf(e->start, e->zone);

        if (!lengthOf(c, start, *e, &why)) {
            leaveOut(c, why);
            continue;
        }

        if (!moved) {
            e->skipped = replaced.value(e->uid);
            if (icalproperty *rrule = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY)) {
                e->rule = icalproperty_get_rrule(rrule);
                if (e->rule.freq == ICAL_NO_RECURRENCE) {
                    leaveOut(c, QStringLiteral("RRULE を読めません"));
                    continue;
                }
                e->ruled = true;
                const icaltimetype until = e->rule.until;
                if (!icaltime_is_null_time(until)) {
                    if (icaltime_is_utc(until)) {
                        e->until = icaltime_as_timet(until);
                    } else if (until.is_date) { // the whole day, in the event's zone
                        icaltimetype next = until;
                        icaltime_adjust(&next, 1, 0, 0, 0);
                        e->until = utcOf(next, e->zone) - 1;
                    } else {
                        icaltimetype wall = until;
                        wall.zone = nullptr;
                        e->until = utcOf(wall, e->zone);
                    }
                    e->rule.until = icaltime_null_time();
                }
            }
            for (icalproperty *p = icalcomponent_get_first_property(c, ICAL_EXDATE_PROPERTY); p;
                 p = icalcomponent_get_next_property(c, ICAL_EXDATE_PROPERTY)) {
                if (auto s = utcOfProperty(p, icalproperty_get_exdate(p), &why))
                    e->skipped.insert(*s);
            }
            for (icalproperty *p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY); p;
                 p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY)) {
                const icaldatetimeperiodtype r = icalproperty_get_rdate(p);
                const bool period = !icaltime_is_null_time(r.period.start);
                icaltimetype wall = period ? r.period.start : r.time;
                const auto s = utcOfProperty(p, wall, &why);
                if (!s)
                    continue;
                qint64 end = e->endOf(wall, *s);
                if (period && !icaltime_is_null_time(r.period.end)) {
                    if (auto en = utcOfProperty(p, r.period.end, &why))
                        end = *en;
                } else if (period) {
                    end = *s + icaldurationtype_as_int(r.period.duration);
                }
                e->extra << Duty{e->summary, e->uid, *s, end};
            }
        }
        cal.m_events << e;
        if (!moved)
            addFutures(*e);
    }
    return cal;
}

QByteArray fileStamp(const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return "-";
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino)) + ',' +
           QByteArray::number(qlonglong(st.st_size)) + ',' + QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
}

std::shared_ptr<const Calendar> Calendar::cached(const QString &path, const QTimeZone &zone, const Known &known,
                                                 const QByteArray &knownKey)
{
    struct Entry {
        QByteArray key;
        std::shared_ptr<const Calendar> calendar;
    };
    static std::mutex mutex;
    static QHash<QString, Entry> cache;
    const QByteArray stamp = fileStamp(path);
    const QByteArray key = stamp + '|' + zone.id() + '|' + knownKey;
    {
        const std::lock_guard lock(mutex);
        if (const auto e = cache.constFind(path); e != cache.cend() && e->key == key && stamp != "-")
            return e->calendar;
    }
    auto calendar = std::make_shared<const Calendar>(load(path, zone, known));
    // Kept only when the file did not change while it was read.
    if (calendar->ok() && fileStamp(path) == stamp) {
        const std::lock_guard lock(mutex);
        cache.insert(path, Entry{key, calendar});
    }
    return calendar;
}

QList<Calendar::Duty> Calendar::at(qint64 time) const
{
    QList<Duty> out;
    for (const auto &e : m_events)
        e->occurrencesAt(time, out);
    return out;
}

QStringList Calendar::names() const
{
    QStringList out;
    for (const auto &e : m_events)
        if (!out.contains(e->summary))
            out << e->summary;
    return out;
}

QList<Calendar::Duty> onDuty(const Calendar &calendar, const Calendar *overrides, qint64 time)
{
    if (overrides) {
        QList<Calendar::Duty> won = overrides->at(time);
        if (!won.isEmpty())
            return won;
    }
    return calendar.at(time);
}
