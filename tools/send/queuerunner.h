#pragma once

#include "hooks.h"
#include "messagesend.h"
#include "store/sendqueue.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QPointer>
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
    int hookTimeoutMs = Hook::DefaultTimeoutMs;
    std::optional<int> answerLimitS; // AnswerLimit=: how long the device may take to answer
    // How long before contents that could not be written back are tried again (not in the
    // file: a full disk is no setting).
    int rewriteMs = 30000;
    // How long a call may take to hang up after a stop before it is cut off.
    int stopLimitMs = 4000;

    // queue/queue.ini of the data folder ([Queue] Attempts, Delays, OnSent, OnFailed,
    // HookTimeout, AnswerLimit), values taken as written; missing or bad keys keep the defaults.
    // Unknown keys, bad values and an unreadable file are added to *problems.
    static QueueSettings load(const QString &dataFolder, QStringList *problems = nullptr);
};

// "queue run": sends what is queued, one message at a time, oldest due first, then
// waits for new files (inotify through QFileSystemWatcher) and for the next retry's time
// (a timer), never polling. One runner per data folder. A line failure puts the message
// back with its next try's time until its attempts are used up; a message that can never
// go (unknown name, too long, a damaged file, a link or another user's file) goes to
// failed/ at once. Neither holds up the messages behind it. A message whose new
// contents cannot be written back (a full disk) is kept in memory, its file back in
// queue/ as it was, and written again every rewriteMs until that works (not at every
// change of the folder: each try changes it).
class QueueRunner : public QObject
{
    Q_OBJECT
public:
    QueueRunner(QString folder, QueueSettings settings, Reporter &reporter, MessageSend::DriverFactory factory,
                QObject *parent = nullptr);
    ~QueueRunner() override;

    // Checks the spool's folders, takes the folder's runner lock and recovers what a killed
    // runner left in work/. An Outcome when it cannot run: BadInput for folders others
    // could change or that cannot be written, Busy when another runner has the folder.
    std::optional<Outcome> start();
    void setDeviceAccess(DeviceAccess access) { m_access = std::move(access); }
    // SIGTERM: the current call hangs up (within stopLimitMs, else it is cut off), a hook
    // under way is stopped, the message stays queued; stopped() follows.
    void stop();

signals:
    // A message's try ended (attempt counts from 1).
    void tried(const QString &id, const Outcome &outcome, int attempt);
    // Nothing is due now (the queue may hold messages waiting for their time).
    void idle();
    void stopped();

private:
    void schedule();
    void setAside(const sendqueue::Entry &e);
    void writeBackUnsaved();
    void send(const QueuedMessage &m);
    void sendEnded(QueuedMessage m, const Outcome &outcome);
    void putBack(const QueuedMessage &m);
    void spoolProblem(const sendqueue::Result &r, const QString &id);
    void afterMessage();
    void cutOff();

    QString m_folder;
    QueueSettings m_settings;
    Reporter &m_reporter;
    MessageSend::DriverFactory m_factory;
    DeviceAccess m_access;
    std::unique_ptr<sendqueue::RunnerLock> m_lock;
    QFileSystemWatcher m_watcher;
    QTimer m_timer;
    QTimer m_stopLimit;
    QTimer m_rewrite;
    MessageSend *m_current = nullptr;
    QueuedMessage m_currentMessage;
    QPointer<Hook> m_hook;
    QHash<QString, QueuedMessage> m_unsaved; // new contents not yet written back, by id
    bool m_busy = false;                     // a send or its hook is under way
    bool m_stopping = false;
};
