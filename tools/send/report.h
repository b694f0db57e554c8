#pragma once

#include <QJsonObject>
#include <QString>

struct Outcome;

// What fumidori-send tells while it works: progress lines on standard error (the
// window's status texts, "T = n/m" during the message) unless quiet, and with json
// one JSON object per event on standard output. Failures are told on standard error
// even when quiet. A text longer than MaxTextBytes is cut.
class Reporter
{
public:
    bool quiet = false;
    bool json = false;
    static constexpr qsizetype MaxTextBytes = 4096;

    // line: the queue's line the call is on, when the runner has several ("a: " before
    // the text, "line" in the event).
    void stage(const QString &stage, const QString &text, const QString &line = {});
    void progress(int remaining, int total, const QString &line = {});
    // Something worth a line that is no stage: waiting for the line, a retry, a hook.
    void note(const QString &event, const QString &text, QJsonObject fields = {});
    // The same, told even when quiet: something went wrong that changes nothing else.
    void warn(const QString &event, const QString &text, QJsonObject fields = {});
    void result(const Outcome &outcome, QJsonObject fields = {});

private:
    void line(const QString &text);
    void event(const QString &name, QJsonObject fields);
};
