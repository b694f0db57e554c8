#include "support/filehelpers.h"

#include "store/appdata.h"
#include "store/historyfile.h"
#include "store/settingsfile.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/time.h>
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

// The child: saves the two versions in turn; once `before` saves are done, a timer ends it
// pauseUs later wherever it is (SIGALRM's default, as abrupt as a kill).
[[noreturn]] void saveUntilAlarm(const AppData versions[2], int before, qint64 pauseUs)
{
    ::signal(SIGALRM, SIG_DFL);
    for (int i = 0; i < 100000; ++i) {
        const itimerval alarm{{0, 0}, {time_t(pauseUs / 1000000), suseconds_t(pauseUs % 1000000)}};
        if (i == before && ::setitimer(ITIMER_REAL, &alarm, nullptr) != 0)
            ::_exit(3);
        const AppData &d = versions[i % 2];
        if (SaveSettingsFile(d) || SaveHistoryFile(d))
            ::_exit(2);
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
            // A random number of saves finish, then the saver ends at a random moment of the
            // next ones: the moment has to be random in real time.
            const int before = int(random.bounded(3));
            const qint64 pauseUs = 1 + random.bounded(qMax<qint64>(saveMs, 2) * 1500);
            const pid_t child = fork();
            if (child == 0)
                saveUntilAlarm(versions, before, pauseUs);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM, "the saver ended by itself");
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
