#pragma once

#include <QtGlobal>
#include <functional>

class SerialPort;

// Every wait of the program goes through one waiter. In the program it runs a local
// event loop woken by the port, a timer or the port closing; tests run it on virtual time.
class Waiter
{
public:
    virtual ~Waiter() = default;
    // Milliseconds on a monotonic clock.
    virtual qint64 now() const = 0;
    // Lets the window run until done() holds, the port is closed, or timeoutMs has
    // passed (negative: no limit). done() is asked again whenever the port has data.
    virtual void waitFor(SerialPort *port, qint64 timeoutMs, const std::function<bool()> &done) = 0;
};

class EventLoopWaiter : public Waiter
{
public:
    qint64 now() const override;
    void waitFor(SerialPort *port, qint64 timeoutMs, const std::function<bool()> &done) override;
};
