#include "modem/waiter.h"

#include <QElapsedTimer>
#include <QTimer>
#include <limits>

EventLoopWaiter::EventLoopWaiter() : m_waits(std::make_unique<QObject>()) {}

EventLoopWaiter::~EventLoopWaiter() = default;

qint64 EventLoopWaiter::now() const
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

void EventLoopWaiter::start(WaitSource *source, qint64 timeoutMs, std::function<bool()> done,
                            std::function<void()> wake)
{
    // One object per wait: deleting it cuts its timer and connections.
    auto *wait = new QObject(m_waits.get());
    auto over = std::make_shared<bool>(false);
    auto finish = [this, wait, over, wake = std::move(wake)] {
        if (*over)
            return;
        *over = true;
        wait->deleteLater();
        // Queued: the coroutine goes on after the handler that ended the wait (a hang-up's
        // close) has finished.
        QMetaObject::invokeMethod(m_waits.get(), wake, Qt::QueuedConnection);
    };
    if (timeoutMs >= 0) {
        auto *timer = new QTimer(wait);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, wait, finish);
        timer->start(int(qMin<qint64>(timeoutMs, std::numeric_limits<int>::max())));
    }
    if (source) {
        QObject::connect(source, &WaitSource::closed, wait, finish);
        if (done)
            QObject::connect(source, &WaitSource::readyRead, wait, [finish, done = std::move(done)] {
                if (done())
                    finish();
            });
    }
}
