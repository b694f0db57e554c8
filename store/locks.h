#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QSocketNotifier;
class QTimer;

// The locks between the programs that share a data folder and a line (the window,
// fumidori-send, a queue runner). All are flock(2) locks: the kernel lets one go when
// its holder closes it or ends, however it ends, so a crash never leaves a lock behind.

// A short lock on a data folder, taken on the folder itself (no file of its own),
// around reading and replacing the settings and history files. Blocks until held; a
// holder keeps it only for the file work, never across a call. A hold inside a hold of
// the same process is granted at once.
class FolderLock
{
public:
    enum Mode { Shared, Exclusive };
    explicit FolderLock(const QString &folder, Mode mode = Exclusive);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

private:
    QString m_folder;
    int m_fd = -1;
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
    // Who holds it, as the holder wrote it ("fumidori-send 1234"); empty when unknown.
    QString holder() const;

private:
    QString m_path;
    int m_fd = -1; // the file, open while not yet held
    bool m_held = false;
};

// Waits for a port lock without polling: inotify reports every close of the lock file
// (a holder lets go by closing it, or by ending), and each close is a moment to try.
class PortLockWaiter : public QObject
{
    Q_OBJECT
public:
    explicit PortLockWaiter(PortLock &lock, QObject *parent = nullptr);
    ~PortLockWaiter() override;

    // Emits acquired() once the lock is held, or timedOut() after timeoutMs (negative: never).
    // When the lock is free now, acquired() comes from the event loop all the same.
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
