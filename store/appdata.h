#pragma once

#include "store/historyfile.h"
#include "store/settingsfile.h"

#include <QList>
#include <QString>

// The tone dialer's lengths in milliseconds (ToneLength, ToneGap): 40 to 500, 100 by
// default; a stored value outside the range, or none, is the default.
namespace tonelength
{
inline constexpr int Minimum = 40;
inline constexpr int Maximum = 500;
inline constexpr int Default = 100;
inline int orDefault(int ms)
{
    return ms >= Minimum && ms <= Maximum ? ms : Default;
}
} // namespace tonelength

// The seventeen "[Option]" values and those of the newer device kinds, held for the whole run. Names are the keys of
// the settings file; numbers are 16-bit like the file's.
struct Settings {
    qint16 PortNumber = 0;
    qint16 ModemKind = 0;
    QString TonePulse;
    qint16 DialSpeed = 0;
    qint16 SpeakerOff = 0;
    qint16 SpeakerVolume = 0;
    qint16 SendStrings = 0;
    qint16 AutoTransmit = 0;
    qint16 IME = 0;
    QString OutSide;
    qint16 OutsideOn = 0;
    qint16 History = 0;
    qint16 HistoryCount = 0;
    qint16 OkCheckNo = 0;
    QString ExCommand;
    qint16 ReturnStart = 0;
    qint16 MailInterval = 0;
    // Settings of the newer device kinds, written only when not at their defaults.
    qint16 ToneLength = tonelength::Default; // milliseconds a touch tone sounds
    qint16 ToneGap = tonelength::Default;    // milliseconds of silence after each tone
    // The Internet telephone line (device kind 10), written only when not empty.
    QString SipServer; // host or host:port of the provider or the centre's gateway
    QString SipUser;
    // "udp", "tcp" or "tls" (written only when not "udp"; anything else reads as "udp"),
    // and the outbound proxy a provider may ask for (host or host:port; empty: none).
    QString SipTransport = QStringLiteral("udp");
    QString SipProxy;
    // The module ModemManager manages that places the calls (device kind 11): its
    // equipment identifier (IMEI), primary port or device; empty: the only one with
    // voice calls. Written only when not empty.
    QString VoiceModem;

    // The built-in values a first start writes to a new settings file.
    static Settings defaults();
    bool operator==(const Settings &) const = default;
};

// One message centre of the address book; its position in the list is its identity.
struct MessageCenter {
    QString name;
    qint16 kind = -1;
    QString number;
    qint16 maxChars = 0;
    qint16 waitBeforeNumber = 0;
    qint16 waitBeforeMail = 0;
    qint16 waitBeforeHangUp = 0;
    bool operator==(const MessageCenter &) const = default;
};

// One recipient; centerIndex is a position in the centre list or -1.
struct Recipient {
    QString name;
    qint16 centerIndex = -1;
    QString number;
    bool operator==(const Recipient &) const = default;
};

// One sent message.
struct HistoryEntry {
    QString recipientName;
    QString centerName;
    QString sentAt;
    QString message;
    bool operator==(const HistoryEntry &) const = default;
};

// HistoryCount + 1 rows, row 0 newest; the first row with an empty recipientName ends it.
class HistoryTable
{
public:
    // Sizes the table to count + 1 rows (none for a negative count), keeping the newest rows that fit.
    void resize(int count);
    int rowCount() const { return int(m_rows.size()); }
    const HistoryEntry &row(int i) const { return m_rows[i]; }
    HistoryEntry &row(int i) { return m_rows[i]; }
    // Rows up to the first empty one.
    QList<HistoryEntry> used() const;
    // Shifts every row down by one (the last is lost) and puts the entry in row 0.
    void add(const HistoryEntry &entry);

private:
    QList<HistoryEntry> m_rows;
};

// Everything the program keeps: settings, address book and history, and the folder they live in.
struct AppData {
    QString folder; // the program folder, ending in '/'
    Settings settings;
    QList<MessageCenter> centers;
    QList<Recipient> recipients;
    HistoryTable history;
    // The history file's entries as they were read: what others add to the file later
    // is told apart from them when the history is written back.
    QList<HistoryEntry> historyAsLoaded;
    // The history file's name as found in the folder (matched without regard to case).
    QString historyFileName = QString::fromLatin1(historyfile::FileName);

    QString settingsPath() const { return folder + QString::fromLatin1(settingsfile::FileName); }
    QString historyPath() const { return folder + historyFileName; }
};

// The centre kinds of the address book, in list order; the position is the stored kind.
const QStringList &centerKindNames();

// Records a finished send as the newest history row (nothing when History is 0).
// The message is stored with its CR LF pairs (and any lone CR or LF) removed.
void AddHistoryEntry(AppData &data, const QString &recipientName, const QString &centerName, const QString &message);
