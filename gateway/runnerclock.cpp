#include "gateway/runnerclock.h"

#include <QDateTime>
#include <QTimer>
#include <limits>

namespace
{

class SystemTimer : public RunnerClock::Timer
{
public:
    explicit SystemTimer(std::function<void()> fire)
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, std::move(fire));
    }
    void start(qint64 ms) override
    {
        m_timer.start(int(qBound<qint64>(0, ms, qint64(std::numeric_limits<int>::max()))));
    }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};

class SystemClock : public RunnerClock
{
public:
    qint64 now() const override { return QDateTime::currentMSecsSinceEpoch(); }
    std::unique_ptr<Timer> timer(std::function<void()> fire) override
    {
        return std::make_unique<SystemTimer>(std::move(fire));
    }
};

} // namespace

RunnerClock &RunnerClock::system()
{
    static SystemClock clock;
    return clock;
}
