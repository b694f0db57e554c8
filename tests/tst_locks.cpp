// The window and fumidori-send sharing a folder and a line: the history merge at
// save, the line's lock between processes, and the window's port refusing a held line.
#include "support/fakeplatform.h"
#include "support/fakeport.h"
#include "support/filehelpers.h"

#include "app/lifecycle.h"
#include "modem/lockedport.h"
#include "store/appdata.h"
#include "store/apperror.h"
#include "store/historyfile.h"
#include "store/locks.h"
#include "store/settingsfile.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// An entry known by its recipient; the time is the day's seconds.
HistoryEntry entry(const char *name, int second)
{
    return {QString::fromLatin1(name), QStringLiteral("C"),
            QStringLiteral("2026/12/07 10:%1:%2")
                .arg(second / 60, 2, 10, QLatin1Char('0'))
                .arg(second % 60, 2, 10, QLatin1Char('0')),
            QStringLiteral("m")};
}

QList<HistoryEntry> entries(std::initializer_list<std::pair<const char *, int>> list)
{
    QList<HistoryEntry> out;
    for (const auto &[name, second] : list)
        out << entry(name, second);
    return out;
}

QStringList names(const QList<HistoryEntry> &list)
{
    QStringList out;
    for (const HistoryEntry &e : list)
        out << e.recipientName;
    return out;
}

// Another program holding a lock: flock(1) on the path until it is killed.
struct Holder {
    QProcess process;
    bool hold(const QString &path)
    {
        process.start(QStringLiteral("flock"),
                      {QStringLiteral("-o"), path, QStringLiteral("-c"), QStringLiteral("echo held; cat")});
        return process.waitForReadyRead(5000) && process.readAll() == "held\n";
    }
    ~Holder()
    {
        process.kill();
        process.waitForFinished();
    }
};

} // namespace

class tst_Locks : public QObject
{
    Q_OBJECT
private slots:
    void merged_data()
    {
        QTest::addColumn<QList<HistoryEntry>>("ours");
        QTest::addColumn<QList<HistoryEntry>>("asLoaded");
        QTest::addColumn<QList<HistoryEntry>>("now");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QStringList>("expected");
        const auto old = entries({{"a", 10}, {"b", 5}});
        QTest::newRow("nobody else wrote")
            << entries({{"w", 20}, {"a", 10}, {"b", 5}}) << old << old << 21 << QStringList{"w", "a", "b"};
        QTest::newRow("a sender's entry between ours")
            << entries({{"w2", 40}, {"w1", 20}, {"a", 10}, {"b", 5}}) << old
            << entries({{"s", 30}, {"a", 10}, {"b", 5}}) << 21 << QStringList{"w2", "s", "w1", "a", "b"};
        QTest::newRow("at most the table's rows") << entries({{"w", 20}, {"a", 10}}) << entries({{"a", 10}})
                                                  << entries({{"s", 30}, {"a", 10}}) << 2 << QStringList{"s", "w"};
        QTest::newRow("the sender's file dropped our oldest: still ours to keep")
            << entries({{"a", 10}, {"b", 5}}) << old << entries({{"s", 30}, {"a", 10}}) << 21
            << QStringList{"s", "a", "b"};
        QTest::newRow("deleted in the window: not brought back")
            << entries({{"a", 10}}) << old << old << 21 << QStringList{"a"};
        QTest::newRow("the same entry twice, once new")
            << entries({{"a", 10}}) << entries({{"a", 10}}) << entries({{"a", 10}, {"a", 10}}) << 21
            << QStringList{"a", "a"};
        QTest::newRow("equal times: ours first")
            << entries({{"w", 30}}) << QList<HistoryEntry>{} << entries({{"s", 30}}) << 21 << QStringList{"w", "s"};
        QList<HistoryEntry> oddTime = entries({{"s", 30}});
        oddTime[0].sentAt = QStringLiteral("yesterday");
        QTest::newRow("a time that is no time keeps its place after ours")
            << entries({{"w", 20}}) << QList<HistoryEntry>{} << oddTime << 21 << QStringList{"w", "s"};
    }
    void merged()
    {
        QFETCH(QList<HistoryEntry>, ours);
        QFETCH(QList<HistoryEntry>, asLoaded);
        QFETCH(QList<HistoryEntry>, now);
        QFETCH(int, rows);
        QFETCH(QStringList, expected);
        QCOMPARE(names(historyfile::merged(ours, asLoaded, now, rows)), expected);
    }
    // The window loads, fumidori-send records a send, the window sends and exits: both
    // entries are in the file, newest first.
    void windowExitKeepsSendersEntries()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        QVERIFY(writeFileBytes(folder + "Fumidori.ini", defaultSettingsBytes()));
        QVERIFY(writeFileBytes(folder + "History.ini", "\"old\",\"C\",\"2026/12/07 09:00:00\"\r\nm\r\n"));
        FakePlatform fake;
        AppData window;
        window.folder = folder;
        lifecycle::loadAtStartUp(window, fake.platform, nullptr);

        AppData sender;
        sender.folder = folder;
        QVERIFY(!LoadSettingsFile(sender) && !LoadHistoryFile(sender));
        sender.history.add(entry("sender", 30));
        QVERIFY(!SaveHistoryKeepingOthers(sender));

        window.history.add(entry("window", 40));
        try {
            lifecycle::saveAndExit(window, fake.platform, nullptr);
        } catch (const ProcessEnded &e) {
            QCOMPARE(e.code, 0);
        }
        lifecycle::releaseInstanceLock();
        AppData after;
        after.folder = folder;
        QVERIFY(!LoadSettingsFile(after) && !LoadHistoryFile(after));
        QCOMPARE(names(after.history.used()), QStringList({"window", "sender", "old"}));
    }
    void lineLockBetweenProcesses()
    {
        QTemporaryDir dir;
        const QString path = PortLock::pathFor(dir.path() + "/line", dir.path() + u'/');
        Holder other;
        {
            PortLock probe(path); // makes the file for flock(1) to open
            QVERIFY(probe.tryLock());
            PortLock again(path); // a second hold in one process is granted
            QVERIFY(again.tryLock());
        }
        QVERIFY(other.hold(path));
        PortLock lock(path);
        QVERIFY(!lock.tryLock());

        PortLockWaiter giveUp(lock);
        QSignalSpy timedOut(&giveUp, &PortLockWaiter::timedOut);
        giveUp.start(0);
        QVERIFY(timedOut.wait(5000));

        PortLockWaiter waiter(lock);
        QSignalSpy acquired(&waiter, &PortLockWaiter::acquired);
        waiter.start(-1);
        QCoreApplication::processEvents();
        QCOMPARE(acquired.count(), 0); // still held
        other.process.kill();          // the holder dies: the kernel lets its lock go
        QVERIFY(acquired.wait(5000));
        QVERIFY(lock.isLocked());
        QCOMPARE(lock.holder(), QStringLiteral("tst_locks %1").arg(QCoreApplication::applicationPid()));
    }
    // The window's port: a line held by another program is "in use" (8005) and the port
    // stays closed; once free the port opens and holds the line until it closes.
    void windowPortRefusesHeldLine()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        QVERIFY(QDir(folder).mkpath("ports"));
        QVERIFY(writeFileBytes(folder + "device", ""));
        QVERIFY(QFile::link(folder + "device", folder + "ports/COM2"));
        const QString path = LockedPort::lockPath(folder, 2);
        QVERIFY(path.endsWith(QFileInfo(folder + "device").canonicalFilePath().mid(1).replace(u'/', u'_') + ".lock"));
        FakePort fake;
        LockedPort port(fake, folder);
        port.setPortNumber(2);
        {
            Holder other;
            QVERIFY(other.hold(path));
            try {
                port.setPortOpen(true);
                QFAIL("opened a held line");
            } catch (const AppError &e) {
                QCOMPARE(e.code(), int(ErrorCode::PortInUse));
            }
            QVERIFY(!port.isOpen());
        }
        port.setPortOpen(true);
        QVERIFY(port.isOpen());
        Holder late;
        QProcess &p = late.process;
        p.start(QStringLiteral("flock"), {QStringLiteral("-n"), path, QStringLiteral("true")});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 1); // held by the open port
        port.setPortOpen(false);
        p.start(QStringLiteral("flock"), {QStringLiteral("-n"), path, QStringLiteral("true")});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_Locks)
#include "tst_locks.moc"
