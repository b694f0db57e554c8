#pragma once

#include "gateway/prepare.h"
#include "store/sendqueue.h"

#include <optional>
#include <variant>

// The one path into the queue. Every intake (the command line's queue add, a mail, an
// HTTP request) hands in a batch of one or more messages; the batch is checked by the
// same rules, all of it before any of it is queued, and appears in queue/ at once or not
// at all (sendqueue::add). A refusal carries its typed reason (Outcome::refusal), which
// the intake words for the one who handed the batch in.

// One message as an intake hands it in.
struct BatchMessage {
    BatchMessage(Target t = {}, QString message = {}, TextFit textFit = TextFit::Refuse, QString how = {},
                 QString level = {})
        : target(std::move(t)), text(std::move(message)), fit(textFit), why(std::move(how)), severity(std::move(level))
    {
    }
    Target target;
    QString text;
    // Fit: made to fit the centre as a mail's page or an alert is, not refused for it.
    TextFit fit = TextFit::Refuse;
    QString why; // how the page reached the recipient; set when a name is expanded
    // The id the message will have, told already (sendqueue::newId()); empty: a fresh one.
    QString id = {};
    // The page it belongs to: the messages of one page never count as repeats of each
    // other (the steps of one escalation). Empty: a page of its own.
    QString page = {};
    // critical, warning, info... (the order among due messages, and held through
    // oncall.ini's quiet hours when one of its Hold=); empty: unknown.
    QString severity = {};
    // Ends the text and is kept whole when the text is fitted (an escalation's " #{ack}").
    QString tail = {};
    // News each time, never a repeat of an earlier page (a heartbeat's silence and its end).
    bool news = false;
};

// Why a batch is refused: the first message the rules refuse (its index) and why.
struct BatchRefusal {
    qsizetype index = 0;
    Outcome outcome;
};

// The batch with every group and rota of oncall.ini (the data folder's) named as a
// recipient resolved, at the time (seconds since the epoch), into one message for each
// person it reaches, each with how; names of the book as they are. The refusal when a
// name is an escalation (only the runner can wait for its steps) or when oncall.ini is
// needed and cannot be used. origins: for each message, the index of the one it came from.
std::variant<QList<BatchMessage>, BatchRefusal> expandBatch(const QString &folder, const QList<BatchMessage> &batch,
                                                            const AppData &data, qint64 time,
                                                            QList<qsizetype> *origins = nullptr);

// The batch expanded (expandBatch, now) and checked by the rules every intake shares (who a message may go to; the
// folder's book and centres; the device kind, unless the queue has lines of its own; a
// line of the queue that may call the centre; the text against the centre), with the
// folder's files and queue.ini read once (the files read already when data is given):
// the messages ready for the spool, each with the settings of defaults (attempts,
// delays, hooks); or the refusal. With TextFit::Fit the text kept is the one fitted.
std::variant<QList<QueuedMessage>, BatchRefusal> checkBatch(const QString &folder, const QList<BatchMessage> &batch,
                                                            const DeviceAccess &access, const QueuedMessage &defaults,
                                                            const AppData *data = nullptr);

struct BatchResult {
    QStringList ids;                     // queued, in the batch's order: every message
    QList<qsizetype> repeats;            // not queued: a repeat, its id the earlier message's
    std::optional<BatchRefusal> refusal; // nothing queued: the batch can never go, or the queue is
                                         // full (Refused::QueueFull, a busy outcome: try later)
    QString notStored;                   // the queue could not be written: nothing queued
    QString takenAs = {};                // the batch's key was taken in already: nothing queued; the first id then
};

// checkBatch, then written into the folder's queue, all at once, under the folder's lock:
// a message that repeats one taken in from another page within DedupFor= is counted in
// the folder's index (DedupIndex) and not queued again. Refused as busy when the queue
// would hold more than MaxQueued= waiting messages. onceKey (DedupIndex::keyOf of what
// the sender knows the batch by): a batch taken in under it within a week is not queued
// again (takenAs), and one queued now is recorded under it (queue/state/taken).
BatchResult addBatch(const QString &folder, const QList<BatchMessage> &batch, const DeviceAccess &access,
                     const QueuedMessage &defaults, const AppData *data = nullptr, const QByteArray &onceKey = {});
