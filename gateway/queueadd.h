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
    Target target;
    QString text;
    // Fit: made to fit the centre as a mail's page or an alert is, not refused for it.
    TextFit fit = TextFit::Refuse;
};

// Why a batch is refused: the first message the rules refuse (its index) and why.
struct BatchRefusal {
    qsizetype index = 0;
    Outcome outcome;
};

// The batch checked by the rules every intake shares (who a message may go to; the
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
    std::optional<BatchRefusal> refusal; // the batch can never go: nothing queued
    QString notStored;                   // the queue could not be written: nothing queued
};

// checkBatch, then written into the folder's queue, all at once.
BatchResult addBatch(const QString &folder, const QList<BatchMessage> &batch, const DeviceAccess &access,
                     const QueuedMessage &defaults, const AppData *data = nullptr);
