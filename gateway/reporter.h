#pragma once

#include <QJsonObject>
#include <QString>

struct Outcome;

// Where the gateway tells what it does while it works: the stages of a call, its
// progress, notes (waiting for the line, a retry, a hook), warnings (something went
// wrong that changes nothing else) and results. The command line prints them; a test
// may count them.
class Reporter
{
public:
    virtual ~Reporter() = default;

    // line: the queue's line the call is on, when the runner has several.
    virtual void stage(const QString &stage, const QString &text, const QString &line = {}) = 0;
    virtual void progress(int remaining, int total, const QString &line = {}) = 0;
    virtual void note(const QString &event, const QString &text, QJsonObject fields = {}) = 0;
    virtual void warn(const QString &event, const QString &text, QJsonObject fields = {}) = 0;
    virtual void result(const Outcome &outcome, QJsonObject fields = {}) = 0;
};
