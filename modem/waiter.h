#pragma once

#include <QObject>
#include <QtGlobal>
#include <coroutine>
#include <functional>
#include <memory>

// What a wait listens to: data arriving and the far end closing. The serial port is one;
// a line without a serial port (a control socket, an audio output) can be another.
class WaitSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool isOpen() const = 0;

signals:
    // Data arrived.
    void readyRead();
    // Closed, by our own close or because the far end went away.
    void closed();
};

// Every wait of the program goes through one waiter. A wait is a step of a coroutine:
// `co_await waiter.wait(source, ms, done)` suspends it until done() holds (asked again
// whenever the source has data), the source closes, or the time is up (negative: no
// limit). In the program the event loop wakes it; tests run it on virtual time.
class Waiter
{
public:
    virtual ~Waiter() = default;
    // Milliseconds on a monotonic clock.
    virtual qint64 now() const = 0;
    // Calls wake once, from the event loop and never from within start, when the wait
    // is over. Waits still open when the waiter goes are dropped unwoken.
    virtual void start(WaitSource *source, qint64 timeoutMs, std::function<bool()> done,
                       std::function<void()> wake) = 0;

    struct Wait {
        Waiter &waiter;
        WaitSource *source;
        qint64 timeoutMs;
        std::function<bool()> done;
        bool await_ready() const { return (done && done()) || (source && !source->isOpen()) || timeoutMs == 0; }
        void await_suspend(std::coroutine_handle<> coroutine)
        {
            waiter.start(source, timeoutMs, std::move(done), [coroutine] { coroutine.resume(); });
        }
        void await_resume() const {}
    };
    Wait wait(WaitSource *source, qint64 timeoutMs, std::function<bool()> done = {})
    {
        return Wait{*this, source, timeoutMs, std::move(done)};
    }
};

// The program's waiter: a single-shot timer and the source's signals; the coroutine
// resumes at the next turn of the event loop, after the handler that ended the wait.
class EventLoopWaiter : public Waiter
{
public:
    EventLoopWaiter();
    ~EventLoopWaiter() override;
    qint64 now() const override;
    void start(WaitSource *source, qint64 timeoutMs, std::function<bool()> done, std::function<void()> wake) override;

private:
    std::unique_ptr<QObject> m_waits; // parent of every open wait
};
