#include "virtualwaiter.h"

#include <limits>

void VirtualWaiter::after(qint64 delayMs, std::function<void()> action)
{
    m_events.emplace(m_now + delayMs, std::move(action));
}

void VirtualWaiter::start(WaitSource *source, qint64 timeoutMs, std::function<bool()> done, std::function<void()> wake)
{
    const qint64 end = timeoutMs < 0 ? std::numeric_limits<qint64>::max() : m_now + timeoutMs;
    m_open.push_back({source, end, std::move(done), std::move(wake)});
}

// Wakes the first wait whose condition holds or whose time is up; false when none is.
bool VirtualWaiter::wakeFinished()
{
    for (auto it = m_open.begin(); it != m_open.end(); ++it) {
        if ((it->done && it->done()) || (it->source && !it->source->isOpen()) || it->end <= m_now) {
            std::function<void()> wake = std::move(it->wake);
            m_open.erase(it);
            wake();
            return true;
        }
    }
    return false;
}

void VirtualWaiter::run()
{
    for (;;) {
        if (wakeFinished())
            continue;
        if (m_open.empty())
            return;
        qint64 firstEnd = std::numeric_limits<qint64>::max();
        for (const Open &open : m_open)
            firstEnd = qMin(firstEnd, open.end);
        if (!m_events.empty() && m_events.begin()->first <= firstEnd) {
            auto next = m_events.begin();
            m_now = qMax(m_now, next->first);
            std::function<void()> action = std::move(next->second);
            m_events.erase(next);
            action();
        } else if (firstEnd != std::numeric_limits<qint64>::max()) {
            m_now = firstEnd;
        } else {
            throw Stuck();
        }
    }
}
