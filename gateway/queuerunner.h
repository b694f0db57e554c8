#pragma once

#include "gateway/decisions.h"
#include "gateway/hooks.h"
#include "gateway/messagesend.h"
#include "gateway/personrate.h"
#include "gateway/queuelines.h"
#include "gateway/runnerclock.h"
#include "store/sendqueue.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <memory>
#include <optional>

class Reporter;

// What a runner does with a message that brings no settings of its own.
struct QueueSettings {
    int attempts = 3;
    QList<int> delays{60, 300, 900};
    QString onSent;
    QString onFailed;
    QString listen;        // the HTTP listener's ADDRESS:PORT; empty: none
    QString tokenFile;     // its token; empty: http-token in the data folder
    QString alertTemplate; // the page of an Alertmanager notification; empty: the default
    QString snpp;          // the SNPP listener's ADDRESS:PORT; empty: none
    QStringList snppAllow; // addresses that may page over SNPP without LOGI
    QString snppCenter;    // the centre of an SNPP page to digits; empty: such pages refused
    int hookTimeoutMs = Hook::DefaultTimeoutMs;
    std::optional<int> answerLimitS;  // AnswerLimit=: how long the device may take to answer
    QList<QueueLine> lines;           // [Line NAME] sections; none: the window's one line
    QStringList lineProblems;         // what is wrong in them: the runner does not start
    int coolOffMs = 60000;            // CoolOff=: a line's first rest after 3 failures in a row
    qint64 checkEveryMs = 0;          // CheckEvery=: how often an idle line is checked; 0: never
    std::optional<TestPage> testPage; // TestPage=, TestAt=: every line's test page, unless its own
    qint64 dedupForMs = 600000;       // DedupFor=: a repeat within this long is not paged; 0: every one is
    qsizetype maxQueued = 10000;      // MaxQueued=: past this many waiting, intakes are told to try later
    QString onLineDown;               // hooks for a line going out of service and coming back
    QString onLineUp;
    // MaxPerPerson=, Per=: at most this many pages to one person per this long; 0: no limit.
    int maxPerPerson = PersonRate::DefaultMax;
    qint64 perMs = PersonRate::DefaultPerMs;
    // How long before contents that could not be written back are tried again (not in the
    // file: a full disk is no setting).
    int rewriteMs = 30000;
    // How long a call may take to hang up after a stop before it is cut off.
    int stopLimitMs = 4000;

    // queue/queue.ini of the data folder ([Queue] Attempts, Delays, OnSent, OnFailed,
    // HookTimeout, AnswerLimit, Listen, TokenFile, AlertTemplate, CoolOff, CheckEvery, TestPage, TestAt,
    // DedupFor, MaxQueued,
    // MaxPerPerson, Per,
    // OnLineDown, OnLineUp, Snpp, SnppAllow, SnppCenter; the [Line NAME] sections), values
    // taken as written; missing or bad keys
    // keep the defaults.
    // Unknown keys, bad values and an unreadable file are added to *problems.
    static QueueSettings load(const QString &dataFolder, QStringList *problems = nullptr);
};

// "queue run": sends what is queued over one or several lines, one call at a time on
// each, oldest due message first, then waits for new files (inotify through
// QFileSystemWatcher) and for the next retry's time (a timer), never polling. One runner
// per data folder. The waiting messages are known from an index kept in memory: a file is
// read when it appears (or is replaced) and when its message is taken to be sent; inotify
// names the files that changed, so a change costs the same however many messages wait.
//
// Each due message goes to the first free line in service that may call its centre, in
// the order the lines are listed. A failed call is tried at once on another line that
// may carry the message; the message's tries grow only when every such line has failed
// it in one round, and it then waits for its next retry's time; after its attempts it
// goes to failed/. A failure counts against the line when it is the device's (its
// failure's fault is the device's) or when another line then sends the message; a failure every line shares is the
// message's. A line with FailuresToRest such failures in a row goes out of service for
// the cool-off (doubling each time, up to MaxCoolOffS), then gets a trial call and is back
// at its first success; the last line in service is never taken out. With CheckEvery= an
// idle line whose kind has a check (LineCheck) is checked that often without a call; a
// failed check counts against it as a device's failed call does (a passed one clears the
// failures of checks, not those of calls), and a line out of service is checked when its
// cool-off ends, in place of the trial call, and is back only when the check passes. A line
// with TestPage= (checks on or not) sends its test page at each TestAt= when it is next
// idle, as a check of that line: told, counted and held against it as one (a page that
// cannot go for its own sake, an unknown name or a text too long, is only told), and kept
// out of the history. A line another
// program holds is busy until its lock comes free. A message that can never go (unknown
// name, too long, a damaged file, a link or another user's file) goes to failed/ at once.
// Contents that cannot be written back (a full disk) are kept in memory, the file back in
// queue/ as it was, and written again every rewriteMs until that works.
// At most MaxPerPerson= calls a person's page through per Per=: what comes beyond waits,
// and when the window reopens with two or more due for the person, they go as one summary
// page (queued in their place through addBatch, made to fit the centre); an escalation's
// steps wait as the others do but are never folded into one.
// queue/lines.json tells what each line is doing, rewritten at every change.
class QueueRunner : public QObject
{
    Q_OBJECT
public:
    static constexpr int FailuresToRest = 3;
    static constexpr int MaxCoolOffS = int(decisions::MaxCoolOffMs / 1000);

    // Its time and timers come from clock.
    QueueRunner(QString folder, QueueSettings settings, Reporter &reporter, MessageSend::DriverFactory factory,
                RunnerClock &clock = RunnerClock::system(), QObject *parent = nullptr);
    ~QueueRunner() override;

    // Checks the spool's folders and the lines, takes the folder's runner lock and
    // recovers what a killed runner left in work/. An Outcome when it cannot run:
    // BadInput for folders others could change or that cannot be written and for lines
    // that cannot be driven, Busy when another runner has the folder.
    std::optional<Outcome> start();
    // What every line's sends are given (a line's own keys go on top).
    void setDeviceAccess(DeviceAccess access) { m_access = std::move(access); }
    // The lines' names, in order, once started.
    QStringList lineNames() const;
    // Those checked when idle.
    QStringList checkedLines() const;
    // SIGTERM: the calls under way hang up (within stopLimitMs, else they are cut off),
    // hooks under way are stopped, the messages stay queued; stopped() follows.
    void stop();

signals:
    // A call for a message begins on a line.
    void calling(const QString &id, const QString &line);
    // A call for a message ended on a line (attempt counts from 1).
    void tried(const QString &id, const Outcome &outcome, int attempt, const QString &line);
    // A message left the queue: sent, or given up (in failed/) with the reason.
    void settled(const QString &id, bool sent, const QString &reason);
    // A line went out of service or came back.
    void lineChanged(const QString &line, bool inService);
    // A check of an idle line ended: passed (Failure::None) or failed on the device; checks
    // that could not be made (the line held by another program) are not told.
    void checked(const QString &line, const Outcome &outcome);
    // Nothing is due now that a line could carry (the queue may hold messages waiting).
    void idle();
    void stopped();

private:
    struct Line;
    struct Round;

    void refresh();
    void reread(const QSet<QByteArray> &names);
    void schedule();
    // Whether the message waits for its person's window (noted in m_limited).
    bool limited(const QueuedMessage &m, qint64 now);
    int inFlight(const QString &person) const;
    // The due messages of people whose window reopened, two or more, as one summary page.
    void summarizeHeld(qint64 now);
    bool mayCarry(const Line &line, const QueuedMessage &m) const;
    QString centerOf(const QueuedMessage &m) const;
    std::optional<Outcome> noLineMayCall(const QueuedMessage &m, const QString &center) const;
    bool anyLineMayCall(const QString &center) const;
    void setAside(const sendqueue::Entry &e);
    void writeBackUnsaved();
    void send(Line &line, const QueuedMessage &m);
    // What a call left to carry a decision out with.
    struct Call {
        bool ran;         // a try: counted when the message is given up
        bool told;        // the try's result was told as it ended
        QString text;     // as sent
        QString lockPath; // the line's lock, found held
        QString device;   // the line's device, whose lock other programs take
        QJsonObject fields;
    };
    void sendEnded(Line &line, QueuedMessage m, Outcome outcome);
    void carryOut(Line *line, QueuedMessage m, const decisions::Decision &d, const Outcome &outcome, const Call &call);
    void giveUp(Line *line, const QueuedMessage &m, const QString &reason, const Outcome &told, bool tryTold,
                const QString &text, int attempt);
    void settle(Line &line, const QueuedMessage &m, const Outcome &told, const QString &hook, const QString &text,
                int attempt);
    void putBack(const QueuedMessage &m);
    void spoolProblem(const sendqueue::Result &r, const QString &id);
    void lineFailed(Line &line, const QString &reason);
    void lineSent(Line &line);
    void held(Line &line, const QString &lockPath, const QString &device, const QString &why);
    void coolOffEnded(Line &line);
    void lineBack(Line &line);
    void armCheck(Line &line);
    void startCheck(Line &line);
    void checkEnded(Line &line, const Outcome &outcome);
    void armTestPage(Line &line);
    // The test page due on the line, if it is idle now.
    void maybeTestPage(Line &line);
    void runHook(const QString &command, const HookContext &context);
    void runLineHook(const QString &command, const Line &line, const QString &status, const QString &reason);
    void lineFree(Line &line);
    void writeStatus();
    bool quiet() const;
    void maybeStopped();
    void cutOff();

    QString m_folder;
    QueueSettings m_settings;
    Reporter &m_reporter;
    MessageSend::DriverFactory m_factory;
    DeviceAccess m_access;
    std::unique_ptr<sendqueue::RunnerLock> m_lock;
    QFileSystemWatcher m_watcher; // queue/ when inotify cannot be had: every change a whole listing
    struct Events;                // inotify on queue/: the names that changed
    std::unique_ptr<Events> m_events;
    RunnerClock &m_clock;
    std::unique_ptr<RunnerClock::Timer> m_timer;
    std::unique_ptr<RunnerClock::Timer> m_stopLimit;
    std::unique_ptr<RunnerClock::Timer> m_rewrite;
    std::vector<std::unique_ptr<Line>> m_lines;
    // The waiting messages by id (ids sort by the time they were added), as last read.
    struct Waiting {
        sendqueue::Stamp stamp;
        QueuedMessage message;
    };
    QMap<QByteArray, Waiting> m_waiting; // by file name, so oldest first

    QHash<QString, Round> m_rounds;          // failovers of messages in their current round
    QHash<QString, QString> m_centers;       // a message's centre once a line has looked it up
    QHash<QString, QueuedMessage> m_unsaved; // new contents not yet written back, by id
    PersonRate m_rate;
    QSet<QString> m_limited;           // people with pages waiting for their window
    QList<QPointer<Hook>> m_lineHooks; // hooks no line waits for
    bool m_dirty = true;               // queue/ to be listed whole before the next choice
    QSet<QByteArray> m_changed;        // names in queue/ changed since the index was made
    bool m_statusProblem = false;
    bool m_stopping = false;
    bool m_stoppedTold = false;
};
