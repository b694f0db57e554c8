#pragma once

#include "store/failure.h"

#include <QList>
#include <QString>
#include <QtGlobal>

// What becomes of a message and a line after a call: pure functions of what happened,
// so that queue run and a direct send decide alike and tests can ask them row by row.
namespace decisions
{

// What the line was doing as its call ended.
enum class LineState {
    Calling,  // the call ran its course
    Stopping, // the runner or the user stopped it: the call was cut from outside
};

enum class Step {
    Sent,     // the message went through
    FailOver, // at once on another line in service that may carry it; no try counted
    Retry,    // the round is over: one try counted, again at Decision::at
    GiveUp,   // to failed/, its on-failed hook once
    PutBack,  // back as it was, no try counted
    Hold,     // another program holds the line: the message back without a try, the line
              // waits for its lock
};

struct Decision {
    Step step;
    qint64 at = 0; // Retry: when (ms, on the clock given as now)
    bool operator==(const Decision &) const = default;
};

// The message's fate after a call on a line ended with failure. anotherLine: another line
// in service that has not failed it in this round may carry it; tried: the tries counted
// before this one; attempts: the tries allowed after the first; delays: the waits before
// each retry in seconds (the last one repeats).
Decision decide(Failure failure, LineState line, bool anotherLine, int tried, int attempts, const QList<int> &delays,
                qint64 now);

// Whether a free line that may carry a message takes it. A line whose failures still wait
// for their blame (another line has yet to send what it failed) takes one only when no
// other line may: else a line that fails at once would be handed every new message while
// the others are busy, and called again and again before its failures count.
bool takes(bool blamePending, bool anotherMay);

// Which of several due messages a free line takes first: the lowest rank (critical 0,
// warning 1, info 2, a severity nobody knows as critical), then the oldest.
int severityRank(const QString &severity);

// The longest a line rests.
constexpr qint64 MaxCoolOffMs = 3600 * 1000;

// How long a line rests after it has rested `rests` times since its last success: the
// base doubled each time, at most MaxCoolOffMs.
qint64 coolOff(qint64 baseMs, int rests);

// A line of the queue: in service, out of service for its cool-off, or on trial after it.
enum class Service { Up, Down, Trial };

// A line's service after a failure counted against it, a failed call's or a failed
// check's alike: failures is its count in a row, this one included; anotherServes: some
// other line is not out of service. Out after failuresToRest in a row, or at once on
// trial; never the last line.
Service afterFailure(Service service, int failures, int failuresToRest, bool anotherServes);

// What a line does when its cool-off ends. Without checks (checkEveryMs 0, or a kind
// whose row has none, or a line given over to ModemManager's control) a trial call: it
// takes a message, and is back in service once one is sent. With them, a check: it stays
// out of service and is back only once the check passes.
enum class Return { TrialCall, Check };
Return afterCoolOff(qint64 checkEveryMs, bool lineChecks);

} // namespace decisions
