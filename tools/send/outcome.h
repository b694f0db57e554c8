#pragma once

#include "modem/sendfrontend.h"

#include <QString>

// How a send ended, as the exit status of fumidori-send says it.
enum class ExitStatus {
    Sent = 0,       // the message went through and is in the history
    LineFailed = 1, // no answer, NO CARRIER, the device went away: worth another try
    BadInput = 2,   // bad usage or input: unknown name, too long, uncodable, unreadable settings
    Busy = 3,       // the line or the queue is in use by another program
};

struct Outcome {
    Outcome(ExitStatus s = ExitStatus::Sent, QString text = {}, QString who = {}, QString where = {})
        : status(s), message(std::move(text)), recipient(std::move(who)), center(std::move(where))
    {
    }

    ExitStatus status = ExitStatus::Sent;
    QString message;   // for the person reading: what happened and what to do
    QString recipient; // as far as they were known
    QString center;

    // "sent", "failed", "refused", "busy": the word hooks and --json see.
    QString word() const;
    int exitCode() const { return int(status); }
};

// The exit status of how the send engine said an unattended send ended.
ExitStatus exitStatus(SendOutcome::Kind kind);
