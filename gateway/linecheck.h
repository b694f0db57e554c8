#pragma once

#include "gateway/messagesend.h"
#include "gateway/outcome.h"
#include "gateway/prepare.h"

#include <QObject>
#include <memory>

class KeyringPasswords;
class PortLock;

// One check of an idle line of the queue, without a call: the folder's settings with the
// line's keys, the line's lock taken at once and marked as a check's (a line another
// program holds is not checked now), the SIP account's password where one is needed, then
// the driver's check. done() tells the outcome: Failure::None passed; Held, Refused or
// Stopped checked nothing; any other failure is the device's.
class LineCheck : public QObject
{
    Q_OBJECT
public:
    LineCheck(QString folder, DeviceAccess access, MessageSend::DriverFactory factory, QObject *parent = nullptr);
    ~LineCheck() override;

    // Whether a line of the folder with this access is checked at all: its kind's row has
    // a check, and ModemManager is not kept off its port (a check never does that).
    static bool checks(const QString &folder, const DeviceAccess &access);

    void start();
    // Stops where it is; done() follows with Stopped.
    void abort();

signals:
    void done(const Outcome &outcome);

private:
    void run(const QString &password);
    void finish(const Outcome &outcome);

    QString m_folder;
    DeviceAccess m_access;
    MessageSend::DriverFactory m_factory;
    Settings m_settings;
    std::unique_ptr<KeyringPasswords> m_keyring;
    std::unique_ptr<PortLock> m_lock;
    std::unique_ptr<CallDriver> m_driver;
    bool m_finished = false;
};
