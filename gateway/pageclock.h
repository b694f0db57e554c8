#pragma once

#include "gateway/pages.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <functional>

class Reporter;

// The runner's side of escalations: queues the steps of open pages as they come due. It
// wakes when a page's file changes in queue/state/ (a new page, an acknowledgement) and at
// the next step's time, never in between; a page added while no runner ran has its late
// steps queued at the start.
class PageClock : public QObject
{
    Q_OBJECT
public:
    // now: seconds since the epoch.
    PageClock(QString folder, pages::StepQueuer queue, Reporter &reporter, std::function<qint64()> now,
              QObject *parent = nullptr);
    void start();

private:
    void runAll();

    QString m_folder;
    pages::StepQueuer m_queue;
    Reporter &m_reporter;
    std::function<qint64()> m_now;
    QFileSystemWatcher m_watcher;
    QTimer m_timer;
};
