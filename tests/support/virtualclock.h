#pragma once

// The queue runner's clock on virtual time: it stands still until a test advances it, and
// the timers due on the way fire in their order, each at its own time.
#include "gateway/runnerclock.h"

#include <algorithm>
#include <vector>

class VirtualClock : public RunnerClock
{
public:
    explicit VirtualClock(qint64 start = 1'800'000'000'000) : m_now(start) {}

    qint64 now() const override { return m_now; }
    std::unique_ptr<Timer> timer(std::function<void()> fire) override
    {
        return std::make_unique<VirtualTimer>(*this, std::move(fire));
    }
    void advance(qint64 ms)
    {
        const qint64 until = m_now + ms;
        for (;;) {
            const auto due = std::min_element(m_timers.begin(), m_timers.end(), [](auto *a, auto *b) {
                return a->at >= 0 && (b->at < 0 || a->at < b->at);
            });
            if (due == m_timers.end() || (*due)->at < 0 || (*due)->at > until)
                break;
            VirtualTimer *t = *due;
            m_now = std::max(m_now, t->at);
            t->at = -1;
            t->fire();
        }
        m_now = until;
    }

private:
    struct VirtualTimer : Timer {
        VirtualClock &clock;
        std::function<void()> fire;
        qint64 at = -1; // when it fires; -1: stopped
        VirtualTimer(VirtualClock &c, std::function<void()> f) : clock(c), fire(std::move(f))
        {
            clock.m_timers.push_back(this);
        }
        ~VirtualTimer() override { std::erase(clock.m_timers, this); }
        void start(qint64 ms) override { at = clock.m_now + std::max<qint64>(ms, 0); }
        void stop() override { at = -1; }
        bool isActive() const override { return at >= 0; }
    };

    qint64 m_now;
    std::vector<VirtualTimer *> m_timers;
};
