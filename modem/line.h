#pragma once

#include "modem/devicekind.h"
#include "modem/waiter.h"

#include <QByteArrayView>
#include <QCoro/QCoroTask>
#include <QString>

#include <map>

class LineLog;

// One device that calls a message centre and keys in touch-tone digits: the modems and
// the link cable over a serial port (ModemLine), and any device without one. A failure
// throws AppError; once the line has closed, the next write throws 8018 (not open).
// closed() (from WaitSource) is emitted whenever the line closes, by our hang-up or not.
class Line : public WaitSource
{
    Q_OBJECT
public:
    explicit Line(Waiter &waiter, QObject *parent = nullptr) : WaitSource(parent), m_waiter(waiter) {}

    // Opens the device and places the call to the centre's number.
    virtual QCoro::Task<> call(const QString &number) = 0;
    // Keys in one string of touch-tone digits.
    virtual QCoro::Task<> dial(const QString &digits) = 0;
    // Until the device has taken the last command; a device that gives no answer (or
    // whose answers are not looked at) pauses the given seconds instead. A "NO CARRIER"
    // ends the wait with noCarrier().
    virtual QCoro::Task<> awaitOk(double seconds) = 0;
    // The given seconds on the waiter's clock; ends early when the line closes.
    QCoro::Task<> pause(double seconds);
    // When open: ends the call. The line counts as closed at once (the device may
    // still take a moment to answer before it is closed).
    virtual void hangUp() = 0;
    // At the program's end: hangs up with nothing left to wait for.
    virtual void hangUpForExit() { hangUp(); }
    // The device still finishes the last call after its hang-up (released() follows).
    virtual bool releasing() const { return false; }
    // The line's name in the line log.
    virtual QString name() const = 0;
    // Checks the idle device without a call, as its kind's row says (IdleCheck), and
    // leaves it closed; a failure throws AppError. A kind without a check passes.
    virtual QCoro::Task<> check() { co_return; }

    // Sending with nobody there to hang up (answerLimitMs >= 0): every wait for the
    // device's answer ends after answerLimitMs plus AnswerMsPerDigit for each digit the
    // command wrote, as a line failure; the set-up commands before the dial await
    // their answer whatever OkCheckNo says; and an answer that refuses the call
    // (ERROR, BUSY, NO DIALTONE, NO ANSWER) fails it at once (AppError DeviceFailed or
    // CallFailed; the caller hangs up). Negative: a person is there, and the waits are as long as the
    // device takes.
    void setAnswerLimit(qint64 answerLimitMs) { m_answerLimitMs = answerLimitMs; }
    bool unattended() const { return m_answerLimitMs >= 0; }
    static constexpr qint64 AnswerMsPerDigit = 200;

    // Where the line records its traffic (none: nothing is recorded).
    void setLog(LineLog *log) { m_log = log; }
    LineLog *log() const { return m_log; }

signals:
    // The far end ended the call.
    void noCarrier();
    // The device has let go of the last call (after releasing() was true).
    void released();

protected:
    // Called when a pause has ended: a line with a failure pending throws it here.
    virtual void afterPause() {}
    // The limit for an answer to a command of the given digits; negative: none.
    qint64 answerLimitMs(qsizetype digits) const
    {
        return m_answerLimitMs < 0 ? -1 : m_answerLimitMs + AnswerMsPerDigit * digits;
    }
    // The touch-tone digits in the bytes (0-9, *, #).
    static qsizetype digitCount(QByteArrayView bytes);

    Waiter &m_waiter;
    LineLog *m_log = nullptr;

private:
    qint64 m_answerLimitMs = -1;
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

// The lines of the device kinds, each made from its row when first asked for (kinds
// whose rows share a maker share the line); a kind outside the list gets the serial
// port's line, which writes nothing but its hang-up (deviceRules).
class KindLines : public LineSet
{
public:
    explicit KindLines(const LineParts &parts) : m_parts(parts) {}
    Line &line(int storedDeviceKind) override;

private:
    LineParts m_parts;
    std::map<std::unique_ptr<Line> (*)(const LineParts &), std::unique_ptr<Line>> m_lines;
};
