#pragma once

#include "modem/sendfrontend.h"
#include "store/refusal.h"

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
    // Where the fault lies, for a runner with several lines: the device's or its port's
    // (another line may well carry the message), none at all because another program
    // holds the line, or the line may not call the message's centre. Unknown: the call
    // failed for a reason the other lines may share (the number, the centre).
    enum class Blame { Unknown, Device, Held, NotForLine };
    Blame blame = Blame::Unknown;
    // A message the gateway's rules refuse: why, for the intake to word (message holds
    // refusal.text then).
    IntakeRefusal refusal;

    // "sent", "failed", "refused", "busy": the word hooks and --json see.
    QString word() const;
    int exitCode() const { return int(status); }
};

// The exit status of how the send engine said an unattended send ended.
ExitStatus exitStatus(SendOutcome::Kind kind);
