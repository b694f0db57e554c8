#pragma once

#include "modem/waiter.h"

#include <QtGlobal>
#include <functional>
#include <list>
#include <map>
#include <stdexcept>

// A waiter on virtual time: run() jumps straight to the next scheduled event (a device
// answer, a user's press) or to the end of a wait, so seconds of waiting take no real
// time. A wait without limit and with nothing left to happen fails the test.
class VirtualWaiter : public Waiter
{
public:
    struct Stuck : std::runtime_error {
        Stuck() : std::runtime_error("a wait without limit has nothing left to wait for") {}
    };

    qint64 now() const override { return m_now; }
    void start(WaitSource *source, qint64 timeoutMs, std::function<bool()> done, std::function<void()> wake) override;

    // Runs action when virtual time reaches now + delayMs (in the order scheduled for equal times).
    void after(qint64 delayMs, std::function<void()> action);
    // Runs the scheduled events and ends the waits until no wait is open; events after
    // that stay scheduled for the next waits.
    void run();

private:
    struct Open {
        WaitSource *source;
        qint64 end;
        std::function<bool()> done;
        std::function<void()> wake;
    };
    bool wakeFinished();

    qint64 m_now = 0;
    std::multimap<qint64, std::function<void()>> m_events;
    std::list<Open> m_open;
};
