#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <span>

struct Settings;
class Line;
class LineLog;
class PasswordStore;
class SendFrontEnd;
class SerialPort;
class Waiter;

// The kinds of device that place the call, as stored in the settings (ModemKind) and
// listed in the options dialog. Only the registry below names them: everything else
// asks its rows.
enum class DeviceKind : qint16 {
    Modem = 0,
    Modem2,
    PcCard1,
    PcCard2,
    PcCard3,
    TerminalAdapter,
    LinkCable,
    Modem3,
    MobileModule, // a mobile-phone module on the 3GPP voice commands (ATD...;, AT+VTS, AT+CHUP)
    SoundCard,    // the sound card played as a tone dialer; no serial port
    Sip,          // an Internet telephone account through baresip (SipLine); no serial port
    ModemManager, // a phone module ModemManager manages, through its voice interface; no port of ours
};

// One write of the centre call: the bytes, then optionally a wait for "OK" and a
// one-second pause.
struct CallStep {
    QByteArray bytes;
    bool waitOk = false;
    bool pause = false;
    bool operator==(const CallStep &) const = default;
};

// The rules of one device kind. The command strings are built from the settings at
// the moment a command is sent, so a change in the options dialog takes effect at once.
struct DeviceRules {
    const char *lineSettings; // the serial line ("9600,n,8,1"); empty for a device without one
    bool answersOk;           // answers each command with "OK" + CR (unless OkCheckNo says not to look)
    QByteArray hangUp;        // written before the line is closed
    // Written when the device answers the hang-up with "ERROR"; empty: the line closes
    // right after the hang-up, awaiting no answer.
    QByteArray hangUpOnError;
    // Each write of dialWrites awaits the device's "OK" before the next one, so the
    // device paces the keys.
    bool keysPaced;
    // Every write of the centre call, in order.
    QList<CallStep> (*callSteps)(const Settings &s, const QString &number);
    // What keying in one string of touch-tone digits writes, one entry per write.
    QList<QByteArray> (*dialWrites)(const QString &digits);
};

// The rules of a stored kind; a kind outside the list writes nothing for the call or the
// digits and hangs up with "ATH". The kinds without a serial port have empty rules:
// their lines place the call and play the digits themselves.
const DeviceRules &deviceRules(int storedKind);

// Whether the kind dials the centre with an AT command (ATD), whose dial string may hold
// pauses (',') and waits for the dial tone ('W') as well as digits.
bool dialsWithAt(int storedKind);
// What a kind's line is made from.
struct LineParts {
    const Settings &settings;
    Waiter &waiter;
    SerialPort &port;                   // the serial port every kind that uses one shares
    PasswordStore *passwords = nullptr; // the account's password, for a kind that registers
    SendFrontEnd *frontEnd = nullptr;   // asks the person at the device, for a kind that needs one
    LineLog *log = nullptr;             // where the line records its traffic
    QString dataFolder = {};            // where a line keeps what must outlive the program
};

// The settings group the options dialog shows below the kind.
enum class OptionsGroup {
    None,
    ToneLength, // the tone length alone (the device sets the gap itself)
    Tones,      // the tone length and the gap
    Account,    // the Internet telephone account
    Gap,        // the gap between digits alone (the device sets the tone length itself)
};

// One device kind: everything the window, the options dialog, fumidori-send and the
// queue need to know about it.
struct DeviceKindRow {
    qint16 stored;           // ModemKind in the settings
    const char *label;       // in the options dialog's list (UTF-8)
    const char *name;        // in messages (UTF-8)
    bool usesPort;           // opens the serial port of PortNumber
    bool unattended;         // can send with nobody at a terminal
    bool usesAccount;        // registers with an account whose password is read before the call
    bool trial;              // choosing it warns that sending to it does not work yet
    OptionsGroup group;      // its settings in the options dialog
    const char *optionsNote; // shown in its group (UTF-8; may be empty)
    // Makes its line. Kinds with the same maker share one line object.
    std::unique_ptr<Line> (*makeLine)(const LineParts &parts);
    // For a kind without a port or an account whose settings name one of several devices:
    // that device, in words (two lines naming the same one are one device).
    QString (*namedDevice)(const Settings &s) = nullptr;
};

// Every kind, in stored order.
std::span<const DeviceKindRow> deviceKinds();
// The row of a stored kind; null for a kind outside the list.
const DeviceKindRow *deviceKind(int storedKind);

// The pieces of the modem commands, built from the settings.
namespace atcommand
{
QString speakerPart(const Settings &s);
QString pulseSpeedPart(const Settings &s);
QString outsideLinePart(const Settings &s);
// The text as a command: CP932 with CR.
QByteArray command(const QString &text);
} // namespace atcommand
