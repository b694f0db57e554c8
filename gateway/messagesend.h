#pragma once

#include "gateway/calldriver.h"
#include "gateway/outcome.h"
#include "gateway/prepare.h"
#include "gateway/runnerclock.h"

#include <QObject>
#include <functional>
#include <memory>

class KeyringPasswords;
class PortLock;
class PortLockWaiter;
class Reporter;

// One try of one message: the checks, the line's lock (waiting for it as long as
// allowed), the call, and the history record after a send. done() tells the outcome.
class MessageSend : public QObject
{
    Q_OBJECT
public:
    using DriverFactory = std::function<std::unique_ptr<CallDriver>()>;

    MessageSend(QString folder, Target target, QString text, Reporter &reporter, DriverFactory factory,
                QObject *parent = nullptr);
    ~MessageSend() override;

    // How long to wait for a line another program holds: 0 not at all, negative for ever.
    void setLineWait(qint64 ms) { m_lineWaitMs = ms; }
    // Where that wait takes its time from (the system's clock unless told).
    void setClock(RunnerClock &clock) { m_clock = &clock; }
    void setDeviceAccess(DeviceAccess access) { m_access = std::move(access); }
    // Whether a sent message goes into the folder's history (a line's test page does not).
    void setRecordHistory(bool on) { m_recordHistory = on; }
    void start();
    // Stops where it is: a call hangs up. done() follows with Stopped and interrupted() true.
    void abort();
    bool interrupted() const { return m_aborted; }
    // The message as it was (or would have been) sent, once checked.
    const QString &sentText() const { return m_sentText; }
    // The lock file of the line it used or found held; empty for a line without one.
    QString lockPath() const;
    // The device of that line (links resolved), whose lock other programs take.
    QString device() const;

signals:
    void done(const Outcome &outcome);

private:
    QString portName(int port) const;
    QString unusableLine(int port) const;
    void readSipPassword();
    void sipPasswordRead(const QString &password, QString error);
    void callSip(const QString &password);
    void call();
    void lineWaitEnded(int port);
    void callEnded(Failure failure, const QString &message);
    void finish(Outcome outcome);

    QString m_folder;
    Target m_target;
    QString m_text;
    QString m_sentText;
    Reporter &m_reporter;
    DriverFactory m_factory;
    qint64 m_lineWaitMs = 0;
    RunnerClock *m_clock = &RunnerClock::system();
    std::unique_ptr<RunnerClock::Timer> m_waitLimit;
    DeviceAccess m_access;
    std::unique_ptr<KeyringPasswords> m_keyring;
    QString m_sipPassword;
    std::unique_ptr<Prepared> m_prepared;
    std::unique_ptr<PortLock> m_lock;
    QString m_lockPath;
    QString m_device;
    PortLockWaiter *m_waiter = nullptr;
    std::unique_ptr<CallDriver> m_driver;
    bool m_aborted = false;
    bool m_finished = false;
    bool m_recordHistory = true;
};

// A direct send: one message tried until it is sent or the runner's policy gives it up,
// each retry after its delay on the clock. finished() tells the last outcome, the text as
// sent and the try it came from.
class RetriedSend : public QObject
{
    Q_OBJECT
public:
    // One try, made by the caller with its settings (a child of parent).
    using TryFactory = std::function<MessageSend *(QObject *parent)>;

    // attempts: the tries allowed after the first; delays: the waits before each retry in
    // seconds (the last one repeats).
    RetriedSend(TryFactory factory, QString text, int attempts, QList<int> delays, Reporter &reporter,
                RunnerClock &clock = RunnerClock::system(), QObject *parent = nullptr);
    ~RetriedSend() override;

    void start() { tryOnce(1); }
    // A call under way hangs up (its outcome follows); a wait for a retry ends at once, stopped.
    void stop();

signals:
    void retrying(qint64 at, const Outcome &outcome, int attempt);
    void finished(const Outcome &outcome, const QString &text, int attempt);

private:
    void tryOnce(int attempt);

    TryFactory m_factory;
    QString m_text;
    int m_attempts;
    QList<int> m_delays;
    Reporter &m_reporter;
    RunnerClock &m_clock;
    std::unique_ptr<RunnerClock::Timer> m_retry;
    MessageSend *m_current = nullptr;
    int m_next = 0; // the try the retry timer starts
    bool m_stopping = false;
};

// Records a sent message in the folder's history as the window does (nothing when
// History is 0), keeping what others recorded meanwhile. The problem, if any.
std::optional<QString> recordSent(const QString &folder, const QString &recipient, const QString &center,
                                  const QString &text);
