#pragma once

// A reporter that tells nothing, for the gateway's parts driven without a program.
#include "gateway/reporter.h"

struct QuietReporter : Reporter {
    void stage(const QString &, const QString &, const QString &) override {}
    void progress(int, int, const QString &) override {}
    void note(const QString &, const QString &, QJsonObject) override {}
    void warn(const QString &, const QString &, QJsonObject) override {}
    void result(const Outcome &, QJsonObject) override {}
};
