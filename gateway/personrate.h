#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <limits>

// At most max pages to one person per window: the times pages to each person went, and
// when the next one may go. A page beyond waits for the window to reopen; what waited goes
// then as one summary page (summaryText), so that a storm reaches a person as one page
// rather than holding the lines for every page of it.
class PersonRate
{
public:
    static constexpr int DefaultMax = 6;
    static constexpr qint64 DefaultPerMs = 600000;
    // The summary shows at most this many texts (the centre's limit cuts it sooner).
    static constexpr int SummaryTexts = 5;

    // max 0: no limit.
    PersonRate(int max = DefaultMax, qint64 perMs = DefaultPerMs) : m_max(max), m_perMs(perMs) {}

    // A page to the person went at the time (ms since the epoch).
    void paged(const QString &person, qint64 at);
    // When the next page to the person may go, with inFlight pages to them under way: now
    // when it may go now; Never while those under way fill the window.
    static constexpr qint64 Never = std::numeric_limits<qint64>::max();
    qint64 freeAt(const QString &person, qint64 now, int inFlight = 0) const;

    // "他N件：" and the first texts, oldest first, each with its white space squeezed.
    static QString summaryText(const QStringList &texts);

private:
    int m_max;
    qint64 m_perMs;
    QHash<QString, QList<qint64>> m_paged; // by person, oldest first, none older than the window
};
