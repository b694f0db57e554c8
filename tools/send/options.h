#pragma once

#include "gateway/prepare.h"
#include "gateway/values.h"
#include "store/sendqueue.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The command line of fumidori-send, checked.
struct Options {
    enum class Command {
        Send,
        QueueAdd,
        QueueRun,
        QueueList,
        QueueRetry,
        QueueDrop,
        QueueOnCall,
        QueueAck,
        QueueHeartbeat,
        SnppUserAdd
    };
    Command command = Command::Send;
    QString folder; // ends in '/'
    Target target;
    QString message; // the argument; empty: read standard input
    bool messageGiven = false;
    bool quiet = false;
    bool json = false;
    qint64 waitMs = 0;
    std::optional<int> answerLimitS; // --answer-limit
    bool trace = false;
    std::optional<int> attempts;
    std::optional<QList<int>> delays; // seconds
    QString onSent;
    QString onFailed;
    QString onLineDown; // queue run: a line goes out of service, and comes back
    QString onLineUp;
    QString sipPasswordFile;
    QString sipPassword; // its first line
    QString
        id; // queue retry / drop; snpp-user add: the user; oncall: the name (empty: every rota); heartbeat: its name
    QString severity;  // queue add --severity
    QString at;        // queue oncall --at: a date and time (without an offset: in the gateway's zone)
    QString listen;    // queue run: ADDRESS:PORT of the HTTP listener
    QString tokenFile; // its bearer token
    QString snpp;      // queue run: ADDRESS:PORT of the SNPP listener
    // queue add --mail: a mail on standard input; its envelope as the mail server gives it
    bool mail = false;
    std::optional<QString> mailSender; // --sender (empty: the null sender)
    QString mailRecipient;             // --recipient
};

// Parses the arguments (argv[0] first). On a problem: nullopt, with the message in
// *error (empty after --help or --version, which print their text themselves).
std::optional<Options> parseOptions(const QStringList &arguments, const QString &defaultFolder, QString *error);

// The queue's settings for a message of this command line: its attempts (else the
// folder's queue.ini), delays and hooks.
QueuedMessage queueDefaults(const Options &o);

// A refusal of the gateway's rules worded for the command line: the options it was given.
QString refusalText(const IntakeRefusal &r);
