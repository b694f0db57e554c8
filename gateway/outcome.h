#pragma once

#include "store/failure.h"
#include "store/refusal.h"

#include <QString>

// How a send ended: the failure (None when sent) and, for the person reading, what
// happened and what to do. The exit status, the word hooks and --json see and whose
// fault it is are the failure's row.
struct Outcome {
    Outcome(Failure f = Failure::None, QString text = {}, QString who = {}, QString where = {})
        : failure(f), message(std::move(text)), recipient(std::move(who)), center(std::move(where))
    {
    }

    Failure failure = Failure::None;
    QString message;   // for the person reading: what happened and what to do
    QString recipient; // as far as they were known
    QString center;
    // A message the gateway's rules refuse: why, for the intake to word (message holds
    // refusal.text then).
    IntakeRefusal refusal;

    const FailureRow &row() const { return failures::row(failure); }
    ExitStatus status() const { return row().exit; }
    // "sent", "failed", "refused", "busy": the word hooks and --json see.
    QString word() const { return QString::fromLatin1(row().word); }
    int exitCode() const { return int(status()); }
    bool sent() const { return failure == Failure::None; }
};
