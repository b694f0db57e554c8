#pragma once

#include "outcome.h"

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
    QString id; // the queue's id; empty for a direct send
};

// Runs a hook command (through /bin/sh) after a message, with its outcome in the
// environment: FUMIDORI_STATUS (sent, failed, refused, busy), FUMIDORI_EXIT,
// FUMIDORI_RECIPIENT, FUMIDORI_CENTER, FUMIDORI_ATTEMPT, FUMIDORI_REASON,
// FUMIDORI_ID and FUMIDORI_MESSAGE_FILE (a file holding the message in UTF-8, there
// while the hook runs). A hook that fails, or runs longer than a minute, is logged
// and changes nothing else. finished() follows in every case.
class Hook : public QObject
{
    Q_OBJECT
public:
    Hook(QString command, HookContext context, Reporter &reporter, QObject *parent = nullptr);
    void start();

    static constexpr int TimeoutMs = 60000;

signals:
    void finished();

private:
    void failed(const QString &why);

    QString m_command;
    Reporter &m_reporter;
    QProcess *m_process;
    QTemporaryFile *m_file;
    QTimer *m_timer;
};
