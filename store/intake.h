#pragma once

#include "store/refusal.h"
#include "store/target.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QtPlugin>

// What an intake (the HTTP listener) needs from the queue runner it serves. The runner
// implements Intake; the listener calls it from a thread of its own, never the one that
// drives a line, so every member must be safe to call from any thread.

// A message handed in from outside, as "queue add" takes it.
struct IntakeMessage {
    Target target;
    QString text;
    // Made to fit rather than refused, as a mail's page is: optimised for the centre,
    // compatible forms for characters without a code, the rest dropped, cut at the
    // centre's limit with a mark (an alert must always page).
    bool fit = false;
    QString severity;      // critical, warning, info...: the order among due messages, and held
                           // through oncall.ini's quiet hours when one of Hold=; empty: unknown
    QString group;         // the alert group it was raised for (Alertmanager's groupKey)
    bool resolved = false; // the group's alerts are resolved: its open pages end
    bool news = false;     // never a repeat of an earlier page (a heartbeat's silence and its end)
};

struct IntakeAnswer {
    enum Kind {
        Queued,   // id is set: the message is on disk, written and renamed in
        Refused,  // the message can never go: refusal says why, the intake words it
        NotStored // the queue could not be written: reason
    };
    Kind kind = Refused;
    QString id;           // the page's: its first message's
    QStringList messages; // every message of the page (a group or rota names several)
    QString reason;       // NotStored: why
    IntakeRefusal refusal;
    bool repeat = false; // Queued: a repeat not paged again, id the earlier message's
};

struct IntakeStatus {
    enum State { Unknown, Waiting, Sending, Sent, Failed };
    State state = Unknown;
    QString line;   // Sending: the line it is on
    QString reason; // Failed: why it was given up
};

// A page to an escalation, as the intake shows it.
struct IntakePage {
    bool found = false;
    QString id;
    QString escalation;
    QString state; // open, acknowledged, resolved, exhausted
    int step = 0;  // steps queued so far
    int steps = 0;
    QStringList people; // paged so far
    QString by;         // who acknowledged or resolved it
};

// A heartbeat's beat.
struct IntakeBeat {
    enum Kind { Taken, Unknown, NotStored };
    Kind kind = Unknown;
    QString reason; // NotStored: why
};

struct IntakeMetrics {
    struct Line {
        QString name;
        bool up = false;
        QMap<QString, quint64> calls;           // by outcome word: sent, failed, refused, busy
        bool checked = false;                   // checked when idle (CheckEvery=): the counts below are shown
        quint64 checksOk = 0, checksFailed = 0; // its checks when idle
        qint64 lastCheckMs = 0;                 // when it was last checked (ms since the epoch); 0: never
    };
    QMap<QString, quint64> pages; // pages that ended, by outcome: acknowledged, resolved, exhausted
    quint64 escalationSteps = 0;  // steps of escalations queued
    qint64 waiting = 0;           // messages in the queue's folders
    qint64 sending = 0;
    qint64 failed = 0;
    quint64 sentTotal = 0; // since the runner started
    quint64 failedTotal = 0;
    double oldestWaitingSeconds = 0;  // 0 when nothing waits
    quint64 suppressedDuplicates = 0; // repeats not paged again, ever (kept with the folder)
    QList<Line> lines;
    QList<QPair<QString, double>> heartbeatAges; // seconds since each heartbeat's last beat, by name
};

class Intake
{
public:
    virtual ~Intake() = default;
    virtual IntakeAnswer add(const IntakeMessage &message) = 0;
    virtual IntakeStatus status(const QString &id) = 0;
    virtual IntakeMetrics metrics() = 0;
    // A page by its id; acknowledging it (the steps still to come stop). problem: why not.
    virtual IntakePage page(const QString &id) = 0;
    virtual IntakePage acknowledge(const QString &id, QString *problem) = 0;
    // The runner is in service and at least one of its lines is up.
    virtual bool healthy() = 0;
    // What is wrong without stopping the pages (a file kept from before its bad change),
    // shown by /healthz.
    virtual QStringList warnings() { return {}; }
    // A beat of oncall.ini's [Heartbeat NAME]; Unknown for a name it does not have.
    virtual IntakeBeat heartbeat(const QString &name) = 0;
};

// How the listener is set up.
struct ListenerSettings {
    QString address;       // a numeric IPv4 or IPv6 address
    quint16 port = 0;      // 0: any free port
    QByteArray token;      // what "Authorization: Bearer" must carry
    QString alertTemplate; // the page of an Alertmanager notification; empty: the default
    int connectionsPerClient = 8;
    int connections = 64;
    int idleSeconds = 5;
    int requestSeconds = 10; // a whole request, from its first byte
    int headerBytes = 16 * 1024;
    int bodyBytes = 64 * 1024;
};

// The HTTP listener (http/), a plugin loaded only by a runner that listens, so that no
// other start loads the HTTP server library.
class Listener
{
public:
    virtual ~Listener() = default;
    // Starts serving intake on a thread of the listener's own; the problem, if any.
    virtual QString start(const ListenerSettings &settings, Intake *intake) = 0;
    // The port it listens on (the chosen one when asked for 0).
    virtual quint16 port() const = 0;
    // Closes the socket and every connection; no call into the intake follows.
    virtual void stop() = 0;
};

#define Listener_iid "org.fumidori.Listener/3"
Q_DECLARE_INTERFACE(Listener, Listener_iid)
