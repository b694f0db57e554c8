#pragma once

#include "gateway/runnerclock.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class IniFile;
class Reporter;
struct DeviceAccess;
struct QueuedMessage;

// A dead man's switch: something (Alertmanager's always-firing Watchdog alert, a cron job)
// beats at least every Every=; a silence longer than Every= + Grace= pages Page= once, and
// the next beat ends it (paging Restored= when given). [Heartbeat NAME] in oncall.ini.
struct Heartbeat {
    static constexpr const char *DefaultText = "{name} からの連絡が途絶えました";
    QString name;
    int everyS = 300;
    int graceS = 120;
    QString page;     // a recipient, group, rota or escalation
    QString text;     // {name}: the heartbeat's name
    QString restored; // empty: no page when it comes back

    qint64 limitMs() const { return (qint64(everyS) + graceS) * 1000; }
    static QString filled(const QString &text, const QString &name)
    {
        return QString(text).replace(QLatin1String("{name}"), name);
    }
};

namespace heartbeats
{

// The [Heartbeat NAME] sections of oncall.ini, by name; what is wrong in them goes to
// *errors (the file is then refused), keys not known to *problems. Page= is checked by
// the caller, who knows the names.
QHash<QString, Heartbeat> read(const IniFile &ini, QStringList *errors, QStringList *problems);
// The names of the data folder's heartbeats, from oncall.ini alone (no calendar read).
QStringList names(const QString &folder);

// The time of the heartbeat's last beat (ms since the epoch), from queue/state/; nullopt
// when it never beat.
std::optional<qint64> lastBeat(const QString &folder, const QString &name);
// A beat at nowMs, kept in queue/state/ unless one was kept less than a second before:
// the problem, if any.
QString beat(const QString &folder, const QString &name, qint64 nowMs);

} // namespace heartbeats

// The runner's side: wakes at the earliest deadline of the heartbeats not yet silent and
// when queue/state/ changes (a beat), never in between. Which silences it has paged is
// kept in queue/state/, so that a restart pages a silence neither twice nor not at all;
// a heartbeat that never beat starts its clock when the runner first sees it.
class HeartbeatWatch : public QObject
{
    Q_OBJECT
public:
    // Pages text to a name: the problem, if any (tried again a minute later).
    using Pager = std::function<QString(const QString &to, const QString &text)>;
    // The heartbeats now (oncall.ini read again when the data folder changes); nullopt
    // when the file cannot be used: the last good ones stay.
    using Rules = std::function<std::optional<QList<Heartbeat>>()>;
    static constexpr qint64 RetryMs = 60000;

    HeartbeatWatch(QString folder, Rules rules, Pager pager, Reporter &reporter, RunnerClock &clock,
                   QObject *parent = nullptr);
    void start();
    // Reads the beats and pages what is due; sets the timer to the next deadline.
    void check();
    // oncall.ini read again.
    void reload();

private:
    void saveSilences();

    QString m_folder;
    Rules m_rules;
    Pager m_pager;
    Reporter &m_reporter;
    RunnerClock &m_clock;
    QList<Heartbeat> m_heartbeats;
    QHash<QString, qint64> m_silent; // name's key -> the last beat before the silence paged
    QSet<QString> m_heard;           // names heard from since the start
    qint64 m_startMs = 0;
    std::unique_ptr<RunnerClock::Timer> m_timer;
    QFileSystemWatcher m_watcher;
};

namespace heartbeats
{

// The gateway's pager: a silence and its end page as an alert does, through the intakes'
// own path (made to fit, critical, news each time); a name that is an escalation starts it.
HeartbeatWatch::Pager pager(const QString &folder, const DeviceAccess &access, const QueuedMessage &defaults);

} // namespace heartbeats
