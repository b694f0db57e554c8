#include "gateway/personrate.h"

#include "gateway/textfit.h"

void PersonRate::paged(const QString &person, qint64 at)
{
    if (m_max <= 0 || person.isEmpty())
        return;
    QList<qint64> &times = m_paged[person];
    times.removeIf([&](qint64 t) { return t > at || at - t >= m_perMs; }); // a clock set back forgets
    times << at;
    if (times.size() > m_max)
        times.remove(0, times.size() - m_max);
}

qint64 PersonRate::freeAt(const QString &person, qint64 now, int inFlight) const
{
    if (m_max <= 0 || person.isEmpty())
        return now;
    QList<qint64> recent;
    for (qint64 t : m_paged.value(person))
        if (t <= now && now - t < m_perMs)
            recent << t;
    const qsizetype room = m_max - inFlight;
    if (recent.size() < room)
        return now;
    if (room <= 0)
        return Never;
    // The window reopens when the oldest of the last pages that fill it leaves it.
    return recent[recent.size() - room] + m_perMs;
}

QString PersonRate::summaryText(const QStringList &texts)
{
    QStringList shown;
    for (const QString &text : texts.mid(0, SummaryTexts))
        shown << squeezeSpaces(text).trimmed();
    return QStringLiteral("他%1件：").arg(texts.size()) + shown.join(QStringLiteral(" / "));
}
