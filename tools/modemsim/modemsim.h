#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

// Faults the simulated modem can be told to show.
struct SimFaults {
    int noCarrierAfter = 0;    // answer the n-th command of a call with NO CARRIER and drop the call
    int dropAfter = 0;         // close the line after the n-th command of a call
    bool silent = false;       // no echo and no answer at all
    bool noCr = false;         // answers end in LF only, so "OK" is never followed by CR
    int noise = 0;             // random bytes sent before each answer
    bool chupError = false;    // a mobile-phone module answers AT+CHUP with ERROR (ATH still hangs up)
    bool unregistered = false; // a mobile-phone module answers AT+CREG? with "searching" (2), not registered
    int failEvery = 0;         // every n-th call fails whole: its centre dial gets NO CARRIER
    bool noDialtone = false;   // the phone line is dead: every centre dial gets NO DIALTONE
    QString unreachable;       // a centre number that never answers: its dial gets NO CARRIER
    bool busy = false;         // every centre dial gets BUSY
    bool noAnswer = false;     // every centre dial gets NO ANSWER (a managed module's rings on unanswered)
    // As a managed module: the call is dropped after its n-th key (NO CARRIER, gone from +CLCC).
    int dropAfterKeys = 0;
    QString imei = QStringLiteral("490154203237518"); // a managed module's equipment identifier (AT+CGSN)
};

// What sits on the line: a voice modem, or a mobile-phone module driven by the
// 3GPP voice commands (ATD<number>; to call, AT+VTS=<key> for each key, AT+CHUP), or
// such a module as a modem manager sees it: it also answers the manager's probing
// (+GCAP, +CGMI, +CGSN, +CPIN?, +CREG? ...), lists its call in +CLCC and ends it with
// AT+CHLD=11 as well.
enum class SimKind { Modem, Module, Managed };

// What the message centre made of one call.
struct CallRecord {
    QString centre;
    QString keys; // service keys before the number ("1" or "#")
    QString recipient;
    QString digits;    // the message digits, pieces joined
    QString endMark;   // "##" or "#"
    bool star = false; // a closing "*" came after the message
    bool dropped = false;
    // The printed summary, the message decoded back to text.
    QString summary() const;
};

// A voice modem with a message centre behind it, fed the bytes the program writes.
// AT commands are answered with "OK" + CR LF; the first dial of a call reaches the
// centre and later dials are touch-tone digits; ATH ends the call. The link cable's
// key bytes are understood as well. As a module, only a voice call (ATD...;) reaches
// the centre, keys come one AT+VTS each, and AT+CHUP or ATH ends the call.
class ModemSim
{
public:
    explicit ModemSim(const SimFaults &faults = {}, SimKind kind = SimKind::Modem);

    void receive(const QByteArray &bytes);
    // The program closed its port: a modem's call under way ends there, as a modem hangs up
    // when DTR drops (a killed program's call does not run on into the next program's). A
    // phone on the link cable keeps its call: the cable only carries its keys.
    void portClosed();

    std::function<void(const QByteArray &)> echo;   // sent at once
    std::function<void(const QByteArray &)> answer; // sent after the configured delay
    std::function<void()> dropLine;                 // close the line under the program
    std::function<void(const CallRecord &)> callEnded;

    static QByteArray productCode() { return QByteArrayLiteral("FUMIDORI MODEMSIM VOICE 2.32"); }

private:
    void command(const QByteArray &line);
    bool runCommands(const QByteArray &body);
    bool extended(const QByteArray &command);
    // False when the dial was answered already (a failed call's NO CARRIER).
    bool dial(const QByteArray &dialString);
    // A managed module's answers to the probing and call-list queries; false: not one of them.
    bool managedQuery(const QByteArray &command);
    void linkByte(uchar byte);
    void endCall(bool dropped);
    void reply(const QByteArray &text);

    SimFaults m_faults;
    SimKind m_kind;
    bool m_echo = true;
    QByteArray m_line;
    int m_commands = 0;     // commands since the last call ended
    int m_calls = 0;        // calls begun, failed ones included
    int m_keys = 0;         // keys of the call under way
    bool m_ringing = false; // the call under way is not answered
    bool m_inCall = false;
    bool m_linkCentre = false; // between the link cable's 0xA7 and 0x86
    bool m_linkCall = false;   // the call under way was made over the link cable
    QString m_centre;
    QStringList m_dials;
    QString m_keyStream; // link cable keys after the centre's number
};

// Splits what was dialled after the centre into keys, number, message and end marks.
CallRecord parseCall(const QString &centre, const QString &stream);
