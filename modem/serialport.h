#pragma once

#include "modem/waiter.h"

#include <QByteArray>
#include <QString>

// The serial port as the program uses it: a port number, line settings, open and
// close, output and input; readyRead and closed come from WaitSource. Failures throw
// AppError with the codes 8002 (no such port), 8005 (port in use), 70 (the user may
// not open the device) and 8018 (port not open).
class SerialPort : public WaitSource
{
    Q_OBJECT
public:
    using WaitSource::WaitSource;
    ~SerialPort() override = default;

    // 1 = COM1. May throw 8002 for a number that can never name a port.
    virtual void setPortNumber(int number) = 0;
    virtual int portNumber() const = 0;
    // "9600,n,8,1" style: baud, parity (n, e, o), data bits, stop bits.
    virtual void setSettings(const QString &settings) = 0;
    virtual QString settings() const = 0;
    // Opening throws 8002 when the port does not exist, 8005 when another program holds it
    // and 70, with advice naming the device, when the user may not open it.
    virtual void setPortOpen(bool open) = 0;
    // Writes the bytes as they are; throws 8018 when the port is closed.
    virtual void output(const QByteArray &bytes) = 0;
    // Waits, bounded, until the bytes written have left the device, so that closing (which
    // restores the device's earlier line settings) cannot cut them off. Nothing when closed.
    virtual void drain() {}
    // Everything received since the last call; never waits. Empty when closed.
    virtual QByteArray input() = 0;
    // The device the port opens (links resolved, /dev/ttyUSB2); empty when not known.
    virtual QString device() const { return {}; }
    // The device for a person finding out why it is silent: how the port number reached
    // it (a link, or the built-in port for want of one), as it was when the port opened.
    // Empty when not known.
    virtual QString deviceText() const { return device(); }
};
