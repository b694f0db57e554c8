#pragma once

#include "gateway/prepare.h"
#include "gateway/textfit.h"
#include "store/inifile.h"
#include "store/mailreader.h"
#include "store/sendqueue.h"

#include <QPair>

// "queue add --mail": the mail server's delivery program. One mail (RFC 5322) on standard
// input becomes one queued page for each recipient it names, or none at all; the answer is
// an exit status of sysexits.h with a one-line reason on standard error, which the mail
// server puts in its bounce: in English, since mail servers pass only ASCII into bounces.
namespace mailexit
{
constexpr int Queued = 0;
constexpr int DataError = 65;    // no usable text, or a text the centre refuses
constexpr int NoUser = 67;       // a recipient not in the address book
constexpr int TempFail = 75;     // the folder or the queue cannot be read or written now: try again
constexpr int NoPermission = 77; // a sender not allowed
} // namespace mailexit

// mail.ini in the data folder: [Mail] AllowFrom, Template, Split, MaxParts; [Addresses]
// address=name,name.
struct MailSettings {
    static constexpr char FileName[] = "mail.ini";
    static constexpr qsizetype MaxBytes = 1024 * 1024; // of a mail, read; the rest is passed over

    bool allowListGiven = false;
    QStringList allowFrom; // lower case: addresses, "@domain", "*"
    QString pageTemplate = QStringLiteral("{subject} {body}");
    bool split = false;
    int maxParts = 3;
    QList<QPair<QString, QStringList>> addresses; // address or local part → address-book names
    QStringList problems;                         // "line N: ..." for what was skipped
    QString error;                                // the file could not be read

    static MailSettings load(const QString &dataFolder);
    static MailSettings fromIni(const IniFile &ini);
};

// The envelope: who sent the mail (nullopt: not known; empty or MAILER-DAEMON: the null
// sender) and the address it was delivered to.
struct MailEnvelope {
    std::optional<QString> sender;
    QString recipient;
};

// Whether the address is on the list ("*", "@domain", whole addresses; no regard to case).
bool senderAllowed(const QStringList &allowFrom, const QString &address);
// The null sender of bounces, as the mail server's programs pass it on.
bool isNullSender(const QString &sender);
// The names a mail delivered to the address pages: an [Addresses] entry for the whole
// address or its local part, else the extension (after '+') or the local part, through
// [Addresses] or as an address-book name.
QStringList namesForAddress(const QString &address, const MailSettings &settings);
// The page's text from the mail by the template ({subject}, {from}, {body}); the body
// up to its signature, white space squeezed to single spaces; 4096 characters at most.
QString pageText(const MailContent &mail, const QString &pageTemplate);
struct MailAnswer {
    int exitCode = mailexit::Queued;
    QString message; // one line
    QStringList ids; // queued
};

// One delivery as the mail server's program is asked for it.
struct MailDelivery {
    QString folder;         // the data folder
    QString to;             // the address-book name every page goes to; empty: by the address
    QueuedMessage defaults; // the queue's settings for the pages (attempts, delays, hooks)
    MailEnvelope envelope;  // as given; unset parts from the environment (queueMail)
    bool quiet = false;     // no line on standard error when all went well
    bool ack = false;       // an acknowledgement of a page, not a page (queue ack --mail)
    QString heartbeat = {}; // a beat of this heartbeat, not a page (queue heartbeat --mail NAME)
};

// A refusal of the gateway's rules as the mail server's bounce says it: the exit status
// and the reason, in English, naming the recipient or the centre.
MailAnswer mailRefusal(const Outcome &refusal);

// The mail (its first MaxBytes) checked and queued through the same checks as queue add.
MailAnswer takeMail(const MailDelivery &d, const QByteArray &raw, MailReader &reader, const DeviceAccess &access);

// A mail that beats a heartbeat of oncall.ini: taken from a sender that may page, as
// takeMail takes one (a bounce or an automatic reply is taken and beats nothing).
MailAnswer takeBeat(const MailDelivery &d, const QByteArray &raw, MailReader &reader, qint64 nowMs);

// A mail that acknowledges a page: the page's 6-digit code in its subject or the first line
// of its body, from an address that oncall.ini's [Person NAME] Mail= gives one of the
// people the page reached (mail.ini's AllowFrom= is not asked: acknowledging pages nobody).
// Wrong codes are limited to MaxWrongCodes an hour a sender, since a sender can be forged.
constexpr int MaxWrongCodes = 5;
MailAnswer takeAck(const MailDelivery &d, const QByteArray &raw, MailReader &reader, qint64 now);

// The whole delivery: the envelope's missing parts from the environment Postfix's local
// delivery sets (SENDER, ORIGINAL_RECIPIENT), the mail from standard input, the reader
// plugin, the answer on standard error. The exit status.
int queueMail(MailDelivery d, const DeviceAccess &access);
