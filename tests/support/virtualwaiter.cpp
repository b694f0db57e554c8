#include "virtualwaiter.h"

#include "modem/serialport.h"

#include <limits>

void VirtualWaiter::after(qint64 delayMs, std::function<void()> action)
{
    m_events.emplace(m_now + delayMs, std::move(action));
}

void VirtualWaiter::waitFor(SerialPort *port, qint64 timeoutMs, const std::function<bool()> &done)
{
    ++m_waits;
    const qint64 end = timeoutMs < 0 ? std::numeric_limits<qint64>::max() : m_now + timeoutMs;
    for (;;) {
        if ((done && done()) || (port && !port->isOpen()))
            return;
        if (m_events.empty() || m_events.begin()->first > end) {
            if (timeoutMs < 0)
                throw Stuck();
            m_now = qMax(m_now, end);
            return;
        }
        auto next = m_events.begin();
        m_now = qMax(m_now, next->first);
        std::function<void()> action = std::move(next->second);
        m_events.erase(next);
        action(); // may start nested waits of its own, as a handler run by the window would
    }
}
