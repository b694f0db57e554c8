#pragma once

#include "modem/waiter.h"

#include <QtGlobal>
#include <functional>
#include <map>
#include <stdexcept>

// A waiter on virtual time: a wait jumps straight to the next scheduled event (a
// device answer, a user's press) or to its own end, so seconds of waiting take
// no real time. A wait without limit and with nothing left to happen fails the test.
class VirtualWaiter : public Waiter
{
public:
    struct Stuck : std::runtime_error {
        Stuck() : std::runtime_error("a wait without limit has nothing left to wait for") {}
    };

    qint64 now() const override { return m_now; }
    void waitFor(SerialPort *port, qint64 timeoutMs, const std::function<bool()> &done) override;

    // Runs action when virtual time reaches now + delayMs (in the order scheduled for equal times).
    void after(qint64 delayMs, std::function<void()> action);
    int waits() const { return m_waits; }
    bool idle() const { return m_events.empty(); }

private:
    qint64 m_now = 0;
    int m_waits = 0;
    std::multimap<qint64, std::function<void()>> m_events;
};
