#include "gateway/decisions.h"

#include "store/sendqueue.h"

namespace decisions
{

Decision decide(Failure failure, LineState line, bool anotherLine, int tried, int attempts, const QList<int> &delays,
                qint64 now)
{
    if (failure == Failure::None)
        return {Step::Sent}; // gone out, even if stopped on the way to the hang-up
    if (line == LineState::Stopping || failure == Failure::Stopped)
        return {Step::PutBack};
    if (failure == Failure::Held)
        return {Step::Hold};
    if (failure == Failure::NotForLine)
        return {Step::PutBack}; // for the lines that may call its centre
    const FailureRow &row = failures::row(failure);
    // Another line may carry it: the device's failure is that line's alone, and a call
    // that failed may go through elsewhere.
    if (anotherLine && (row.retryHelps || row.fault == Fault::Device))
        return {Step::FailOver};
    if (!row.retryHelps || tried + 1 > attempts)
        return {Step::GiveUp};
    return {Step::Retry, now + qint64(sendqueue::retryDelay(delays, tried + 1)) * 1000};
}

bool takes(bool blamePending, bool anotherMay)
{
    return !blamePending || !anotherMay;
}

int severityRank(const QString &severity)
{
    if (severity.compare(QLatin1String("warning"), Qt::CaseInsensitive) == 0)
        return 1;
    if (severity.compare(QLatin1String("info"), Qt::CaseInsensitive) == 0)
        return 2;
    return 0;
}

qint64 coolOff(qint64 baseMs, int rests)
{
    qint64 ms = qMax<qint64>(baseMs, 0);
    for (int i = 0; i < rests && ms < MaxCoolOffMs; ++i)
        ms *= 2;
    return qMin(ms, MaxCoolOffMs);
}

Service afterFailure(Service service, int failures, int failuresToRest, bool anotherServes)
{
    const bool rest = service == Service::Trial || (service == Service::Up && failures >= failuresToRest);
    return rest && anotherServes ? Service::Down : service;
}

Return afterCoolOff(qint64 checkEveryMs, bool lineChecks)
{
    return checkEveryMs > 0 && lineChecks ? Return::Check : Return::TrialCall;
}

} // namespace decisions
