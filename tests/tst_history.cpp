#include "support/filehelpers.h"
#include "support/table.h"

#include "encoding/cp932.h"
#include "store/appdata.h"
#include "store/historyfile.h"

#include <QTest>

namespace
{

QByteArray entries(int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += "\"R" + QByteArray::number(i) + "\",\"C\",\"2026/12/01 10:00:00\"\r\nmessage " + QByteArray::number(i) +
               "\r\n";
    return out;
}

HistoryEntry entry(const QString &name)
{
    return {name, QStringLiteral("C"), QStringLiteral("t"), QStringLiteral("m")};
}

} // namespace

using LoadLimit = table::Of<int, int, int>;

using Damaged = table::Of<QByteArray, QString>;

class tst_History : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void loadLimit_data()
    {
        const LoadLimit row;
        row("20, file of 21 as saved", 20, 21, 21);
        row("20, longer file", 20, 25, 21);
        row("20, short file", 20, 5, 5);
        row("0 keeps the one saved", 0, 3, 1);
        row("1", 1, 3, 2);
        row("empty file", 20, 0, 0);
    }

    void loadLimit()
    {
        const auto [historyCount, inFile, loaded] = LoadLimit::row();
        HistoryTable table;
        table.resize(historyCount);
        QVERIFY(!historyfile::read(entries(inFile), table, QStringLiteral("History.ini")));
        QCOMPARE(table.used().size(), loaded);
        if (loaded > 0) {
            QCOMPARE(table.row(0).recipientName, QStringLiteral("R0"));
            QCOMPARE(table.row(loaded - 1).message, QStringLiteral("message %1").arg(loaded - 1));
        }
    }

    // With the history off nothing is added; on, the newest goes on top without its line
    // breaks, and what falls beyond the table's size and the one saved extra drops.
    void addEntry()
    {
        AppData data;
        data.history.resize(2);
        data.history.add(entry(QStringLiteral("kept")));
        data.settings.History = 0;
        AddHistoryEntry(data, QStringLiteral("off"), QStringLiteral("C"), QStringLiteral("m"));
        QCOMPARE(data.history.used().size(), 1);
        data.settings.History = 1;
        for (const char *name : {"a", "b", "c", "d"})
            AddHistoryEntry(data, QString::fromLatin1(name), QStringLiteral("C"), QStringLiteral("x\r\ny\nz\rw"));
        const QList<HistoryEntry> used = data.history.used();
        QCOMPARE(used.size(), 3);
        QCOMPARE(used[0].recipientName, QStringLiteral("d"));
        QCOMPARE(used[2].recipientName, QStringLiteral("b"));
        QCOMPARE(used[0].message, QStringLiteral("xyzw"));
        QVERIFY(!used[0].sentAt.contains(u'"'));
    }

    // A lone LF belongs to the message (earlier versions stored it); only CR LF or a lone CR ends the line.
    void loneLineFeedInMessageRoundTrips()
    {
        const QByteArray file = "\"a\",\"b\",\"c\"\r\nab\ncd\r\n\"d\",\"e\",\"f\"\r\n\nx\n\r\n";
        HistoryTable table;
        table.resize(20);
        QVERIFY(!historyfile::read(file, table, QStringLiteral("History.ini")));
        QCOMPARE(table.used().size(), 2);
        QCOMPARE(table.row(0).message, QStringLiteral("ab\ncd"));
        QCOMPARE(table.row(1).recipientName, QStringLiteral("d"));
        QCOMPARE(table.row(1).message, QStringLiteral("\nx\n"));
        QCOMPARE(historyfile::bytes(table), file);
    }

    void writeStopsAtFirstEmptyRow()
    {
        HistoryTable table;
        table.resize(3);
        table.row(0) = {QStringLiteral("山田"), QStringLiteral("センター"), QStringLiteral("2026/12/01 10:00:00"),
                        QStringLiteral("本文")};
        table.row(2) = entry(QStringLiteral("after the gap"));
        QCOMPARE(historyfile::bytes(table),
                 cp932::encode(QStringLiteral("\"山田\",\"センター\",\"2026/12/01 10:00:00\"\r\n本文\r\n")));
        QCOMPARE(historyfile::bytes(HistoryTable()), QByteArray()); // an empty history is a zero-byte file
    }

    void damaged_data()
    {
        const Damaged row;
        row("two fields", "\"a\",\"b\"\r\nmsg\r\n", "1 件目の記録（1 行目）");
        row("four fields", QByteArray(entries(1) + "\"a\",\"b\",\"c\",\"d\"\r\nmsg\r\n"), "2 件目の記録（3 行目）");
        row("no message line", QByteArray(entries(1) + "\"a\",\"b\",\"c\"\r\n"), "2 件目の記録（4 行目）");
        row("no line end, no message", "\"a\",\"b\",\"c\"", "1 件目の記録（2 行目）");
        row("blank line at the end", QByteArray(entries(2) + "\r\n"), "3 件目の記録（5 行目）");
        row("lone CR ends the message", "\"a\",\"b\",\"c\"\r\nab\rcd\r\n", "2 件目の記録（3 行目）");
        row("open quote", "\"a,\"b\",\"c\r\nmsg\r\n", "1 件目の記録（1 行目）");
    }

    void damaged()
    {
        const auto [file, where] = Damaged::row();
        HistoryTable table;
        table.resize(20);
        table.row(0) = entry(QStringLiteral("before"));
        const std::optional<StoreError> error = historyfile::read(file, table, QStringLiteral("HISTORY.INI"));
        QVERIFY(error);
        QCOMPARE(error->fileName, QStringLiteral("HISTORY.INI"));
        QVERIFY2(error->detail.contains(where), qPrintable(error->detail));
        QCOMPARE(table.used().size(), 1); // left as it was
    }
};

QTEST_GUILESS_MAIN(tst_History)
#include "tst_history.moc"
