#include "modem/line.h"

#include <QtMath>

QCoro::Task<> Line::pause(double seconds)
{
    if (seconds > 0) {
        const qint64 end = m_waiter.now() + qCeil(seconds * 1000);
        for (qint64 left = end - m_waiter.now(); left > 0 && isOpen(); left = end - m_waiter.now())
            co_await m_waiter.wait(this, left);
    }
    afterPause();
}

qsizetype Line::digitCount(QByteArrayView bytes)
{
    qsizetype n = 0;
    for (char c : bytes)
        n += (c >= '0' && c <= '9') || c == '*' || c == '#';
    return n;
}

Line &KindLines::line(int storedDeviceKind)
{
    const auto maker = deviceRules(storedDeviceKind).makeLine;
    std::unique_ptr<Line> &made = m_lines[maker];
    if (!made) {
        made = maker(m_parts);
        made->setLog(m_parts.log);
    }
    return *made;
}
