#pragma once

#include "gateway/outcome.h"
#include "gateway/prepare.h"
#include "store/intake.h"
#include "store/sendqueue.h"

#include <QHash>
#include <QQueue>
#include <mutex>
#include <optional>

// The listener's bearer token: the first line of tokenFile (only its owner may read
// it), else of http-token in the data folder, made (mode 0600) with a new random token
// when there is none. nullopt with *problem when it cannot be had or is shorter than
// MinimumTokenLength (one a client could guess).
inline constexpr int MinimumTokenLength = 16;
std::optional<QByteArray> listenerToken(const QString &tokenFile, const QString &folder, QString *problem);

// A message handed in from outside into the folder's queue: a page to an escalation starts
// (its later steps are the runner's), a resolved notice ends the open pages of its group,
// anything else goes through addBatch.
IntakeAnswer addIntakeMessage(const QString &folder, const DeviceAccess &access, const QueuedMessage &defaults,
                              const IntakeMessage &message);

// The queue runner as the HTTP listener sees it: adds through addToQueue, answers for
// messages from the queue's folders and from the outcomes it was told, and keeps the
// counts the metrics show. The listener calls it from its own thread, the runner tells
// it what happened from the runner's: every member takes the one mutex.
class QueueIntake : public Intake
{
public:
    static constexpr int RememberedOutcomes = 10000;
    // How long in all a request waits for the data folder's lock (held by another program
    // for a moment) before it is answered "try again": well within the listener's time.
    static constexpr int FolderWaitMs = 5000;

    // lines: the runner's lines, by name, in order.
    QueueIntake(QString folder, QStringList lines, DeviceAccess access, QueuedMessage defaults);

    IntakeAnswer add(const IntakeMessage &message) override;
    IntakeStatus status(const QString &id) override;
    IntakeMetrics metrics() override;
    IntakePage page(const QString &id) override;
    IntakePage acknowledge(const QString &id, QString *problem) override;
    bool healthy() override;
    QStringList warnings() override;
    IntakeBeat heartbeat(const QString &name) override;

    // From the runner.
    void setInService(bool inService);
    // Why oncall.ini in use is not the one on disk (OnCallWatch); empty: it is.
    void setOnCallProblem(const QString &problem);
    // A call for the message began on the line, and ended there.
    void calling(const QString &id, const QString &line);
    void callEnded(const QString &id, const Outcome &outcome, const QString &line);
    // The line went out of service or came back.
    void lineChanged(const QString &line, bool inService);
    // The lines the runner checks when idle (their check counts are shown).
    void setChecked(const QStringList &lines);
    // A check of the idle line ended, passed or not, at atMs.
    void lineChecked(const QString &line, bool ok, qint64 atMs);
    // The message left the queue: sent, or given up with the reason.
    void settled(const QString &id, bool sent, const QString &reason);

private:
    QString m_folder;
    struct Line {
        QString name;
        bool inService = true;
        bool lastCallOk = true; // its last call did not fail on the line
        QMap<QString, quint64> calls;
        bool checked = false;
        quint64 checksOk = 0, checksFailed = 0;
        qint64 lastCheckMs = 0;
    };
    Line *line(const QString &name);

    DeviceAccess m_access;
    QueuedMessage m_defaults;
    std::mutex m_mutex;
    QHash<QString, IntakeStatus> m_outcomes;
    QQueue<QString> m_order; // oldest first
    quint64 m_sent = 0;
    quint64 m_failed = 0;
    QList<Line> m_lines;
    QHash<QString, QString> m_calling; // message id -> the line it is being sent on
    bool m_inService = false;
    QString m_onCallProblem;
    // oncall.ini's heartbeats as last read, with the file's stamp then; the last beat kept
    // of each, so that a storm of beats neither reads nor writes the disk.
    QStringList m_heartbeats;
    QPair<qint64, qint64> m_oncallStamp{-1, -1};
    QHash<QString, qint64> m_beatKept;
};
