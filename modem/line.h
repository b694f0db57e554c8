#pragma once

#include "modem/devicekind.h"
#include "modem/waiter.h"

#include <QCoro/QCoroTask>
#include <QString>

// One device that calls a message centre and keys in touch-tone digits: the modems and
// the link cable over a serial port (ModemLine), and any device without one. A failure
// throws AppError; once the line has closed, the next write throws 8018 (not open).
// closed() (from WaitSource) is emitted whenever the line closes, by our hang-up or not.
class Line : public WaitSource
{
    Q_OBJECT
public:
    using WaitSource::WaitSource;

    // Opens the device and places the call to the centre's number.
    virtual QCoro::Task<> call(const QString &number) = 0;
    // Keys in one string of touch-tone digits.
    virtual QCoro::Task<> dial(const QString &digits) = 0;
    // Until the device has taken the last command; a device that gives no answer (or
    // whose answers are not looked at) pauses the given seconds instead. A "NO CARRIER"
    // ends the wait with noCarrier().
    virtual QCoro::Task<> awaitOk(double seconds) = 0;
    // The given seconds on the waiter's clock; ends early when the line closes.
    virtual QCoro::Task<> pause(double seconds) = 0;
    // When open: ends the call. The line counts as closed at once (the device may
    // still take a moment to answer before it is closed).
    virtual void hangUp() = 0;
    // At the program's end: hangs up with nothing left to wait for.
    virtual void hangUpForExit() { hangUp(); }
    // True while the device is still ending a call it was asked to end (saying goodbye
    // to the far end); finished() follows.
    virtual bool isEnding() const { return false; }

signals:
    // The far end ended the call.
    void noCarrier();
    // A call that was ending has ended on the device too.
    void finished();
};

// The lines of the device kinds; the send engine takes the one of the kind set when a
// call begins.
class LineSet
{
public:
    virtual ~LineSet() = default;
    virtual Line &line(int storedDeviceKind) = 0;
};

// The same line for every device kind.
class SingleLine : public LineSet
{
public:
    explicit SingleLine(Line &line) : m_line(line) {}
    Line &line(int) override { return m_line; }

private:
    Line &m_line;
};
