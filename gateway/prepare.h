#pragma once

#include "gateway/outcome.h"
#include "store/appdata.h"
#include "store/target.h"

#include <QStringList>
#include <variant>

// What a device kind may need that a window would ask a person for.
struct DeviceAccess {
    bool onTerminal = false; // standard input is a terminal: a prompt can be asked there
    QString sipPasswordFile; // checked already: only its owner can read it
    QString sipPassword;     // its first line
    // How long the device may take to answer a command (Line::setAnswerLimit).
    qint64 answerLimitMs = DefaultAnswerLimitS * 1000;
    bool trace = false; // the line log's records on standard error as well
    // The queue's line the send goes on: its device keys in place of the settings file's
    // (settingsfile::applyDeviceKeys), a device path in place of the COM number's, and
    // the centres it may call (empty: every one).
    // False where the device is not known yet (a message queued for the queue's own
    // lines, which the runner checks at its start): the kind is then not checked.
    bool checkKind = true;
    QString line; // its name, told with the call's stages
    QList<std::pair<QString, QString>> deviceKeys;
    QString device;
    QStringList centers;

    static constexpr int DefaultAnswerLimitS = 60, MinAnswerLimitS = 5, MaxAnswerLimitS = 3600;
};

// Whether a line that may call the centres listed (none listed: every one) may call center.
bool lineMayCall(const QStringList &centers, const QString &center);
// The refusal of a message to a centre no line of the queue may call.
Outcome noLineForCenter(const QString &recipient, const QString &center);

// A send that passed every check that can be made before dialling.
struct Prepared {
    AppData data; // the folder's settings, address book and history, as read
    MessageCenter center;
    QString recipientName; // as the history records it
    QString number;
    QString text; // as it will be sent, '\n' for a line break
};

// What happens to a text the centre cannot take as it is.
enum class TextFit {
    Refuse, // the send is refused with the reason
    Fit     // made to fit the centre as fitToCenter() does (textfit.h), one page
};

class FolderLock;
// Why the folder's lock could not be had, as the refusal every reader of the folder gives.
std::optional<Outcome> folderHeld(const FolderLock &lock);

// The folder's settings, address book and history, read under the folder's lock (what
// this process read last serves again while both files are the same); a problem comes
// back as an Outcome with exit status 2.
std::optional<Outcome> loadFolder(const QString &folder, AppData &data);

// Reads the folder's settings and address book (under the folder's lock) and checks
// the send: the names, the device kind, and the message against the centre (too long,
// characters it cannot send). Any problem comes back as an Outcome with exit status 2.
std::variant<Prepared, Outcome> prepare(const QString &folder, const Target &target, const QString &text,
                                        const DeviceAccess &access = {}, TextFit fit = TextFit::Refuse);
// The same against the folder's files read already (loadFolder): who the message may go
// to first. A refusal by these rules carries its typed reason (Outcome::refusal) for the
// intake to word. tail: ends the text, kept whole when the text is fitted (fitToCenter).
std::variant<Prepared, Outcome> prepare(AppData data, const Target &target, const QString &text,
                                        const DeviceAccess &access = {}, TextFit fit = TextFit::Refuse,
                                        const QString &tail = {});

// The characters of the text that no code carries (CP932 has no place for them, or the
// centres have no digits for them), each once, in order of appearance.
QStringList unsendableCharacters(const QString &text);

// Why the device kind cannot be driven here without a person at a window: a kind that
// cannot send unattended asks its questions on a terminal only, and a kind this build
// does not know is refused. Empty when it can.
QString deviceKindProblem(int modemKind, const DeviceAccess &access);
