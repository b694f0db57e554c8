#pragma once

#include "gateway/calldriver.h"
#include "gateway/outcome.h"
#include "gateway/prepare.h"

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
    void setDeviceAccess(DeviceAccess access) { m_access = std::move(access); }
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
    void callEnded(Failure failure, const QString &message);
    void finish(Outcome outcome);

    QString m_folder;
    Target m_target;
    QString m_text;
    QString m_sentText;
    Reporter &m_reporter;
    DriverFactory m_factory;
    qint64 m_lineWaitMs = 0;
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
};

// Records a sent message in the folder's history as the window does (nothing when
// History is 0), keeping what others recorded meanwhile. The problem, if any.
std::optional<QString> recordSent(const QString &folder, const QString &recipient, const QString &center,
                                  const QString &text);
