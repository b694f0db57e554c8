#pragma once

#include "store/locks.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// One message of the send queue, as its file holds it (UTF-8 JSON).
struct QueuedMessage {
    QString id;
    QString to;     // the recipient's name in the address book; empty with number
    QString number; // a number not in the book (with center)
    QString center; // the centre's name; empty: the recipient's own
    bool optimize = false;
    QString text;
    QString severity;     // as the sender gave it (critical, warning, info...); empty: unknown
    int attempts = 3;     // how often a line failure is retried
    QList<int> delays;    // seconds before each retry; the last one repeats
    int tried = 0;        // tries that failed on the line so far
    qint64 notBefore = 0; // no try before this time (ms since the epoch)
    qint64 added = 0;     // ms since the epoch
    QString onSent;       // hook commands; empty: the queue's own
    QString onFailed;
    QString lastError; // why the last try failed
    QString failure;   // why it was given up (in failed/)
    QString page;      // the page it is part of: the id of the page's first message
    QString why;       // how the page reached its recipient ("当番 → R2, rota.ics 09:00–18:00")
    int step = 0;      // the escalation's step it was sent for; 0: none
    bool operator==(const QueuedMessage &) const = default;
};

// The spool in the data folder: queue/ holds one file "<id>.msg" per waiting message;
// a batch of several messages is written as such files in a private folder of its own
// (queue/.new-XXXXXX) and renamed in whole as queue/<first id>.batch/, so that all of
// them appear at once or none does; whoever meets a batch there (its writer, the runner,
// the commands that read the queue) moves its messages into queue/ one by one, each
// rename whole, and removes the folder once empty. queue/state/ is the gateway's own
// (what it keeps besides messages): the spool's scans and clean-ups leave it alone.
// a runner takes one by renaming it into queue/work/ and, when it is done, deletes it,
// puts it back with its next try's time, or moves it to queue/failed/ with the reason.
// Every file is written whole under another name and renamed into place (never through
// a link), so a crash never leaves half a message, and a message is always in exactly
// one of the folders.
//
// An entry is read only when it is a regular file of this user's (or root's), no larger
// than MaxFileBytes, whose name is UTF-8: anything else (a link, a FIFO, another user's
// file, a damaged one) is never opened for its contents, never followed and never sent;
// the runner moves it to failed/ with the reason beside it in "<id>.why".
namespace sendqueue
{

// A message's text, in UTF-8 bytes, wherever it comes from.
constexpr qsizetype MaxTextBytes = 64 * 1024;
// A message file; a larger one is refused unread.
constexpr qsizetype MaxFileBytes = 1024 * 1024;
// A hook command or a reason kept in a message.
constexpr qsizetype MaxFieldBytes = 4096;
// The most tries a message may be given.
constexpr int MaxAttempts = 1000;

enum class State { Waiting, Sending, Failed };

// How a spool operation ended. The text is for the person reading.
struct Result {
    enum class Kind {
        Done,
        BadId,     // not a name the spool can hold
        NotQueued, // no message with that id
        BeingSent, // in work/: a runner is sending it
        Unusable,  // an entry that can never be sent as it is (a link, damaged...)
        Unsafe,    // the spool's folders could be changed by others, or cannot be written
        IoFailed,  // the file system refused a write, a rename or a removal
    };
    Kind kind = Kind::Done;
    QString text;
    bool ok() const { return kind == Kind::Done; }
};

struct Entry {
    QString id; // the file's name less ".msg"; bytes that are not UTF-8 shown as \xNN
    State state = State::Waiting;
    QueuedMessage message;          // as read (message.id == id); default where problem is set
    QString problem;                // why it can never be sent as it is
    QByteArray fileName;            // its name in its folder, as the file system has it
    std::optional<uint> otherOwner; // set for a regular file of another user's (left unread)
};

QString queueFolder(const QString &dataFolder);
QString workFolder(const QString &dataFolder);
QString failedFolder(const QString &dataFolder);
QString stateFolder(const QString &dataFolder);

QByteArray toJson(const QueuedMessage &m);
// Reads a message file's bytes into *m (whose id is kept). The problem, if any: bad JSON,
// no recipient, a text over MaxTextBytes. Numbers and times out of range are clamped.
std::optional<QString> fromJson(const QByteArray &bytes, QueuedMessage *m);

// The text cut to at most bytes of UTF-8 (an ellipsis at the cut), never inside a character.
QString capped(const QString &text, qsizetype bytes);

// Text from outside (a sender, a name, a reason) as it may be printed on a terminal: each
// control character as \xNN and each that changes the direction or the lines as \uNNNN,
// so that none moves the cursor, clears the screen or forges a line. keepNewlines: line
// breaks of a text of several lines stay.
QString escaped(const QString &text, bool keepNewlines = false);

// Why a message text cannot be queued or sent however the centre counts: empty when it can.
QString textSizeProblem(const QString &text);

// The seconds before the retry after the tried-th failure (tried from 1).
int retryDelay(const QList<int> &delays, int tried);

// Makes queue/, work/, failed/ and state/ (0700) and checks that nobody else can change them:
// Unsafe, with the reason, when the data folder or a spool folder is writable by group
// or others, is not a folder of this user's, or cannot be written.
Result checkFolders(const QString &dataFolder);

// Gives the message a fresh id (sortable by the time it was added) and puts it in queue/.
Result add(const QString &dataFolder, QueuedMessage &m);
// The same for several messages that appear in queue/ at once or not at all: nothing is
// in the queue unless Done. Each keeps an id from newId() that it holds (an intake that
// told the id before the message was written), else gets a fresh one, in their order. A batch is one page: a message
// without a page is given the first message's id as its page.
Result add(const QString &dataFolder, QList<QueuedMessage> &batch);
QString newId();
// Moves the messages of every batch in queue/ into queue/ itself (see above). IoFailed
// with the reason when one could not be moved (it stays in its batch, still queued).
Result unpackBatches(const QString &dataFolder);
// The ids of the message names in queue/, oldest first (no file is opened).
QStringList waitingIds(const QString &dataFolder);
// How many messages wait in queue/ and its batches, from their names alone.
qsizetype waitingCount(const QString &dataFolder);
// The message file of an id in one of the folders; nullopt with *problem when it is no
// readable message (see above).
std::optional<QueuedMessage> read(const QString &folder, const QString &id, QString *problem);
// Every entry of one folder, oldest first, read as above.
QList<Entry> entries(const QString &dataFolder, State state);
// What tells that a file changed without reading it: its inode, size and change time.
struct Stamp {
    QByteArray fileName;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 changedNs = 0;
    bool operator==(const Stamp &) const = default;
};
// The message files of one folder as lstat sees them, oldest first; none is opened.
QList<Stamp> stamps(const QString &dataFolder, State state);
// One file's; nullopt when it is not there.
std::optional<Stamp> stamp(const QString &dataFolder, State state, const QByteArray &fileName);
// The entry of one file of a folder, read as entries() reads it.
Entry entry(const QString &dataFolder, State state, const QByteArray &fileName);
// Moves the message into work/: NotQueued when someone else took it first.
Result take(const QString &dataFolder, const QString &id);
// From work/: back into queue/ with the message's new contents. When the new contents
// cannot be written the old file still goes back to queue/ (IoFailed): the caller keeps
// the new contents and tries again later.
Result putBack(const QString &dataFolder, const QueuedMessage &m);
// From work/ (or queue/) to failed/, the reason written into it. When the file cannot be
// rewritten it is moved all the same and the reason kept beside it (IoFailed if neither).
Result fail(const QString &dataFolder, QueuedMessage m, const QString &reason, State from);
// An entry that can never be sent (its problem set) from queue/ or work/ to failed/,
// moved as it is (never opened, never followed), under a fresh id when its name is no
// id; the reason beside it. *newId: the id it has in failed/.
Result quarantine(const QString &dataFolder, const Entry &entry, QString *newId = nullptr);
// Sent: the file in work/ goes.
Result finish(const QString &dataFolder, const QString &id);

// A file of the runner's beside the messages in queue/ (its lines' status; its name ends
// in .json, so that recover() knows one left half written), replaced whole; and read back, checked as a message file is
// (nullopt with *problem otherwise, an empty problem when there is none).
Result writeSide(const QString &dataFolder, const QString &name, const QByteArray &bytes);
std::optional<QByteArray> readSide(const QString &dataFolder, const QString &name, QString *problem);

// A file of the gateway's own in queue/state/ (an index, the state of a page), replaced
// whole; durable: on disk before it takes the old one's name (a count that may be lost
// in a system crash need not wait for the disk). Read back as readSide reads.
Result writeState(const QString &dataFolder, const QString &name, const QByteArray &bytes, bool durable = true);
std::optional<QByteArray> readState(const QString &dataFolder, const QString &name, QString *problem);
// The names in queue/state/ that end in suffix.
QStringList stateNames(const QString &dataFolder, const QString &suffix);

struct Recovery {
    int recovered = 0;    // back to queue/ (or on to failed/ when it was given up already)
    QStringList problems; // what could not be moved, or was moved to failed/ as unusable
};
// After a crash: whatever is in work/ goes back. Only the one runner of a folder may
// do this.
Recovery recover(const QString &dataFolder);
// A failed or waiting message made due now with its tries counted from zero.
Result retry(const QString &dataFolder, const QString &id);
// Removes a waiting or failed message; a message being sent cannot be dropped.
Result drop(const QString &dataFolder, const QString &id);
// Every entry, oldest first in each folder: waiting, sending, failed.
QList<Entry> list(const QString &dataFolder);

// The one runner of a data folder's queue: a lock on queue/runner.lock.
class RunnerLock
{
public:
    explicit RunnerLock(const QString &dataFolder);
    bool tryLock() { return m_lock.tryLock(); }
    bool isLocked() const { return m_lock.isLocked(); }
    // A runner has the folder now (looked up, not taken: a runner starting meanwhile is
    // not turned away).
    bool heldNow() const { return m_lock.heldNow(); }
    QString holder() const { return m_lock.holder(); }
    bool isUnusable() const { return m_lock.isUnusable(); }
    QString busyText() const { return m_lock.busyText(); }

private:
    PortLock m_lock;
};

} // namespace sendqueue
