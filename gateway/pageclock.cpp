#include "gateway/pageclock.h"

#include "gateway/reporter.h"

#include <algorithm>

PageClock::PageClock(QString folder, pages::StepQueuer queue, Reporter &reporter, RunnerClock &clock, QObject *parent)
    : QObject(parent), m_folder(std::move(folder)), m_queue(std::move(queue)), m_reporter(reporter), m_clock(clock),
      m_timer(clock.timer([this] { runAll(); })), m_sweep(clock.timer([this] { sweep(); }))
{
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &PageClock::runAll);
}

void PageClock::start()
{
    if (sendqueue::checkFolders(m_folder).ok())
        m_watcher.addPath(sendqueue::stateFolder(m_folder));
    sweep();
    runAll();
}

void PageClock::sweep()
{
    if (const int removed = pages::removeEnded(m_folder, now()); removed > 0)
        m_reporter.note(QStringLiteral("page"),
                        QStringLiteral("%1 日より前に終わったページ %2 件の記録を消しました。")
                            .arg(pages::KeepEnded / (24 * 3600))
                            .arg(removed),
                        {{QStringLiteral("removed"), removed}});
    m_sweep->start(24 * 3600 * 1000);
}

void PageClock::runAll()
{
    std::optional<qint64> next;
    for (PageState p : pages::all(m_folder)) {
        if (!p.open())
            continue;
        const pages::Ran ran = pages::runDue(m_folder, p, now(), m_queue);
        if (ran.steps > 0)
            m_reporter.note(QStringLiteral("page"),
                            QStringLiteral("ページ %1（%2）: %3 段目までキューに入れました。")
                                .arg(p.id, p.escalation)
                                .arg(p.queued),
                            {{QStringLiteral("page"), p.id}, {QStringLiteral("step"), p.queued}});
        for (const QString &problem : ran.problems)
            m_reporter.warn(QStringLiteral("page"), QStringLiteral("ページ %1: %2").arg(p.id, problem),
                            {{QStringLiteral("page"), p.id}});
        // A step that could not be queued is tried again a minute later.
        const auto due = ran.problems.isEmpty() ? p.nextDue() : std::optional<qint64>(now() + 60);
        if (due)
            next = next ? qMin(*next, *due) : *due;
    }
    m_timer->stop();
    if (next)
        m_timer->start(std::clamp<qint64>(*next - now(), 1, 24 * 3600) * 1000);
}
