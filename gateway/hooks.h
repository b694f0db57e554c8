#pragma once

#include "gateway/outcome.h"

#include <QObject>
#include <QString>

class QProcess;
class QTemporaryFile;
class QTimer;
class Reporter;

// What a hook is told about the message it follows.
struct HookContext {
    Outcome outcome;
    QString text; // the message as sent
    int attempt = 1;
    QString id;     // the queue's id; empty for a direct send
    QString line;   // the queue's line that carried the message (or changed state)
    QString status; // in place of the outcome's word: "line-down", "line-up"
};

// Runs a hook command (through /bin/sh) after a message, with its outcome in the
// environment: FUMIDORI_STATUS (sent, failed, refused, busy), FUMIDORI_EXIT,
// FUMIDORI_RECIPIENT, FUMIDORI_CENTER, FUMIDORI_ATTEMPT, FUMIDORI_REASON,
// FUMIDORI_ID, FUMIDORI_LINE and FUMIDORI_MESSAGE_FILE (a file holding the message in UTF-8, there
// while the hook runs). Each value is cut to MaxValueBytes, so that a hook always
// starts. The hook runs in a process group of its own: at its timeout, or at stop(),
// the whole group gets SIGTERM and, a grace later, SIGKILL, so nothing it started
// outlives it. A hook that fails or is stopped is logged and changes nothing else.
// finished() follows in every case.
class Hook : public QObject
{
    Q_OBJECT
public:
    Hook(QString command, HookContext context, Reporter &reporter, int timeoutMs = DefaultTimeoutMs,
         QObject *parent = nullptr);
    ~Hook() override;
    void start();
    // Ends the hook now (the runner is stopping).
    void stop();

    static constexpr int DefaultTimeoutMs = 60000;
    static constexpr int MaxValueBytes = 4096;
    // Between SIGTERM and SIGKILL.
    static constexpr int GraceMs = 5000;

signals:
    void finished();

private:
    void terminate(const QString &why);
    void signalGroup(int sig);
    void failed(const QString &why);
    void end();

    QString m_command;
    Reporter &m_reporter;
    QProcess *m_process;
    QTemporaryFile *m_file;
    QTimer *m_timer;
    QTimer *m_grace;
    qint64 m_group = 0; // the hook's process group (its shell's pid) while it may have members
    int m_timeoutMs;
    QString m_stoppedWhy;
    bool m_exited = false;
    bool m_ended = false;
};
