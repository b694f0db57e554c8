#pragma once

#include "gateway/heartbeat.h"
#include "gateway/rota.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <memory>
#include <optional>

class IniFile;
struct AppData;

// Who a page reaches, from oncall.ini in the data folder: groups of names, rotas read from
// iCalendar files, escalations of steps, the addresses a person acknowledges from, and
// quiet hours. A name is one of the address book's recipients, a group, a rota or an
// escalation, unique across all four. Read whole; a file with a fault is refused whole
// (the caller keeps the last good one) with the reason.
class OnCall
{
public:
    static constexpr const char *FileName = "oncall.ini";
    static constexpr const char *DefaultAckSuffix = " #{ack}";

    enum class Kind { Unknown, Person, Group, Rota, Escalation };

    struct Group {
        QString name;
        QStringList members;
    };
    struct Rota {
        QString name;
        QString calendarFile;  // as written in the file, relative to the data folder
        QString overridesFile; // empty: none
        QString fallback;      // Default=
        std::shared_ptr<const Calendar> calendar;
        std::shared_ptr<const Calendar> overrides;
    };
    struct Step {
        int delay = 0; // seconds from the page's first step
        QString name;
    };
    struct Escalation {
        QString name;
        QList<Step> steps; // in order of their delays, the first at 0
        int repeat = 0;
    };
    // The steps of an escalation as they come due, repeats included: each round starts
    // as long after the round before's last step as its second step comes after its first.
    struct DueStep {
        int delay = 0;
        int step = 0; // 1-based, in the file's numbering
        QString name;
    };
    static QList<DueStep> schedule(const Escalation &escalation);

    // A person reached by a page, and how: "当番 → R2, rota.ics 09:00–18:00".
    struct Reached {
        QString person;
        QString why;
        friend bool operator==(const Reached &, const Reached &) = default;
    };

    // The data folder's oncall.ini: the copy kept in use (keep()), else read(). book: the
    // address book's names.
    static OnCall load(const QString &folder, const QStringList &book);
    // Reads the data folder's oncall.ini. A missing file is an empty OnCall (every name a
    // person of the book).
    static OnCall read(const QString &folder, const QStringList &book);
    static OnCall parse(const IniFile &ini, const QString &folder, const QStringList &book);
    // The same with the book of the folder's data, read already.
    static OnCall load(const QString &folder, const AppData &data);
    static QStringList bookNames(const AppData &data);
    // The copy a long-running program keeps in use for the folder (OnCallWatch): while one
    // is kept, load() for that folder gives it and reads nothing. nullopt: none kept.
    static void keep(const QString &folder, std::optional<OnCall> copy);
    // The calendar files of the rotas (Calendar= and Overrides=), as absolute paths.
    QStringList calendarFiles(const QString &folder) const;

    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    // Not faults of the file: events of calendars left out, keys not known.
    const QStringList &problems() const { return m_problems; }

    Kind kindOf(const QString &name) const;
    const Rota *rota(const QString &name) const;
    const Escalation *escalation(const QString &name) const;
    QStringList rotaNames() const;
    // [Heartbeat NAME] sections, by name (not names a page goes to).
    const QHash<QString, Heartbeat> &heartbeats() const { return m_heartbeats; }
    const QTimeZone &zone() const { return m_zone; }
    const QString &ackSuffix() const { return m_ackSuffix; }
    // The addresses a person acknowledges from, lower-cased.
    QStringList mailOf(const QString &person) const;

    // The people a name reaches at the time (seconds since the epoch), each once, in the
    // order first reached; a rota with nobody on duty reaches its Default=. An escalation
    // reaches nobody here: its steps are named one by one (expand each step's name).
    QList<Reached> expand(const QString &name, qint64 time) const;
    // Who a rota has on duty at the time, with how (the calendar's file and hours); its
    // Default= when nobody.
    QList<Reached> onDuty(const Rota &rota, qint64 time) const;

    // Quiet hours: the time a page of the severity may go when handed in at time; time
    // itself for a severity not held or outside the quiet hours.
    qint64 quietUntil(const QString &severity, qint64 time) const;

private:
    void expandInto(const QString &name, qint64 time, const QString &how, QList<Reached> &out, int depth) const;
    QString hoursOf(const Calendar &calendar, const Calendar::Duty &duty) const;

    QHash<QString, Group> m_groups;
    QHash<QString, Rota> m_rotas;
    QHash<QString, Escalation> m_escalations;
    QHash<QString, QStringList> m_mail;
    QHash<QString, Heartbeat> m_heartbeats;
    QStringList m_book;
    QTimeZone m_zone = QTimeZone::systemTimeZone();
    QString m_ackSuffix = QString::fromLatin1(DefaultAckSuffix);
    int m_quietFrom = -1, m_quietTo = -1; // minutes of the day; -1: no quiet hours
    QStringList m_hold;
    QString m_error;
    QStringList m_problems;
};
