#pragma once

#include <QList>
#include <QString>
#include <optional>

// Values of settings and options that the runner's files and the command line share.

// "1m,5m,15m": seconds, or with s, m or h; nullopt when a piece is no such time.
std::optional<QList<int>> parseDelays(const QString &text);
// One such time, in seconds from minS to maxS; nullopt otherwise.
std::optional<int> parseDuration(const QString &text, int minS, int maxS);

// The first line of a file that only its owner (this process's user) may read or write,
// without its line break: a password. nullopt, with the problem in *problem, when the
// file cannot be read or others may read it.
std::optional<QString> readPrivateFile(const QString &path, QString *problem);
