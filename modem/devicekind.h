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

// One write of the centre call: the bytes, then optionally a wait for "OK" and a
// one-second pause.
struct CallStep {
    QByteArray bytes;
    bool waitOk = false;
    bool pause = false;
    bool operator==(const CallStep &) const = default;
};

// What a kind's line is made from: the services of the program that drives it (the
// window, fumidori-send). A kind that needs anything else (a connection to a bus, a
// child process) makes it in its line, so a new kind leaves this alone.
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

// How an idle line of a kind is checked without a call (queue.ini's CheckEvery=).
enum class IdleCheck {
    None,         // not at all (a device that takes no command, or that the queue does not drive)
    At,           // "AT" answered with "OK"
    AtRegistered, // that, and "AT+CREG?" telling the module is registered (1 home, 5 roaming)
    Register,     // the account registers with its server
    ModemState,   // the modem's state asked over the bus (enabled and registered)
};

// One device kind, as stored in the settings (ModemKind) and listed in the options
// dialog: every rule the window, the options dialog, fumidori-send and the queue need.
// Nothing outside the registry names a particular kind; everything asks its row.
struct DeviceKindRow {
    const char *label; // in the options dialog's list (UTF-8)
    const char *name;  // in messages (UTF-8)
    // Makes its line. Kinds with the same maker share one line object.
    std::unique_ptr<Line> (*makeLine)(const LineParts &parts);
    bool unattended = false;                 // can send with nobody at a terminal
    bool usesAccount = false;                // registers with an account whose password is read before the call
    bool trial = false;                      // choosing it warns that sending to it does not work yet
    OptionsGroup group = OptionsGroup::None; // its settings in the options dialog
    const char *optionsNote = "";            // shown in its group (UTF-8)
    // Dials the centre with an AT command (ATD), whose dial string may hold pauses (',')
    // and waits for the dial tone ('W') as well as digits.
    bool dialsWithAt = false;
    IdleCheck check = IdleCheck::None; // how an idle line of the kind is checked

    // The rest is read by the line on a serial port (ModemLine) alone. The command
    // strings are built from the settings at the moment a command is sent, so a change
    // in the options dialog takes effect at once.
    bool usesPort = false;         // opens the serial port of PortNumber
    const char *lineSettings = ""; // the serial line ("9600,n,8,1")
    bool answersOk = false;        // answers each command with "OK" + CR (unless OkCheckNo says not to look)
    // Each write of dialWrites awaits the device's "OK" before the next one, so the
    // device paces the keys.
    bool keysPaced = false;
    QByteArray hangUp = {}; // written before the line is closed
    // Written when the device answers the hang-up with "ERROR"; empty: the line closes
    // right after the hang-up, awaiting no answer.
    QByteArray hangUpOnError = {};
    // Every write of the centre call, in order (none: nothing is written).
    QList<CallStep> (*callSteps)(const Settings &s, const QString &number) = nullptr;
    // What keying in one string of touch-tone digits writes, one entry per write (none:
    // nothing is written).
    QList<QByteArray> (*dialWrites)(const QString &digits) = nullptr;
    // For a kind without a port or an account whose settings name one of several devices:
    // that device, in words (two lines naming the same one are one device), looked up
    // where the devices are listed; settings that cannot name one device: why, in *problem.
    // Asked once, at the start of a queue run.
    QString (*namedDevice)(const Settings &s, QString *problem) = nullptr;
};

// Every kind, in stored order: a row's position is its ModemKind.
std::span<const DeviceKindRow> deviceKinds();
// The row of a stored kind; null for a kind outside the list.
const DeviceKindRow *deviceKind(int storedKind);
// The row of a stored kind; for a kind outside the list, that of an unknown device on the
// serial port, which writes nothing for the call or the digits and hangs up with "ATH".
const DeviceKindRow &deviceRules(int storedKind);

// The pieces of the modem commands, built from the settings.
namespace atcommand
{
QString speakerPart(const Settings &s);
QString pulseSpeedPart(const Settings &s);
QString outsideLinePart(const Settings &s);
// The text as a command: CP932 with CR.
QByteArray command(const QString &text);
} // namespace atcommand
