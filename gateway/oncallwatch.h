#pragma once

#include "gateway/runnerclock.h"

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

#include <memory>

class Reporter;

// The runner's oncall.ini: read at the start and again whenever it, the address book or a
// rota's calendar changes, as the file system tells (never polled). While it lives,
// OnCall::load for its folder gives the copy in use. A file with a fault leaves the last
// good copy in use and says why: to the reporter (standard error, --json) and in
// problem() (the HTTP listener's /healthz).
class OnCallWatch : public QObject
{
    Q_OBJECT
public:
    // clock: the runner's, for trying again when the folder is locked for a moment.
    OnCallWatch(QString folder, Reporter &reporter, RunnerClock &clock, QObject *parent = nullptr);
    ~OnCallWatch() override;
    void start();
    // Why the files on disk are not the ones in use; empty when they are.
    QString problem() const { return m_problem; }

signals:
    // Read again, well or not: problem() says which.
    void reread(const QString &problem);

private:
    void changed();
    void watch(const QStringList &files);
    QByteArray signature(const QStringList &files) const;

    QString m_folder;
    Reporter &m_reporter;
    std::unique_ptr<RunnerClock::Timer> m_retry;
    QFileSystemWatcher m_watcher;
    QStringList m_files; // what the copy in use was read from
    QByteArray m_signature;
    QString m_problem;
    bool m_kept = false; // a good copy is in use
};
