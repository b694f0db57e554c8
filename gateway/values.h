#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>
#include <utility>

// Values of settings and options that the runner's files and the command line share.

// "1m,5m,15m": seconds, or with s, m or h; nullopt when a piece is no such time.
std::optional<QList<int>> parseDelays(const QString &text);
// One such time, in seconds from minS to maxS; nullopt otherwise.
std::optional<int> parseDuration(const QString &text, int minS, int maxS);

// What readOwnerOnly found.
enum class OwnerOnly { Read, Missing, Unreadable, Shared };
// A file that only its owner (this process's user) may read or write, opened first and
// looked at through its descriptor (what is checked is what is read): its first
// maxBytes + 1 bytes into *bytes when Read, so that a caller sees a file too long.
// noFollow: a link is Unreadable, not followed. Missing: no such file. Shared: another
// user's, or others may read or write it.
OwnerOnly readOwnerOnly(const QString &path, qsizetype maxBytes, bool noFollow, QByteArray *bytes);
// The first line of a file that only its owner (this process's user) may read or write,
// without its line break: a password. nullopt, with the problem in *problem, when the
// file cannot be read or others may read it.
std::optional<QString> readPrivateFile(const QString &path, QString *problem);
// Writes the bytes to a file that only its owner may read or write (0600 from its
// creation), under another name first, flushed and renamed over path: the problem, if any.
QString writePrivateFile(const QString &path, const QByteArray &contents);

// "127.0.0.1:8080", "[::1]:8080": the address and the port; nullopt when it is not
// a numeric address and a port.
std::optional<std::pair<QString, quint16>> parseListen(const QString &text);
