#pragma once

#include <QList>
#include <QString>
#include <optional>

// One message of the send queue, as its file holds it (UTF-8 JSON).
struct QueuedMessage {
    QString id;
    QString to;     // the recipient's name in the address book; empty with number
    QString number; // a number not in the book (with center)
    QString center; // the centre's name; empty: the recipient's own
    bool optimize = false;
    QString text;
    int attempts = 3;     // how often a line failure is retried
    QList<int> delays;    // seconds before each retry; the last one repeats
    int tried = 0;        // tries that failed on the line so far
    qint64 notBefore = 0; // no try before this time (ms since the epoch)
    qint64 added = 0;     // ms since the epoch
    QString onSent;       // hook commands; empty: the queue's own
    QString onFailed;
    QString lastError; // why the last try failed
    QString failure;   // why it was given up (in failed/)
    bool operator==(const QueuedMessage &) const = default;
};

// The spool in the data folder: queue/ holds one file "<id>.msg" per waiting message;
// a runner takes one by renaming it into queue/work/ and, when it is done, deletes it,
// puts it back with its next try's time, or moves it to queue/failed/ with the reason.
// Every file is written whole under another name and renamed into place, so a crash
// never leaves half a message, and a message is always in exactly one of the folders.
namespace sendqueue
{

enum class State { Waiting, Sending, Failed };

struct Entry {
    QueuedMessage message;
    State state = State::Waiting;
    QString problem; // a file that cannot be read: why (message.id is set)
};

QString queueFolder(const QString &dataFolder);
QString workFolder(const QString &dataFolder);
QString failedFolder(const QString &dataFolder);

QByteArray toJson(const QueuedMessage &m);
std::optional<QString> fromJson(const QByteArray &bytes, QueuedMessage *m); // the problem, if any

// The seconds before the retry after the tried-th failure (tried from 1).
int retryDelay(const QList<int> &delays, int tried);

// Gives the message a fresh id (sortable by the time it was added) and puts it in queue/.
std::optional<QString> add(const QString &dataFolder, QueuedMessage &m);
// The ids in queue/, oldest first.
QStringList waitingIds(const QString &dataFolder);
// The message file of an id in one of the folders; nullopt with *problem when unreadable.
std::optional<QueuedMessage> read(const QString &folder, const QString &id, QString *problem);
// Moves the message into work/; false when someone else took it first.
bool take(const QString &dataFolder, const QString &id);
// From work/: back into queue/ with the message's new contents.
std::optional<QString> putBack(const QString &dataFolder, const QueuedMessage &m);
// From work/ (or queue/) to failed/, the reason written into it.
std::optional<QString> fail(const QString &dataFolder, QueuedMessage m, const QString &reason, State from);
// Sent: the file in work/ goes.
void finish(const QString &dataFolder, const QString &id);
// After a crash: whatever is in work/ goes back to queue/ (or on to failed/ when it was
// given up already). Only the one runner of a folder may do this. The number recovered.
int recover(const QString &dataFolder);
// A failed or waiting message made due now with its tries counted from zero.
std::optional<QString> retry(const QString &dataFolder, const QString &id);
// Removes a waiting or failed message; a message being sent cannot be dropped.
std::optional<QString> drop(const QString &dataFolder, const QString &id);
// Every message, oldest first in each folder: waiting, sending, failed.
QList<Entry> list(const QString &dataFolder);

} // namespace sendqueue
