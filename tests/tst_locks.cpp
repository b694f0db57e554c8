// The locks between programs on a shared machine: lock files another user planted in
// their place (a link, a pipe, a file we cannot open, a folder) keep the line or the
// queue busy, at once and without touching what they point to; lock files are made with
// their own modes; a holder is named from the kernel's lock table, never the file; the data
// folder's lock is a file of its own, waited for a bounded time.
#include "support/fakeport.h"
#include "support/filehelpers.h"
#include "support/otheruser.h"
#include "support/sendfolder.h"
#include "support/sendrig.h"
#include "support/server.h"
#include "support/table.h"

#include "modem/comport.h"
#include "modem/lockedport.h"
#include "store/apperror.h"
#include "store/locks.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTest>

#include <pty.h>
#include <sys/file.h>
#include <thread>
#include <utime.h>

namespace
{

using otheruser::Plant;

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

QByteArray name(const QString &path)
{
    return QFile::encodeName(path);
}

struct stat statOf(const QString &path)
{
    struct stat st = {};
    ::lstat(name(path).constData(), &st);
    return st;
}

void removeAny(const QString &path)
{
    if (::unlink(name(path).constData()) != 0)
        ::rmdir(name(path).constData());
}

// fumidori-send (or another program) as root run for 5 s at most, optionally without the
// right to pass over file permissions: as an ordinary user meets another user's files.
ToolRun runTool(const QStringList &args, bool ordinary, const QString &program = Tool)
{
    return runTool(program, args, {}, QProcessEnvironment::systemEnvironment(), 5000,
                   ordinary ? otheruser::dropOverrideForChild : nullptr);
}

} // namespace

using HostileLockFile = table::Of<int, QString>;

using LockFileModes = table::Of<int, bool, int>;

using HolderShown = table::Of<QByteArray, bool>;

using FolderLockFileUnusable = table::Of<int>;

// the device's lock file (otheruser::ForeignLock::Kind, planted by nobody; -1 one of ours
// naming a process that has ended), its age (s), the window meets permissions as an ordinary
// user; the port opens (the file gone), else 8005 naming the file and its owner
using DeviceLockFound = table::Of<int, int, bool, bool>;

class tst_Locks : public QObject
{
    Q_OBJECT
private slots:
    void hostileLockFile_data()
    {
        const HostileLockFile row;
        const std::pair<Plant, const char *> plants[] = {{Plant::Symlink, "link to a file of ours"},
                                                         {Plant::Fifo, "named pipe"},
                                                         {Plant::Unreadable, "file we cannot open"},
                                                         {Plant::Folder, "folder"}};
        for (const auto &[plant, what] : plants) {
            for (const char *program : {"fumidori-send", "queue runner", "window"})
                QTest::addRow("%s, %s", what, program)
                    << HostileLockFile::Row{int(plant), QString::fromLatin1(program)};
        }
    }
    // Each answer is "busy", at once, and the lock is not held: the line's for fumidori-send
    // and the window, the runner's for a queue runner (the runner's lines meet them in
    // tst_sender's foreignLock). Nothing planted is changed, and the file a link points to
    // least of all.
    void hostileLockFile()
    {
        const auto [plant, program] = HostileLockFile::row();
        const std::optional<otheruser::Ids> nobody = otheruser::nobody();
        if (!nobody)
            QSKIP("needs root and the user nobody, who plants the lock files");
        TempDir dir;
        const QString folder = makeSendFolder(dir.path());
        QVERIFY(!folder.isEmpty());
        QVERIFY(writeFileBytes(folder + "victim", "precious\n"));
        QVERIFY(::chmod(name(dir.path()).constData(), 0711) == 0); // nobody may pass, not look
        const bool runner = program == u"queue runner";
        const QString queue = folder + "queue";
        const QString lockPath = runner ? queue + "/runner.lock" : LockedPort::lockPath(folder, 1);
        if (!runner && !lockPath.startsWith(u"/run/lock/"))
            QSKIP("/run/lock cannot be written here: the line locks stay in the data folder");
        const auto cleanup = qScopeGuard([&] { removeAny(lockPath); });
        if (runner)
            QVERIFY(QDir().mkpath(queue) && ::chmod(name(queue).constData(), 01777) == 0);
        QVERIFY(otheruser::plant(*nobody, Plant(plant), name(lockPath), name(folder + "victim")));
        if (runner)
            QVERIFY(::chmod(name(queue).constData(), 0700) == 0);
        const struct stat before = statOf(lockPath);

        if (program == u"window") {
            otheruser::AsOrdinaryUser ordinary;
            QVERIFY(ordinary.active());
            FakePort fake;
            LockedPort port(fake, folder);
            port.setPortNumber(1);
            QElapsedTimer clock;
            clock.start();
            int code = 0;
            try {
                port.setPortOpen(true);
            } catch (const AppError &e) {
                code = e.code();
            }
            const qint64 ms = clock.elapsed();
            QCOMPARE(code, 8005);
            QVERIFY(!fake.isOpen());
            // Refused at once, not after a wait for the lock (any wait of the port is seconds
            // long): the bound is loose so that a loaded machine does not fail it.
            QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
            PortLock lock(lockPath);
            QVERIFY(!lock.tryLock());
            QVERIFY(lock.isUnusable() && !lock.isLocked());
            QVERIFY2(lock.busyText().contains(lockPath) && lock.busyText().contains("nobody"),
                     qPrintable(lock.busyText()));
        } else {
            const QStringList args = runner ? QStringList{"--folder", folder, "queue", "run"}
                                            : QStringList{"--folder", folder, "--to", "R", "X"};
            const ToolRun r = runTool(args, true);
            QVERIFY2(r.ended, "still running: the lock file was waited on, or taken as held");
            QVERIFY2(r.exitCode == 3, qPrintable(QString::number(r.exitCode) + ": " + r.err));
            QVERIFY2(r.err.contains(lockPath) && r.err.contains("nobody"), qPrintable(r.err));
        }

        QCOMPARE(readFileBytes(folder + "victim"), QByteArray("precious\n"));
        const struct stat after = statOf(lockPath);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(after.st_size, before.st_size);
    }
    void deviceLockFound_data()
    {
        const DeviceLockFound row;
        using enum otheruser::ForeignLock::Kind;
        for (const bool ordinary : {false, true}) {
            const char *who = ordinary ? "window meets permissions" : "root window";
            QTest::addRow("live holder, %s", who) << DeviceLockFound::Row{Live, 0, ordinary, false};
            QTest::addRow("live holder, a minute old, %s", who) << DeviceLockFound::Row{Live, 60, ordinary, false};
            QTest::addRow("holder gone, another user's, %s", who) << DeviceLockFound::Row{Stale, 60, ordinary, false};
            QTest::addRow("no process named, %s", who) << DeviceLockFound::Row{Unreadable, 60, ordinary, false};
            QTest::addRow("holder gone, our own: removed, %s", who) << DeviceLockFound::Row{-1, 0, ordinary, true};
        }
    }
    // The window's port on a pseudo-terminal that another program's lock file names: the
    // file is read before the device is opened, and never removed while its holder may live
    // (QSerialPort would take an old one for stale and remove it).
    void deviceLockFound()
    {
        const auto [kind, age, ordinary, opens] = DeviceLockFound::row();
        const std::optional<otheruser::Ids> nobody = otheruser::nobody();
        if (!nobody)
            QSKIP("needs root and the user nobody, who takes the device");
        int master = -1, slave = -1;
        char pts[256] = {};
        QVERIFY(::openpty(&master, &slave, pts, nullptr, nullptr) == 0);
        const auto closePty = qScopeGuard([&] {
            ::close(master);
            ::close(slave);
        });
        TempDir dir;
        const QString folder = dir.path() + u'/';
        QVERIFY(QDir(folder).mkpath("ports") && QFile::link(QString::fromLocal8Bit(pts), folder + "ports/COM1"));
        const QString lockPath = DeviceLock::pathFor(QString::fromLocal8Bit(pts));
        QVERIFY(lockPath.endsWith(QStringLiteral("/LCK..") + QString::fromLocal8Bit(pts + 5).replace(u'/', u'_')));
        otheruser::ForeignLock lock;
        if (kind >= 0)
            QVERIFY(lock.plant(*nobody, otheruser::ForeignLock::Kind(kind), lockPath));
        else
            QVERIFY(writeFileBytes(lockPath, QByteArray::number(otheruser::endedPid(*nobody)) + '\n'));
        const struct timeval old[2] = {{::time(nullptr) - age, 0}, {::time(nullptr) - age, 0}};
        QVERIFY(::lutimes(name(lockPath).constData(), old) == 0);

        std::optional<otheruser::AsOrdinaryUser> asUser;
        if (ordinary)
            QVERIFY(asUser.emplace().active());
        ComPort device(folder);
        LockedPort port(device, folder);
        port.setPortNumber(1);
        QString said;
        try {
            port.setPortOpen(true);
        } catch (const AppError &e) {
            QCOMPARE(e.code(), 8005);
            said = e.description();
        }
        QCOMPARE(port.isOpen(), opens);
        if (opens) {
            port.setPortOpen(false);
            QVERIFY(!QFileInfo::exists(lockPath));
        } else {
            QVERIFY2(said.contains(lockPath) && said.contains("nobody"), qPrintable(said));
            QVERIFY(lock.unchanged());
        }
    }
    // A holder's process the kernel will not let us signal (another user's) lives.
    void deviceLockOfAnotherUsersProcess()
    {
        const std::optional<otheruser::Ids> nobody = otheruser::nobody();
        if (!nobody)
            QSKIP("needs root and the user nobody, who looks at root's lock");
        TempDir dir;
        const QString device = dir.path() + "/device";
        const QString lockPath = DeviceLock::pathFor(device);
        const auto cleanup = qScopeGuard([&] { QFile::remove(lockPath); });
        QVERIFY(writeFileBytes(lockPath, QByteArray::number(QCoreApplication::applicationPid()) + '\n'));
        const auto state =
            otheruser::asUser(*nobody, [&] { return QByteArray::number(int(DeviceLock::check(device).state)); });
        QCOMPARE(state.value_or("none"), QByteArray::number(int(DeviceLock::State::Live)));
        QVERIFY(QFileInfo::exists(lockPath));
    }
    // A regular lock file another user made is a lock like ours: it is taken (read-only),
    // and what its maker wrote in it stays.
    void anotherUsersLockFileUsedAsFound()
    {
        const std::optional<otheruser::Ids> nobody = otheruser::nobody();
        if (!nobody)
            QSKIP("needs root and the user nobody, who makes the lock file");
        TempDir dir;
        QVERIFY(::chmod(name(dir.path()).constData(), 01777) == 0);
        const QString path = dir.path() + "/fumidori-line.lock";
        QVERIFY(otheruser::writeAs(*nobody, name(path), "fumidori-send 99\n"));
        otheruser::AsOrdinaryUser ordinary;
        QVERIFY(ordinary.active());
        {
            PortLock lock(path);
            QVERIFY(lock.tryLock());
            QVERIFY(!lock.isUnusable());
            QCOMPARE(lock.holder(), QStringLiteral("tst_locks（プロセス %1）").arg(QCoreApplication::applicationPid()));
            QCOMPARE(runTool({"-n", path, "true"}, false, "flock").exitCode, 1); // and it keeps others out
        }
        QCOMPARE(readFileBytes(path), QByteArray("fumidori-send 99\n"));
    }
    void lockFileModes_data()
    {
        const LockFileModes row;
        for (const int mask : {0, 027, 077}) {
            QTest::addRow("line lock, umask %03o", mask) << LockFileModes::Row{mask, false, 0644};
            QTest::addRow("folder lock, umask %03o", mask) << LockFileModes::Row{mask, true, 0600};
        }
    }
    // Made with the mode the lock needs (others read the line's holder; nobody else opens
    // the folder's), whatever the umask.
    void lockFileModes()
    {
        const auto [umask, folderLock, mode] = LockFileModes::row();
        TempDir dir;
        const mode_t old = ::umask(mode_t(umask));
        const auto restore = qScopeGuard([old] { ::umask(old); });
        QString path;
        if (folderLock) {
            const FolderLock lock(dir.path(), FolderLock::Exclusive, 0);
            QVERIFY(lock.isHeld());
            path = FolderLock::pathFor(dir.path());
        } else {
            path = dir.path() + "/locks/fumidori-line.lock";
            PortLock lock(path);
            QVERIFY(lock.tryLock());
        }
        QCOMPARE(int(statOf(path).st_mode & 07777), mode);
    }
    void holderShown_data()
    {
        const HolderShown row;
        row("as a holder writes it", "fumidori-send 1234\n", true);
        row("a terminal's escapes", "evil\x1b]0;title\x07 1\x1b[2J\n", true);
        row("a name forged in it", "snpp 1\nrm -rf ~\n", true);
        row("a holder killed left its name", "fumidori-send 1234\n", false);
    }
    // Who holds a line is the kernel's word (its lock table), never what the file says:
    // the file outlives a killed holder and others may write into it. A free line's lock is
    // ours to take, twice in one process, and names this program.
    void holderShown()
    {
        const auto [written, held] = HolderShown::row();
        TempDir dir;
        const QString path = dir.path() + "/fumidori-line.lock";
        QVERIFY(writeFileBytes(path, written));
        ServerProcess other;
        if (held)
            QVERIFY(holdLock(other, path));
        PortLock lock(path);
        const QString shown = lock.holder();
        QCOMPARE(shown, held ? QStringLiteral("flock（プロセス %1）").arg(other.process.processId()) : QString());
        QCOMPARE(lock.heldNow(), held);
        if (held) {
            QVERIFY(!lock.tryLock());
            QVERIFY2(lock.busyText().contains(shown), qPrintable(lock.busyText()));
            return;
        }
        QVERIFY(lock.tryLock());
        PortLock again(path);
        QVERIFY(again.tryLock());
        QCOMPARE(lock.holder(), QStringLiteral("tst_locks（プロセス %1）").arg(QCoreApplication::applicationPid()));
    }
    // A lock on the folder itself (anyone who can read it can take one) holds nothing up.
    void folderLockIsAFileOfItsOwn()
    {
        TempDir dir;
        ServerProcess other;
        QVERIFY(holdLock(other, dir.path()));
        const FolderLock lock(dir.path(), FolderLock::Exclusive, 0);
        QVERIFY(lock.isHeld());
        QCOMPARE(FolderLock::pathFor(dir.path()), dir.path() + "/locks/folder.lock");
        QVERIFY(S_ISREG(statOf(FolderLock::pathFor(dir.path())).st_mode));
        // Readers share it.
        const FolderLock reader(dir.path() + "/", FolderLock::Shared, 0);
        QVERIFY(reader.isHeld());
    }
    // Another holder is waited for a bounded time and then named; a hold inside a hold does
    // not wait again; a holder that lets go during the wait lets the waiter in.
    void folderLockWaitIsBounded()
    {
        TempDir dir;
        {
            const FolderLock make(dir.path());
        }
        const QString path = FolderLock::pathFor(dir.path());
        ServerProcess other;
        QVERIFY(holdLock(other, path));
        {
            const FolderLock lock(dir.path(), FolderLock::Exclusive, 0);
            QVERIFY(!lock.isHeld());
            QVERIFY2(lock.problem().contains(path) && lock.problem().contains("flock"), qPrintable(lock.problem()));
            QElapsedTimer clock;
            clock.start();
            const FolderLock inner(dir.path());
            QVERIFY(clock.elapsed() < 5000);
            QCOMPARE(inner.problem(), lock.problem());
        }
        {
            const FolderLock shared(dir.path(), FolderLock::Shared, 0);
            QVERIFY(!shared.isHeld()); // a writer keeps readers out
        }
        bool held = false;
        std::thread waiter([&] { held = FolderLock(dir.path(), FolderLock::Exclusive, 20000).isHeld(); });
        other.process.kill();
        waiter.join();
        QVERIFY(held);
    }
    void folderLockFileUnusable_data()
    {
        const FolderLockFileUnusable row;
        row("link to a file of ours", int(Plant::Symlink));
        row("named pipe", int(Plant::Fifo));
        row("folder", int(Plant::Folder));
    }
    // fumidori-send answers "busy" (3) at once, naming the lock file, and follows no link.
    void folderLockFileUnusable()
    {
        const auto [plant] = FolderLockFileUnusable::row();
        TempDir dir;
        const QString folder = makeSendFolder(dir.path());
        QVERIFY(!folder.isEmpty());
        QVERIFY(writeFileBytes(folder + "victim", "precious\n"));
        const QByteArray path = name(FolderLock::pathFor(folder));
        QVERIFY(QDir().mkpath(folder + "locks"));
        QVERIFY(otheruser::make(Plant(plant), path, name(folder + "victim")));
        const ToolRun r = runTool({"--folder", folder, "--to", "R", "X"}, false);
        QVERIFY2(r.ended, "still running: the lock file was waited on");
        QVERIFY2(r.exitCode == 3, qPrintable(QString::number(r.exitCode) + ": " + r.err));
        QVERIFY2(r.err.contains(QString::fromLocal8Bit(path)), qPrintable(r.err));
        QCOMPARE(readFileBytes(folder + "victim"), QByteArray("precious\n"));
    }
};

QTEST_GUILESS_MAIN(tst_Locks)
#include "tst_locks.moc"
