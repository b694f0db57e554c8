#pragma once

#include "gateway/prepare.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

class IniFile;

// TestPage= with TestAt=: a real page to a recipient at a set time, local on the runner's
// clock ("Mon 09:00" a weekday's, "09:00" every day's), sent on the line as a check.
struct TestPage {
    QString to;      // a recipient of the address book, or a number
    int weekday = 0; // 1 (Monday) to 7; 0: every day
    int minutes = 0; // after midnight

    // The page's text: the line's name and the time it was due.
    QString text(const QString &line, qint64 dueMs) const;
    // The first such time after nowMs (ms since the epoch).
    qint64 next(qint64 nowMs) const;
    // The section's TestPage= and TestAt=, nullopt when neither is there; what is wrong
    // with them (one without the other, an unknown weekday, a bad time) goes to *problems.
    static std::optional<TestPage> read(const IniFile &ini, const QString &section, QStringList *problems);
};

// One line a queue runner drives, as a "[Line NAME]" section of queue.ini gives it:
// device keys of the settings file's [Option] in place of its own (a key left out takes
// the file's), a device path in place of the COM number's, a password file for a SIP
// account, the centres it may call and how long its device may take to answer.
struct QueueLine {
    static constexpr int MaxNameLength = 32;

    QString name; // 1 to 32 of A-Z a-z 0-9 _ -
    QList<std::pair<QString, QString>> deviceKeys;
    QString device;
    QString sipPasswordFile;
    QStringList centers; // empty: every centre
    std::optional<int> answerLimitS;
    std::optional<int> checkEveryS;   // CheckEvery=: in place of [Queue]'s
    std::optional<TestPage> testPage; // TestPage=, TestAt=: in place of [Queue]'s

    static constexpr int MinCheckEveryS = 10, MaxCheckEveryS = 24 * 3600;

    static bool validName(const QString &name);
    // CheckEvery=: 0 (never) or MinCheckEveryS to MaxCheckEveryS; nullopt when bad.
    static std::optional<int> parseCheckEvery(const QString &value);
    // "[Line NAME]": the NAME, or nullopt for a section that is no line's.
    static std::optional<QString> sectionName(const QString &section);
    // Every [Line NAME] section of the file, in the order written; what cannot be used
    // (a bad name, an unknown key, a bad value) is added to *problems.
    static QList<QueueLine> read(const IniFile &ini, QStringList *problems);
};

// A line ready to be driven: its name and what its sends are given.
struct ReadyLine {
    QString name;
    DeviceAccess access;
    std::optional<int> checkEveryS;
    std::optional<TestPage> testPage;
};

// The lines of the queue checked against the folder's settings, each with base's access
// and its own keys: a device kind that cannot send unattended, a key the settings file
// cannot take, a password file that cannot be used, a device the settings do not name
// among several (the modules ModemManager has, asked now), and two lines that reach one
// device (a serial device by its real path, a SIP account by user and server, a module
// by the module found, any other kind by its number) are problems, each added to *problems. No line at all: the
// window's one line, named after its device ("COM1", "kind 10").
QList<ReadyLine> readyLines(const QString &folder, const QList<QueueLine> &lines, const DeviceAccess &base,
                            QStringList *problems);

// The name of the window's one line in a folder: "COM<n>" for a device on a serial
// port, else "kind <n>".
QString windowLineName(const QString &folder);

// queue/lines.json: what each line of a running queue is doing, rewritten whole at every
// change. Written and read here only.
namespace linestatus
{
QString path(const QString &dataFolder);
// Replaces the file atomically; the problem, if any.
std::optional<QString> write(const QString &dataFolder, const QJsonObject &status);
// nullopt when there is none, or it is no status of ours.
std::optional<QJsonObject> read(const QString &dataFolder);
} // namespace linestatus
