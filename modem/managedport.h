#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QVariantMap>
#include <optional>

class Waiter;

// A serial port that a modem managed by ModemManager lists among its ports.
struct ManagedPort {
    QString device; // the modem's device (the sysfs path), as InhibitDevice takes it
    QString text;   // maker, model and IMEI, as a person reads them
};

// The modem of a GetManagedObjects answer that lists port (/dev/ttyUSB2 or ttyUSB2).
std::optional<ManagedPort> managedPort(const QVariantMap &objects, const QString &port);

namespace managedports
{
// The modem ModemManager manages on port; none when none lists it, or ModemManager
// cannot be asked (not running, no bus). Waits for its answer at most a few seconds.
QCoro::Task<std::optional<ManagedPort>> find(Waiter &waiter, QString port);
// Asks ModemManager to let go of the modem on port for as long as this program keeps the
// inhibition (inhibit(), then release()). Its device, or empty when no modem lists the
// port; throws AppError (DeviceFailed) when ModemManager refuses.
QCoro::Task<QString> inhibit(Waiter &waiter, QString port);
// Gives the modem back to ModemManager and waits for its answer (a few milliseconds; at
// most a few seconds), so that the request has left before the program may end: a
// request only queued is lost with the process. (ModemManager also gives the modem back
// by itself when this program leaves the bus.)
void release(const QString &device);
// The refusal of a port in use that ModemManager holds: names the modem and the two ways out.
QString heldText(const QString &port, const ManagedPort &modem);
} // namespace managedports
