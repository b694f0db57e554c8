#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <functional>
#include <memory>
#include <optional>

// Who is on duty, from an iCalendar file: each event's SUMMARY names who, its
// occurrences when. Read once (parse or load) into events of our own; asked many times
// (at), which expands only the occurrences near the time asked. Times without a zone
// (floating times, all-day events) are taken in the gateway's zone, given at load.
// Moved and cancelled occurrences (RECURRENCE-ID), EXDATE, RDATE with periods, and
// events that do not parse (left out and told) are handled here, not by the library.
class Calendar
{
public:
    // One occurrence on duty: who, from the event's SUMMARY, and when, in seconds since
    // the epoch (start included, end not).
    struct Duty {
        QString who;
        QString uid;
        qint64 start = 0;
        qint64 end = 0;
        friend bool operator==(const Duty &, const Duty &) = default;
    };

    // known: whether a SUMMARY names someone we can page; an event naming nobody we know is
    // left out and told among problems(). Without it every SUMMARY is taken.
    using Known = std::function<bool(const QString &)>;

    static Calendar parse(const QByteArray &text, const QString &name, const QTimeZone &zone, const Known &known = {});
    // A file that cannot be read, or is larger than MaxFileBytes, gives ok() false.
    static Calendar load(const QString &path, const QTimeZone &zone, const Known &known = {});
    static constexpr qint64 MaxFileBytes = 32 * 1024 * 1024;
    // load(), parsed once for each change of the file (fileStamp()): the copy of the last
    // load of the same path, zone and names (knownKey: what known() accepts, as a key) while
    // the file is unchanged. One copy a path is kept.
    static std::shared_ptr<const Calendar> cached(const QString &path, const QTimeZone &zone, const Known &known,
                                                  const QByteArray &knownKey);

    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    // "NAME: UID u (SUMMARY s): reason" for each event left out.
    const QStringList &problems() const { return m_problems; }
    qsizetype eventCount() const { return m_events.size(); }
    const QString &name() const { return m_name; }
    // Every SUMMARY of the events used, each once.
    QStringList names() const;

    // The occurrences that cover the time (seconds since the epoch), in the order of the
    // events in the file, each event's earliest first.
    QList<Duty> at(qint64 time) const;

    struct Event;

private:
    QString m_name;
    QString m_error;
    QStringList m_problems;
    QList<std::shared_ptr<const Event>> m_events;
    std::shared_ptr<void> m_root; // the parsed file, which the events' zones point into
};

// A file's identity, size and time of change ("-" when it cannot be seen): a file written
// in place or renamed in changes it.
QByteArray fileStamp(const QString &path);

// Who is on duty at the time from a rota's calendar and its overrides: the overrides'
// occurrences when any covers the time (they win over the calendar's), else the
// calendar's; empty when nobody is (the caller pages the rota's default).
QList<Calendar::Duty> onDuty(const Calendar &calendar, const Calendar *overrides, qint64 time);
