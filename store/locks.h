#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <memory>

class QSocketNotifier;
class QTimer;

// The locks between the programs that share a data folder and a line (the window,
// fumidori-send, a queue runner). All are flock(2) locks: the kernel lets one go when
// its holder closes it or ends, however it ends, so a crash never leaves a lock behind.
//
// A lock file may stand where other users can write (/run/lock), so none is trusted as
// found: it is opened without following a link and without blocking, and must be a
// regular file. One that cannot be opened or is of another kind keeps the lock busy (it
// is never taken to be held); its content is replaced only when the file is ours.

// The short lock on a data folder, on the file locks/folder.lock inside it (readable by
// its owner alone), around reading and replacing the settings and history files. A
// holder keeps it only for the file work, never across a call. Waits at most waitMs for
// another holder; a hold inside a hold of the same process is granted at once.
class FolderLock
{
public:
    enum Mode { Shared, Exclusive };
    static constexpr int DefaultWaitMs = 10000;

    explicit FolderLock(const QString &folder, Mode mode = Exclusive, int waitMs = DefaultWaitMs);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    static QString pathFor(const QString &folder);

    // While one lives, the waits of every FolderLock of its thread end by its deadline, all
    // of them together: for a request that must be answered in time however many holds it
    // takes. One inside another keeps the earlier deadline.
    class WaitLimit
    {
    public:
        explicit WaitLimit(int ms);
        ~WaitLimit();
        WaitLimit(const WaitLimit &) = delete;
        WaitLimit &operator=(const WaitLimit &) = delete;

    private:
        QDeadlineTimer m_outer;
    };

    // Whether the file work may go on: the lock is held, or the folder does not exist (the
    // file work reports that itself).
    bool isHeld() const;
    // Why not: who holds it, or what is wrong with the lock file. Empty when held.
    QString problem() const;

private:
    QString m_folder;
    int m_fd = -1;
    bool m_outer = false; // this object took the lock (not a hold inside a hold)
};

// The lock of one line, named after the device itself (a ports/COMn link resolved), so
// two folders whose links reach one device share it. Held by the window from the
// centre call to the hang-up and by fumidori-send for its call. Within one process a
// second hold of a held line is granted (the kernel would refuse it to the process).
class PortLock
{
public:
    // The lock file of a device: in /run/lock when that folder can be written, else in
    // the data folder's locks/.
    static QString pathFor(const QString &device, const QString &dataFolder);

    explicit PortLock(QString path);
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    const QString &path() const { return m_path; }
    // Takes the lock, waiting at most waitMs for a holder to let go (0: not at all); true
    // when this object holds it.
    bool tryLock(int waitMs = 0);
    void unlock();
    // Marks the hold as a short check of the idle line (a lock on "<path>.check" beside it,
    // held until unlock()): a program that finds the line held by a check may wait
    // CheckWaitMs for it instead of refusing. False when the mark could not be made.
    bool markCheck();
    // Whether the line's holder holds it for a check, as the kernel's lock table tells
    // (both locks held by one process; never from the files' contents).
    static bool heldForCheck(const QString &path);
    static constexpr int CheckWaitMs = 3000;
    bool isLocked() const { return m_held; }
    // The last try failed because the lock file cannot be used (made, opened, or not a
    // regular file): waiting for a holder to let go is no use then.
    bool isUnusable() const { return !m_problem.isEmpty(); }
    // It cannot be used because it is no regular file (a pipe, a link, a folder): no holder
    // ending clears that, only someone removing it.
    bool problemLasts() const { return m_lasting; }
    // Who holds it, as the kernel's lock table names it ("fumidori-send（プロセス 1234）"),
    // never from the file's contents; empty when nobody does.
    QString holder() const;
    // Whether some process holds the lock now, as the kernel tells (nothing is taken).
    bool heldNow() const;
    // Why the last try failed, for a message: the lock file, its owner, and who holds it
    // or what is wrong with the file.
    QString busyText() const;

private:
    QString m_path;
    int m_fd = -1;      // the file, open while not yet held
    int m_checkFd = -1; // the check's mark, while held
    bool m_held = false;
    QString m_problem; // why the file cannot be used; empty when it can
    bool m_lasting = false;
};

// The lock other programs on the machine take on a serial device (minicom, cu, a
// QSerialPort of another program): a UUCP-style file LCK..NAME in the first of the
// system's lock folders QSerialPort would use, holding the holder's process id. Read here
// before any open of the device: QSerialPort itself takes a file without its own format
// for stale and removes it, whether its holder lives or not.
struct DeviceLock {
    enum class State {
        Free,    // no file (a stale one of this user's was removed)
        Live,    // its process lives (kill(pid, 0) succeeds or is refused)
        Stale,   // its process is gone, and the file is another user's: never clears by itself
        Unknown, // a file that cannot be read or names no process: it may be a holder's
        Wrong,   // not a regular file: never clears by itself
    };
    State state = State::Free;
    QString path;
    qint64 pid = 0;
    QString text; // the file, its owner and its holder or what is wrong; empty when free

    // The lock file of a device as QSerialPort names it (the device's path without /dev/,
    // slashes as underscores).
    static QString pathFor(const QString &device);
    static DeviceLock check(const QString &device);

    bool isFree() const { return state == State::Free; }
    // Held by nothing that can end: someone has to remove the file.
    bool lasts() const { return state == State::Stale || state == State::Wrong; }
};

// Waits for a port lock, and for the device's lock of other programs when a device is
// given, without polling: inotify on the folders of the two lock files reports each close
// of ours (a holder lets go by closing it, or by ending) and each file made, removed or
// replaced; a pidfd reports the end of the device lock's holder. Each is a moment to try.
class PortLockWaiter : public QObject
{
    Q_OBJECT
public:
    explicit PortLockWaiter(PortLock &lock, QString device = {}, QObject *parent = nullptr);
    ~PortLockWaiter() override;

    enum class Problems {
        End,  // a lock file that cannot be used ends the wait at once (timedOut)
        Wait, // it is waited out too, until someone removes or replaces it
    };
    // Emits acquired() once the lock is held and the device's is free, or timedOut() after
    // timeoutMs (negative: never). When both are free now, acquired() comes from the event
    // loop all the same.
    void start(qint64 timeoutMs, Problems problems = Problems::End);
    void cancel();
    // What keeps the line now: the text of the device's lock or of ours.
    QString busyText() const;

signals:
    void acquired();
    void timedOut();
    // A lock that never clears by itself was found (once for each time it appears).
    void stuck(const QString &why);

private:
    void attempt();
    void watchHolder(qint64 pid);

    PortLock &m_lock;
    QString m_device;
    DeviceLock m_deviceLock;
    Problems m_problems = Problems::End;
    bool m_active = false;
    bool m_stuck = false;
    int m_inotify = -1;
    int m_pidfd = -1;
    qint64 m_pid = 0;
    QSocketNotifier *m_notifier = nullptr;
    QSocketNotifier *m_holder = nullptr;
    QTimer *m_timer = nullptr;
};
