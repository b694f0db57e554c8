#include "modem/waiter.h"

#include "modem/serialport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <limits>

qint64 EventLoopWaiter::now() const
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

// A local event loop: the window keeps running its handlers (hang-up, timer, exit)
// while the loop sleeps until the port has data, the port closes or the time is up.
void EventLoopWaiter::waitFor(SerialPort *port, qint64 timeoutMs, const std::function<bool()> &done)
{
    if ((done && done()) || (port && !port->isOpen()) || timeoutMs == 0)
        return;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (timeoutMs > 0)
        timer.start(int(qMin<qint64>(timeoutMs, std::numeric_limits<int>::max())));
    if (port) {
        QObject::connect(port, &SerialPort::closed, &loop, &QEventLoop::quit);
        if (done) {
            QObject::connect(port, &SerialPort::readyRead, &loop, [&] {
                if (done())
                    loop.quit();
            });
        }
    }
    loop.exec();
}
