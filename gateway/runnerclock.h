#pragma once

#include <QtGlobal>
#include <functional>
#include <memory>

// Where the queue runner takes its time and its timers from: the system's clock in the
// program, a virtual one in tests, so that retries and cool-offs of minutes and hours run
// without waiting for them.
class RunnerClock
{
public:
    // A single-shot timer that calls its function from the event loop.
    class Timer
    {
    public:
        virtual ~Timer() = default;
        // (Re)starts it: it fires once, ms from now.
        virtual void start(qint64 ms) = 0;
        virtual void stop() = 0;
        virtual bool isActive() const = 0;
    };

    virtual ~RunnerClock() = default;
    // Milliseconds since the epoch: retry times are kept in the messages' files.
    virtual qint64 now() const = 0;
    virtual std::unique_ptr<Timer> timer(std::function<void()> fire) = 0;

    // The system's clock and QTimer.
    static RunnerClock &system();
};
