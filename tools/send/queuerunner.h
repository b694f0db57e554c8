#pragma once

#include "hooks.h"
#include "messagesend.h"
#include "store/sendqueue.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>

class PortLock;
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

    // queue/queue.ini of the data folder ([Queue] Attempts, Delays, OnSent, OnFailed,
    // Listen, TokenFile, AlertTemplate); missing keys keep the defaults.
    static QueueSettings load(const QString &dataFolder);
};

// "queue run": sends what is queued, one message at a time, oldest due first, then
// waits for new files (inotify through QFileSystemWatcher) and for the next retry's time
// (a timer), never polling. One runner per data folder. A line failure puts the message
// back with its next try's time until its attempts are used up; a message that can never
// go (unknown name, too long, a damaged file) goes to failed/ at once. Neither holds up
// the messages behind it.
class QueueRunner : public QObject
{
    Q_OBJECT
public:
    QueueRunner(QString folder, QueueSettings settings, Reporter &reporter, MessageSend::DriverFactory factory,
                QObject *parent = nullptr);
    ~QueueRunner() override;

    // Takes the folder's runner lock and recovers what a killed runner left in work/.
    // An Outcome (Busy) when another runner has the folder.
    std::optional<Outcome> start();
    void setDeviceAccess(DeviceAccess access) { m_access = std::move(access); }
    // SIGTERM: the current call hangs up, its message stays queued; stopped() follows.
    void stop();

signals:
    // A message's try ended (attempt counts from 1).
    void tried(const QString &id, const Outcome &outcome, int attempt);
    // A message left the queue: sent, or given up (in failed/) with the reason.
    void settled(const QString &id, bool sent, const QString &reason);
    // Nothing is due now (the queue may hold messages waiting for their time).
    void idle();
    void stopped();

private:
    void schedule();
    void send(const QueuedMessage &m);
    void sendEnded(QueuedMessage m, const Outcome &outcome);
    void afterMessage();

    QString m_folder;
    QueueSettings m_settings;
    Reporter &m_reporter;
    MessageSend::DriverFactory m_factory;
    DeviceAccess m_access;
    std::unique_ptr<PortLock> m_lock;
    QFileSystemWatcher m_watcher;
    QTimer m_timer;
    MessageSend *m_current = nullptr;
    bool m_busy = false; // a send or its hook is under way
    bool m_stopping = false;
};
