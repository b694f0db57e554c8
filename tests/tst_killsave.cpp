#include "support/filehelpers.h"

#include "store/appdata.h"
#include "store/historyfile.h"
#include "store/settingsfile.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// A large address book and history; generation picks one of two versions of the data.
AppData bigData(const QString &folder, int generation)
{
    AppData d;
    d.folder = folder;
    d.settings = Settings::defaults();
    d.settings.HistoryCount = 999;
    d.history.resize(d.settings.HistoryCount);
    const QString tag = generation == 0 ? QStringLiteral("旧") : QStringLiteral("新しい");
    for (int i = 0; i < 200; ++i)
        d.centers.append({QStringLiteral("センター%1%2").arg(tag).arg(i), qint16(i % 8),
                          QStringLiteral("0570%1").arg(i), 160, 5, 3, 2});
    for (int i = 0; i < 2000; ++i)
        d.recipients.append(
            {QStringLiteral("相手%1%2").arg(tag).arg(i), qint16(i % 200), QStringLiteral("090%1").arg(i)});
    for (int i = 0; i < 1000; ++i)
        d.history.row(i) = {QStringLiteral("相手%1").arg(i), tag, QStringLiteral("2026/12/01 10:00:00"),
                            QStringLiteral("メッセージ%1%2").arg(tag).arg(i)};
    return d;
}

// The child: saves the two versions in turn and reports each finished save on the pipe.
[[noreturn]] void saveForever(const AppData versions[2], int reportFd)
{
    for (int i = 0; i < 100000; ++i) {
        const AppData &d = versions[i % 2];
        if (SaveSettingsFile(d) || SaveHistoryFile(d))
            ::_exit(2);
        const char byte = 1;
        if (::write(reportFd, &byte, 1) != 1)
            ::_exit(3);
    }
    ::_exit(0);
}

} // namespace

class tst_KillSave : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A process killed at any moment of a save leaves each file as the old or the new
    // bytes, never anything in between.
    void killedSaveLeavesOldOrNew()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const AppData versions[2] = {bigData(folder, 0), bigData(folder, 1)};
        const QByteArray settings[2] = {settingsfile::bytes(versions[0]), settingsfile::bytes(versions[1])};
        const QByteArray history[2] = {historyfile::bytes(versions[0].history),
                                       historyfile::bytes(versions[1].history)};
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!SaveSettingsFile(versions[0]) && !SaveHistoryFile(versions[0]));
        const qint64 saveMs = timer.elapsed();
        QRandomGenerator random(42);
        const int rounds = qEnvironmentVariableIntValue("FUMIDORI_KILL_ROUNDS"); // scripts/killtest runs more
        for (int round = 0; round < (rounds > 0 ? rounds : 12); ++round) {
            int pipeFds[2];
            QCOMPARE(::pipe(pipeFds), 0);
            const pid_t child = fork();
            if (child == 0) {
                ::close(pipeFds[0]);
                saveForever(versions, pipeFds[1]);
            }
            ::close(pipeFds[1]);
            // Let a random number of saves finish, then kill at a random moment of the next ones:
            // the moment of the kill has to be random in real time.
            char byte;
            for (int saves = random.bounded(3); saves > 0; --saves)
                QCOMPARE(::read(pipeFds[0], &byte, 1), ssize_t(1));
            const qint64 pauseNs = random.bounded(qMax<qint64>(saveMs, 2) * 1500000);
            const timespec pause{time_t(pauseNs / 1000000000), long(pauseNs % 1000000000)};
            ::nanosleep(&pause, nullptr);
            ::kill(child, SIGKILL);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            ::close(pipeFds[0]);
            QVERIFY2(WIFSIGNALED(status), "the saver ended by itself");
            const QByteArray s = readFileBytes(folder + QStringLiteral("Fumidori.ini"));
            const QByteArray h = readFileBytes(folder + QStringLiteral("History.ini"));
            QVERIFY2(s == settings[0] || s == settings[1],
                     qPrintable(QStringLiteral("round %1: settings file").arg(round)));
            QVERIFY2(h == history[0] || h == history[1],
                     qPrintable(QStringLiteral("round %1: history file").arg(round)));
        }
    }
};

QTEST_GUILESS_MAIN(tst_KillSave)
#include "tst_killsave.moc"
