// Shared by the window benchmarks: a program folder with a large address book and
// history, the process's peak memory, the monotonic clock, and the first paint.
#pragma once

#include "store/appdata.h"
#include "store/historyfile.h"
#include "store/settingsfile.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <time.h>

namespace bench
{

constexpr int Centers = 200;
constexpr int Recipients = 2000;
constexpr int HistoryEntries = 1000;

// Settings, 200 centres of every kind, 2000 recipients and a full history of 1000 rows.
inline AppData largeData(const QString &folder)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.settings.HistoryCount = HistoryEntries;
    data.history.resize(HistoryEntries);
    for (int i = 0; i < Centers; ++i)
        data.centers << MessageCenter{QStringLiteral("センター%1").arg(i),
                                      qint16(i % 8),
                                      QStringLiteral("0570%1").arg(i, 6, 10, QLatin1Char('0')),
                                      160,
                                      3,
                                      3,
                                      3};
    for (int i = 0; i < Recipients; ++i)
        data.recipients << Recipient{QStringLiteral("相手%1 ﾎﾟｹﾍﾞﾙ").arg(i), qint16(i % Centers),
                                     QStringLiteral("090%1").arg(i, 8, 10, QLatin1Char('0'))};
    for (int i = 0; i < HistoryEntries; ++i)
        AddHistoryEntry(data, data.recipients[i].name, data.centers[i % Centers].name,
                        QStringLiteral("%1 件目のメッセージです。ABC-123 ｶﾅ 漢字かな交じりの文を少し長めに。").arg(i));
    return data;
}

// Writes both files of largeData into folder (ending in '/'); false when one failed.
inline bool writeLargeFolder(const QString &folder)
{
    const AppData data = largeData(folder);
    return !SaveSettingsFile(data) && !SaveHistoryFile(data);
}

// The process's peak resident memory so far (VmHWM), in KiB.
inline qint64 peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// CLOCK_MONOTONIC in nanoseconds: the same clock in a parent and its children.
inline qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A moment of a start-up, for the breakdown of its time.
inline void mark(const char *what)
{
    std::printf("mark %lld %s\n", qlonglong(monotonicNs()), what);
}

// Once the first paint of any window is done: prints "<monotonic ns> <VmHWM KiB>" and
// ends the event loop. Installed on the application before the window is shown.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Queued: runs after the whole window has been painted and flushed.
            QTimer::singleShot(0, [] {
                std::printf("%lld %lld\n", qlonglong(monotonicNs()), qlonglong(peakKiB()));
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

inline double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace bench
