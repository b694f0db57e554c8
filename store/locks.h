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
    // Takes the lock without waiting; true when this object holds it.
    bool tryLock();
    void unlock();
    bool isLocked() const { return m_held; }
    // The last try failed because the lock file cannot be used (made, opened, or not a
    // regular file): waiting for a holder to let go is no use then.
    bool isUnusable() const { return !m_problem.isEmpty(); }
    // Who holds it, as the holder wrote it ("fumidori-send 1234") with control characters
    // left out, else the program the kernel names as holding it; empty when unknown.
    QString holder() const;
    // Whether some process holds the lock now, as the kernel tells (nothing is taken).
    bool heldNow() const;
    // Why the last try failed, for a message: the lock file, its owner, and who holds it
    // or what is wrong with the file.
    QString busyText() const;

private:
    QString m_path;
    int m_fd = -1; // the file, open while not yet held
    bool m_held = false;
    QString m_problem; // why the file cannot be used; empty when it can
};

// Waits for a port lock without polling: inotify reports every close of the lock file
// (a holder lets go by closing it, or by ending), and each close is a moment to try.
// A lock file that cannot be used ends the wait at once.
class PortLockWaiter : public QObject
{
    Q_OBJECT
public:
    explicit PortLockWaiter(PortLock &lock, QObject *parent = nullptr);
    ~PortLockWaiter() override;

    // Emits acquired() once the lock is held, or timedOut() after timeoutMs (negative: never)
    // or as soon as the lock file turns out unusable. When the lock is free now, acquired()
    // comes from the event loop all the same.
    void start(qint64 timeoutMs);
    void cancel();

signals:
    void acquired();
    void timedOut();

private:
    void attempt();

    PortLock &m_lock;
    bool m_active = false;
    int m_inotify = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_timer = nullptr;
};
