#pragma once

#include "store/sendqueue.h"
#include "store/target.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// What the queue took in lately, by person and text: the index every writer of a data
// folder (queue add, the mail intake, the HTTP listener) checks a batch against under
// the folder's lock, so that the same text to the same person from another page within
// DedupFor= is not paged again (an alert resent, a resolved notice sent twice). The
// messages of one page (the steps and repeats of one escalation) share its page id and
// never count as repeats of each other; a message without a page id is a page of its own.
// Kept in queue/state/dedup: a line "suppressed N" (the repeats not paged, ever), then one
// line per message taken in within the window: its key, the time, its id and its page.
// A repeat rewrites nothing: it appends a byte to queue/state/dedup.tally, which the next
// rewrite of the index folds into N. So a storm of repeats costs a read of the index only
// when another writer has changed it, and no write that waits for the disk.
struct DedupIndex {
    static inline const QString FileName = QStringLiteral("dedup");
    static inline const QString TallySuffix = QStringLiteral(".tally");
    // A tally this long is folded into the index by the next repeat already.
    static constexpr quint64 FoldAt = 64 * 1024;
    // Entries beyond this many are forgotten oldest first, so the file stays small
    // whatever comes in (a flood of different texts pages each of them).
    static constexpr qsizetype MaxEntries = 8192;

    struct Entry {
        QByteArray key;
        qint64 addedMs = 0;
        QString id;
        QString page;
        bool operator==(const Entry &) const = default;
    };
    QList<Entry> entries;   // oldest first
    quint64 suppressed = 0; // the tally's included
    quint64 tallied = 0;    // of suppressed, those in the tally (load)
    bool operator==(const DedupIndex &) const = default;

    // Who the message goes to and what it says, as a key: the person's name, else the
    // number and centre; the text as it was handed in, and whether it is to be optimised
    // (the text that goes follows from these), so that a repeat is known before the
    // folder's files are read.
    static QByteArray keyOf(const Target &target, const QString &text);
    // The parts as one key, each part kept apart from the next.
    static QByteArray keyOf(const QStringList &parts);

    // Lines that cannot be read are left out: the index only ever spares a page.
    static DedupIndex parse(const QByteArray &bytes);
    QByteArray toBytes() const;

    // The id of the message that this one (key, from page) repeats: taken in at most
    // windowMs before nowMs, from another page. nullopt: it is to be paged.
    std::optional<QString> repeats(const QByteArray &key, const QString &page, qint64 nowMs, qint64 windowMs) const;
    // A message taken in; entries older than the window are dropped.
    void record(const QByteArray &key, const QString &id, const QString &page, qint64 nowMs, qint64 windowMs);

    // The folder's index as stored (empty when there is none or it cannot be read), its
    // tally in suppressed; read under the folder's lock (shared unless held already), so
    // that the two agree. The file is parsed again only when it has changed: the copy this
    // process read last is kept with the file held open, so that no other file can take its
    // inode, and a file at the name with the same inode, size and times is the same file.
    static DedupIndex load(const QString &dataFolder, const QString &fileName = FileName);
    // The index written whole and its tally emptied (folded into suppressed), under the
    // folder's lock, exclusive: what load gave, changed, is written back.
    sendqueue::Result save(const QString &dataFolder, bool durable, const QString &fileName = FileName) const;
    // count repeats more not paged: appended to the tally, under the folder's lock, exclusive.
    static void tally(const QString &dataFolder, quint64 count, const QString &fileName = FileName);
};

// The batches taken in under a key of their sender's (a mail's Message-ID and whom it
// pages), kept a week in queue/state/taken in the index's form: the mail server's retry
// of a mail queued already (its answer lost, or cut by a timeout) pages nobody twice.
namespace taken
{
inline const QString FileName = QStringLiteral("taken");
constexpr qint64 KeepMs = 7 * 24 * 3600 * 1000LL;
} // namespace taken
