#pragma once

#include "prepare.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The command line of fumidori-send, checked.
struct Options {
    enum class Command { Send, QueueAdd, QueueRun, QueueList, QueueRetry, QueueDrop, SnppUserAdd };
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
    QString id;          // queue retry / drop; queue snpp-user add: the user
    QString listen;      // queue run: ADDRESS:PORT of the HTTP listener
    QString tokenFile;   // its bearer token
    QString snpp;        // queue run: ADDRESS:PORT of the SNPP listener
    // queue add --mail: a mail on standard input; its envelope as the mail server gives it
    bool mail = false;
    std::optional<QString> mailSender; // --sender (empty: the null sender)
    QString mailRecipient;             // --recipient
};

// Parses the arguments (argv[0] first). On a problem: nullopt, with the message in
// *error (empty after --help or --version, which print their text themselves).
std::optional<Options> parseOptions(const QStringList &arguments, const QString &defaultFolder, QString *error);

// "1m,5m,15m": seconds, or with s, m or h; nullopt when a piece is no such time.
std::optional<QList<int>> parseDelays(const QString &text);
// One such time, in seconds from minS to maxS; nullopt otherwise.
std::optional<int> parseDuration(const QString &text, int minS, int maxS);

// "127.0.0.1:8080", "[::1]:8080": the address and the port; nullopt when it is not
// a numeric address and a port.
std::optional<std::pair<QString, quint16>> parseListen(const QString &text);

// The first line of a file that only its owner (this process's user) may read or write,
// without its line break: a password. nullopt, with the problem in *problem, when the
// file cannot be read or others may read it.
std::optional<QString> readPrivateFile(const QString &path, QString *problem);
