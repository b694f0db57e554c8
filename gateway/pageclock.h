#pragma once

#include "gateway/pages.h"
#include "gateway/runnerclock.h"

#include <QFileSystemWatcher>
#include <QObject>

#include <memory>

class Reporter;

// The runner's side of escalations: queues the steps of open pages as they come due. It
// wakes when a page's file changes in queue/state/ (a new page, an acknowledgement) and at
// the next step's time, never in between; a page added while no runner ran has its late
// steps queued at the start. The files of pages that ended a week ago go at the start and
// once a day.
class PageClock : public QObject
{
    Q_OBJECT
public:
    // clock: the runner's (virtual in tests).
    PageClock(QString folder, pages::StepQueuer queue, Reporter &reporter, RunnerClock &clock,
              QObject *parent = nullptr);
    void start();

private:
    void runAll();
    void sweep();
    qint64 now() const { return m_clock.now() / 1000; }

    QString m_folder;
    pages::StepQueuer m_queue;
    Reporter &m_reporter;
    RunnerClock &m_clock;
    std::unique_ptr<RunnerClock::Timer> m_timer;
    std::unique_ptr<RunnerClock::Timer> m_sweep;
    QFileSystemWatcher m_watcher;
};
