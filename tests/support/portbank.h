#pragma once

#include "store/apperror.h"
#include "support/fakeport.h"
#include "support/virtualwaiter.h"

#include <QMap>

// Fifteen ports behind one FakePort, for modem detection: each number is absent (8002),
// held by another program (8005), not to be opened by this user (70), present, or failing on every write; a present
// device may answer each write after a delay of virtual time.
class PortBank : public FakePort
{
public:
    enum Kind { Missing, InUse, Refused, Present, Failing };
    struct Device {
        Kind kind = Missing;
        QByteArray answer; // nothing: the device stays silent
        qint64 delayMs = 120;
    };

    QMap<int, Device> devices;
    QList<int> opened;

    explicit PortBank(VirtualWaiter &waiter)
    {
        onWrite = [this, &waiter](const QByteArray &) {
            const int number = portNumber();
            const Device device = devices.value(number);
            if (!device.answer.isEmpty())
                waiter.after(device.delayMs, [this, number, device] {
                    if (isOpen() && portNumber() == number)
                        receive(device.answer);
                });
        };
    }

    void setPortOpen(bool open) override
    {
        if (open) {
            const Kind kind = devices.value(portNumber()).kind;
            failOpenWith = kind == Missing ? 8002 : kind == InUse ? 8005 : kind == Refused ? 70 : 0;
            FakePort::setPortOpen(true);
            opened << portNumber();
            return;
        }
        FakePort::setPortOpen(false);
    }

    void output(const QByteArray &bytes) override
    {
        if (isOpen() && devices.value(portNumber()).kind == Failing)
            throw AppError(8010, QStringLiteral("MSComm"), QStringLiteral("The device is not available"));
        FakePort::output(bytes);
    }
};
