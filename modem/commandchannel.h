#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <functional>

struct Settings;
class SerialPort;
class Waiter;

// One write of the centre call: the bytes, then optionally a wait for "OK" and a
// one-second pause.
struct CallStep {
    QByteArray bytes;
    bool waitOk = false;
    bool pause = false;
    bool operator==(const CallStep &) const = default;
};

// The one place that talks to the device: the command strings and key bytes of every
// device kind, the wait for "OK" and the timed waits. Settings are read at the moment
// a command is built, so a change in the options dialog takes effect at the next one.
class CommandChannel
{
public:
    CommandChannel(const Settings &settings, SerialPort &port, Waiter &waiter);

    // Run when "NO CARRIER" ends a wait: the hang-up button's action.
    void setNoCarrierAction(std::function<void()> action) { m_noCarrier = std::move(action); }

    // Opens the port on PortNumber, initialises the device and dials the centre.
    void CallCenter(const QString &number);
    // One string of touch-tone digits in the form the device kind takes.
    void DialDigits(const QString &digits);
    // The link cable's key bytes, one write per key.
    void SendLinkKeys(const QString &digits);
    // Until "OK" + CR came or the port closed; a fixed pause when answers are not checked.
    void WaitForOk(double seconds);
    // The given seconds on the waiter's monotonic clock; ends early when the port closes.
    void WaitSeconds(double seconds);

    // The pieces of the commands, built from the settings.
    static QString speakerPart(const Settings &s);
    static QString pulseSpeedPart(const Settings &s);
    static QString outsideLinePart(const Settings &s);
    // Every write of the centre call for the device kind, in order.
    static QList<CallStep> callSteps(const Settings &s, const QString &number);
    // What DialDigits writes for the device kind, one entry per write.
    static QList<QByteArray> dialWrites(int modemKind, const QString &digits);
    // The link cable's byte for one character, or -1 when the character has none.
    static int linkKey(QChar ch);
    // The line settings the device kind opens the port with.
    static QString lineSettings(int modemKind);

    // The most of a response the wait keeps once it has looked at it: enough of its
    // tail to find "OK" + CR or "NO CARRIER" split across reads.
    static constexpr int ResponseTail = 9;

    // What the wait for "OK" makes of the device's answer so far.
    enum class Answer { None, Ok, NoCarrier };
    // Appends what came to buffer and looks for "NO CARRIER" (first) or "OK" + CR. With
    // neither, buffer is cut to its last ResponseTail bytes, so a device that talks
    // without end never grows it.
    static Answer scanAnswer(QByteArray &buffer, QByteArrayView received);

private:
    bool readAnswer(QByteArray &buffer, bool &noCarrier);

    const Settings &m_settings;
    SerialPort &m_port;
    Waiter &m_waiter;
    std::function<void()> m_noCarrier;
};
