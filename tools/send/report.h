#pragma once

#include "gateway/reporter.h"

// What fumidori-send tells while it works: progress lines on standard error (the
// window's status texts, "T = n/m" during the message) unless quiet, and with json
// one JSON object per event on standard output. Failures are told on standard error
// even when quiet. A text longer than MaxTextBytes is cut.
class TerminalReporter : public Reporter
{
public:
    bool quiet = false;
    bool json = false;
    static constexpr qsizetype MaxTextBytes = 4096;

    // A line's name goes before the text ("a: ") and into the event ("line").
    void stage(const QString &stage, const QString &text, const QString &line = {}) override;
    void progress(int remaining, int total, const QString &line = {}) override;
    void note(const QString &event, const QString &text, QJsonObject fields = {}) override;
    void warn(const QString &event, const QString &text, QJsonObject fields = {}) override;
    void result(const Outcome &outcome, QJsonObject fields = {}) override;

private:
    void line(const QString &text);
    void event(const QString &name, QJsonObject fields);
};
