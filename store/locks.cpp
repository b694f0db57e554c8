#include "store/locks.h"

#include "store/filestore.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pwd.h>
#include <shared_mutex>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace
{

constexpr int OpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

int lockWithRetry(int fd, int operation)
{
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Text another user may have written, fit to be shown: one line, no control or
// direction-changing characters, at most 100 characters.
QString printable(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == u'\n' || c == u'\r')
            break;
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            continue;
        default:
            out += c;
        }
    }
    return out.trimmed().left(100);
}

QString userName(uid_t uid)
{
    if (const passwd *pw = ::getpwuid(uid))
        return printable(QString::fromLocal8Bit(pw->pw_name));
    return QString::number(uid);
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

struct Opened {
    int fd = -1;
    QString problem;      // why there is no fd
    bool lasting = false; // the file is no regular file: no holder ending clears that
};

// Opens the lock file, making it with the given mode when it is missing. Nothing found
// there is followed or waited on: a link, a pipe, a folder, a file that cannot be opened
// come back as a problem.
Opened openLockFile(const QString &path, mode_t mode)
{
    const QByteArray name = QFile::encodeName(path);
    // A file removed between the two opens is made again; a few rounds are plenty.
    for (int round = 0; round < 3; ++round) {
        int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | OpenFlags, mode);
        if (fd >= 0) {
            ::fchmod(fd, mode); // the mode asked for, whatever the umask
            return {fd, {}};
        }
        if (errno != EEXIST)
            return {-1, QStringLiteral("を作れません（%1）").arg(errorText(errno))};
        fd = ::open(name.constData(), O_RDWR | OpenFlags);
        if (fd < 0 && (errno == EACCES || errno == EROFS)) // another user's: it can be locked read-only
            fd = ::open(name.constData(), O_RDONLY | OpenFlags);
        if (fd < 0 && errno == ENOENT)
            continue;
        const int openError = errno;
        struct stat st = {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            return {fd, {}};
        if (fd >= 0)
            ::close(fd);
        else if (::lstat(name.constData(), &st) != 0)
            return {-1, QStringLiteral("を開けません（%1）").arg(errorText(openError))};
        if (S_ISREG(st.st_mode))
            return {-1, QStringLiteral("を開けません（%1）").arg(errorText(openError))};
        return {-1, u'は' + filestore::notRegularText(st.st_mode), true};
    }
    return {-1, QStringLiteral("が作るそばから消されます")};
}

// A watch that reports each close of the file (the moment a holder may have let go);
// -1 when none can be set.
int watchCloses(const QString &path, int flags)
{
    const int fd = ::inotify_init1(IN_CLOEXEC | flags);
    if (fd < 0)
        return -1;
    if (::inotify_add_watch(fd, QFile::encodeName(path).constData(),
                            IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_DONT_FOLLOW) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Takes the lock, waiting at most waitMs for a holder to let go.
bool lockWithin(int fd, const QString &path, int operation, int waitMs)
{
    if (lockWithRetry(fd, operation | LOCK_NB) == 0)
        return true;
    if (waitMs <= 0)
        return false;
    const QDeadlineTimer deadline(waitMs);
    const int watch = watchCloses(path, 0);
    bool held = false;
    // The watch comes before each try, so a holder that lets go in between is seen.
    while (!(held = lockWithRetry(fd, operation | LOCK_NB) == 0) && !deadline.hasExpired() && watch >= 0) {
        pollfd p = {watch, POLLIN, 0};
        const int left = int(qMin<qint64>(deadline.remainingTime(), std::numeric_limits<int>::max()));
        if (::poll(&p, 1, left) > 0) {
            char events[4096];
            [[maybe_unused]] const ssize_t n = ::read(watch, events, sizeof events);
        }
    }
    if (watch >= 0)
        ::close(watch);
    return held;
}

// The program the kernel names as holding a lock on the file (from /proc/locks), as
// "name (process id)"; empty when none is found.
QString kernelHolder(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return {};
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(quint64(st.st_ino));
    // On a layered file system the kernel may name the inode's own device: the inode
    // alone is the next best match.
    const QByteArray inode = ':' + QByteArray::number(quint64(st.st_ino));
    qint64 pid = 0;
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // "1: FLOCK ADVISORY WRITE pid maj:min:inode 0 EOF"; a waiter's line has "->" second.
        if (fields.size() < 6 || fields[1] == "->" || fields[4].toLongLong() <= 0)
            continue;
        if (fields[5] == file) {
            pid = fields[4].toLongLong();
            break;
        }
        if (fields[5].endsWith(inode) && pid == 0)
            pid = fields[4].toLongLong();
    }
    if (pid == 0)
        return {};
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    const QString name = comm.open(QIODevice::ReadOnly) ? printable(QString::fromUtf8(comm.readLine(64))) : QString();
    return name.isEmpty() ? QStringLiteral("プロセス %1").arg(pid)
                          : QStringLiteral("%1（プロセス %2）").arg(name).arg(pid);
}

QString ownerOf(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return userName(st.st_uid);
}

// "The lock file P (owner U)": the start of every message about one.
QString lockFileNamed(const QString &path)
{
    const QString owner = ownerOf(path);
    return owner.isEmpty() ? QStringLiteral("ロックファイル %1").arg(path)
                           : QStringLiteral("ロックファイル %1（持ち主 %2）").arg(path, owner);
}

// The lines this process holds: the kernel would refuse the process a second hold of
// its own lock through another open of the file, so holds are counted here.
struct HeldLine {
    int fd = -1;
    int holds = 0;
};

QHash<QString, HeldLine> &heldLines()
{
    static QHash<QString, HeldLine> lines;
    return lines;
}

// The folders this process is working in: a hold inside a hold shares the outer one's
// answer, without a second wait.
struct HeldFolder {
    int holds = 0;
    bool held = false;
    QString problem;
    std::shared_timed_mutex *turn = nullptr; // taken by the outer hold (folderTurn)
    bool shared = false;
};

// The threads of this process take a folder in turn here before they ask the kernel, so
// that one waiting for another thread sleeps on a mutex and is handed the folder the moment
// it is let go, rather than watching the lock file for closes (an inotify watch made and
// dropped each time: under a storm of requests that was most of a request's wait).
std::shared_timed_mutex &folderTurn(const QString &folder)
{
    static std::mutex guard;
    static QHash<QString, std::shared_ptr<std::shared_timed_mutex>> turns;
    const std::lock_guard lock(guard);
    std::shared_ptr<std::shared_timed_mutex> &turn = turns[folder];
    if (!turn)
        turn = std::make_shared<std::shared_timed_mutex>();
    return *turn;
}

// Counted per thread: a hold of one thread covers that thread's nested holds only, and
// another thread (the HTTP listener's beside the runner's) takes the lock for itself.
QHash<QString, HeldFolder> &heldFolders()
{
    thread_local QHash<QString, HeldFolder> folders;
    return folders;
}

QDeadlineTimer &waitLimit()
{
    thread_local QDeadlineTimer limit(QDeadlineTimer::Forever);
    return limit;
}

} // namespace

FolderLock::WaitLimit::WaitLimit(int ms) : m_outer(waitLimit())
{
    waitLimit() = std::min(m_outer, QDeadlineTimer(ms));
}

FolderLock::WaitLimit::~WaitLimit()
{
    waitLimit() = m_outer;
}

FolderLock::FolderLock(const QString &folder, Mode mode, int waitMs) : m_folder(QDir::cleanPath(folder))
{
    waitMs = int(std::min<qint64>(waitMs, waitLimit().remainingTime() < 0 ? waitMs : waitLimit().remainingTime()));
    HeldFolder &hold = heldFolders()[m_folder];
    if (hold.holds++ > 0)
        return;
    m_outer = true;
    const QByteArray name = QFile::encodeName(m_folder);
    struct stat st = {};
    // A folder that is not there cannot be read or written either: the file work says so.
    if (::stat(name.constData(), &st) != 0 && errno == ENOENT) {
        hold.held = true;
        return;
    }
    const QString path = pathFor(m_folder);
    const QDeadlineTimer deadline(std::max(waitMs, 0));
    std::shared_timed_mutex &turn = folderTurn(m_folder);
    const auto within = std::chrono::milliseconds(std::max(waitMs, 0));
    if (mode == Shared ? turn.try_lock_shared_for(within) : turn.try_lock_for(within)) {
        hold.turn = &turn;
        hold.shared = mode == Shared;
        Opened opened = openLockFile(path, 0600);
        if (opened.fd < 0 && ::mkdir(QFile::encodeName(m_folder + QStringLiteral("/locks")).constData(), 0755) == 0)
            opened = openLockFile(path, 0600); // the first lock of the folder
        if (opened.fd < 0) {
            hold.problem = lockFileNamed(path) + opened.problem + u'。';
            return;
        }
        m_fd = opened.fd;
        if (lockWithin(m_fd, path, mode == Shared ? LOCK_SH : LOCK_EX, int(deadline.remainingTime()))) {
            hold.held = true;
            return;
        }
    }
    const QString holder = kernelHolder(path);
    hold.problem = QStringLiteral("%1を%2が持ったまま、%3 秒たっても放しません。")
                       .arg(lockFileNamed(path), holder.isEmpty() ? QStringLiteral("ほかのプログラム") : holder)
                       .arg(waitMs / 1000.0);
}

FolderLock::~FolderLock()
{
    QHash<QString, HeldFolder> &folders = heldFolders();
    HeldFolder &hold = folders[m_folder];
    std::shared_timed_mutex *turn = m_outer ? std::exchange(hold.turn, nullptr) : nullptr;
    const bool shared = hold.shared;
    if (--hold.holds == 0)
        folders.remove(m_folder);
    if (m_fd >= 0) // the kernel's lock first, then the next thread's turn
        ::close(m_fd);
    if (turn && shared)
        turn->unlock_shared();
    else if (turn)
        turn->unlock();
}

QString FolderLock::pathFor(const QString &folder)
{
    return QDir::cleanPath(folder) + QStringLiteral("/locks/folder.lock");
}

bool FolderLock::isHeld() const
{
    return heldFolders().value(m_folder).held;
}

QString FolderLock::problem() const
{
    return heldFolders().value(m_folder).problem;
}

QString PortLock::pathFor(const QString &device, const QString &dataFolder)
{
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name = QStringLiteral("fumidori-") + name + QStringLiteral(".lock");
    const QString runLock = QStringLiteral("/run/lock");
    if (::access(QFile::encodeName(runLock).constData(), W_OK | X_OK) == 0)
        return runLock + QLatin1Char('/') + name;
    return dataFolder + QStringLiteral("locks/") + name;
}

PortLock::PortLock(QString path) : m_path(std::move(path)) {}

PortLock::~PortLock()
{
    unlock();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool PortLock::tryLock(int waitMs)
{
    if (m_held)
        return true;
    QHash<QString, HeldLine> &lines = heldLines();
    if (auto it = lines.find(m_path); it != lines.end()) {
        ++it->holds;
        m_held = true;
        return true;
    }
    m_problem.clear();
    m_lasting = false;
    // The file stays open between tries: closing it would wake every other waiter.
    if (m_fd < 0) {
        QDir().mkpath(QFileInfo(m_path).path());
        Opened opened = openLockFile(m_path, 0644);
        if (opened.fd < 0) {
            m_problem = opened.problem;
            m_lasting = opened.lasting;
            return false;
        }
        m_fd = opened.fd;
    }
    if (!lockWithin(m_fd, m_path, LOCK_EX, waitMs))
        return false;
    const int fd = std::exchange(m_fd, -1);
    lines.insert(m_path, {fd, 1});
    m_held = true;
    // The holder's name goes into a file of our own only: another user's stays as it is.
    struct stat st = {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && ::ftruncate(fd, 0) == 0) {
        const QByteArray who = QCoreApplication::applicationName().toUtf8() + ' ' +
                               QByteArray::number(QCoreApplication::applicationPid()) + '\n';
        [[maybe_unused]] const ssize_t n = ::pwrite(fd, who.constData(), size_t(who.size()), 0);
    }
    return true;
}

bool PortLock::markCheck()
{
    if (!m_held || m_checkFd >= 0)
        return m_checkFd >= 0;
    const Opened opened = openLockFile(m_path + QStringLiteral(".check"), 0644);
    if (opened.fd < 0)
        return false;
    if (lockWithRetry(opened.fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(opened.fd);
        return false;
    }
    m_checkFd = opened.fd;
    return true;
}

bool PortLock::heldForCheck(const QString &path)
{
    const QString holder = kernelHolder(path);
    return !holder.isEmpty() && holder == kernelHolder(path + QStringLiteral(".check"));
}

void PortLock::unlock()
{
    if (m_checkFd >= 0)
        ::close(std::exchange(m_checkFd, -1));
    if (!m_held)
        return;
    m_held = false;
    QHash<QString, HeldLine> &lines = heldLines();
    auto it = lines.find(m_path);
    if (it == lines.end() || --it->holds > 0)
        return;
    // Closing lets the lock go, and is what a waiter's inotify watch sees.
    if (it->fd >= 0)
        ::close(it->fd);
    lines.erase(it);
}

QString PortLock::holder() const
{
    // From the kernel's lock table alone: what the file says outlives its writer (a
    // holder killed leaves its name in it) and anyone who may write the file can forge it.
    return kernelHolder(m_path);
}

bool PortLock::heldNow() const
{
    return m_held || !kernelHolder(m_path).isEmpty();
}

QString PortLock::busyText() const
{
    if (isUnusable())
        return lockFileNamed(m_path) + m_problem + u'。';
    const QString who = holder();
    return QStringLiteral("%1を%2が持っています。")
        .arg(lockFileNamed(m_path), who.isEmpty() ? QStringLiteral("ほかのプログラム") : who);
}

QString DeviceLock::pathFor(const QString &device)
{
    // The folders QSerialPort looks in, in its order: the first it may read that holds the
    // file or that it may write is the one it uses.
    static const char *const folders[] = {"/var/lock", "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
                                          "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"};
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    name.prepend(QStringLiteral("/LCK.."));
    for (const char *folder : folders) {
        const QByteArray dir(folder);
        const QString path = QString::fromLatin1(folder) + name;
        struct stat st = {};
        if (::access(dir.constData(), R_OK) == 0 &&
            (::lstat(QFile::encodeName(path).constData(), &st) == 0 || ::access(dir.constData(), W_OK) == 0))
            return path;
    }
    return {};
}

DeviceLock DeviceLock::check(const QString &device)
{
    DeviceLock lock;
    lock.path = pathFor(device);
    if (lock.path.isEmpty())
        return lock;
    const QByteArray name = QFile::encodeName(lock.path);
    const int fd = ::open(name.constData(), O_RDONLY | OpenFlags);
    const int openError = errno;
    struct stat st = {};
    if (fd < 0 && ::lstat(name.constData(), &st) != 0)
        return lock; // no file: free
    const QString file = lockFileNamed(lock.path);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        if (fd >= 0 || !S_ISREG(st.st_mode)) {
            lock.state = State::Wrong;
            lock.text = file + u'は' + filestore::notRegularText(st.st_mode) + u'。';
        } else {
            lock.state = State::Unknown;
            lock.text = file + QStringLiteral("を読めません（%1）。").arg(errorText(openError));
        }
        return lock;
    }
    // "      1234\n" (UUCP), "1234\nprogram\nhost\n" (QLockFile), or the pid as 4 bytes.
    char buffer[128];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    const QByteArray content(buffer, qMax<ssize_t>(n, 0));
    bool ok = false;
    lock.pid = content.left(content.indexOf('\n')).trimmed().toLongLong(&ok);
    if (!ok && content.size() == 4) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), 4);
        lock.pid = binary;
        ok = true;
    }
    if (!ok || lock.pid <= 0 || lock.pid > std::numeric_limits<pid_t>::max()) {
        lock.pid = 0;
        lock.state = State::Unknown;
        lock.text = file + QStringLiteral("にプロセス番号がありません。");
        return lock;
    }
    if (::kill(pid_t(lock.pid), 0) == 0 || errno == EPERM) {
        lock.state = State::Live;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(lock.pid));
        const QString program =
            comm.open(QIODevice::ReadOnly) ? printable(QString::fromUtf8(comm.readLine(64))) : QString();
        lock.text = QStringLiteral("%1をプロセス %2%3が持っています。")
                        .arg(file)
                        .arg(lock.pid)
                        .arg(program.isEmpty() ? QString() : QStringLiteral("（%1）").arg(program));
        return lock;
    }
    // Its process is gone. A file of this user's is removed (QSerialPort would take it for
    // stale as well); another user's is left for him or the administrator to remove.
    if (st.st_uid == ::geteuid() && ::unlink(name.constData()) == 0)
        return {State::Free, lock.path, 0, {}};
    lock.state = State::Stale;
    lock.text = QStringLiteral("%1のプロセス %2 はもうありません。持ち主か管理者が消すまで回線を使えません。")
                    .arg(file)
                    .arg(lock.pid);
    return lock;
}

PortLockWaiter::PortLockWaiter(PortLock &lock, QString device, QObject *parent)
    : QObject(parent), m_lock(lock), m_device(std::move(device))
{
}

PortLockWaiter::~PortLockWaiter()
{
    cancel();
}

void PortLockWaiter::start(qint64 timeoutMs, Problems problems)
{
    cancel();
    m_active = true;
    m_problems = problems;
    m_stuck = false;
    // The folders are watched before the first try, so that a holder that lets go in
    // between is seen.
    m_inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const QString lockName = QFileInfo(m_lock.path()).fileName();
    const QString devicePath = m_device.isEmpty() ? QString() : DeviceLock::pathFor(m_device);
    const QString deviceName = QFileInfo(devicePath).fileName();
    constexpr uint32_t Changes = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE |
                                 IN_CLOSE_NOWRITE | IN_ONLYDIR;
    if (m_inotify >= 0) {
        for (const QString &path : {m_lock.path(), devicePath}) {
            if (!path.isEmpty())
                ::inotify_add_watch(m_inotify, QFile::encodeName(QFileInfo(path).path()).constData(), Changes);
        }
        m_notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this, lockName, deviceName] {
            alignas(inotify_event) char events[4096];
            bool relevant = false;
            for (ssize_t n; (n = ::read(m_inotify, events, sizeof events)) > 0;) {
                for (const char *p = events; p < events + n;) {
                    const auto *e = reinterpret_cast<const inotify_event *>(p);
                    p += sizeof(inotify_event) + e->len;
                    const QString name = e->len ? QFile::decodeName(e->name) : QString();
                    const bool closed = e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
                    // A close of ours tells a holder let go; of a file that cannot be used,
                    // only our own try closing it. The device's lock file is read at each
                    // try: only its making, removal or change count.
                    if (name == lockName)
                        relevant |= !closed || !m_lock.isUnusable();
                    else if (name == deviceName)
                        relevant |= !(e->mask & IN_CLOSE_NOWRITE);
                }
            }
            if (relevant)
                attempt();
        });
    }
    if (timeoutMs >= 0) {
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, [this] {
            cancel();
            emit timedOut();
        });
        m_timer->start(int(qMin<qint64>(timeoutMs, std::numeric_limits<int>::max())));
    }
    QTimer::singleShot(0, this, &PortLockWaiter::attempt);
}

// The device's holder watched by a pidfd: readable once the process has ended.
void PortLockWaiter::watchHolder(qint64 pid)
{
    if (pid == m_pid)
        return;
    if (m_holder) {
        m_holder->setEnabled(false);
        m_holder->deleteLater();
        m_holder = nullptr;
    }
    if (m_pidfd >= 0)
        ::close(m_pidfd);
    m_pid = pid;
    m_pidfd = pid > 0 ? int(::syscall(SYS_pidfd_open, pid_t(pid), 0)) : -1;
    if (m_pidfd < 0)
        return; // gone already (the next try sees it), or no pidfd: the folder's watch is left
    m_holder = new QSocketNotifier(m_pidfd, QSocketNotifier::Read, this);
    connect(m_holder, &QSocketNotifier::activated, this, [this] {
        m_holder->setEnabled(false);
        attempt();
    });
}

void PortLockWaiter::attempt()
{
    if (!m_active)
        return;
    // The device's lock first: ours is not taken (nor let go, which would wake us) while
    // another program has the device.
    m_deviceLock = m_device.isEmpty() ? DeviceLock{} : DeviceLock::check(m_device);
    watchHolder(m_deviceLock.state == DeviceLock::State::Live ? m_deviceLock.pid : 0);
    bool lasting = m_deviceLock.lasts();
    if (m_deviceLock.isFree()) {
        if (m_lock.tryLock()) {
            cancel();
            emit acquired();
            return;
        }
        lasting = m_lock.problemLasts();
        if (m_lock.isUnusable() && m_problems == Problems::End) {
            cancel();
            emit timedOut();
            return;
        }
    }
    if (lasting && !m_stuck)
        emit stuck(busyText());
    m_stuck = lasting;
}

QString PortLockWaiter::busyText() const
{
    return m_deviceLock.isFree() ? m_lock.busyText() : m_deviceLock.text;
}

void PortLockWaiter::cancel()
{
    m_active = false;
    // Any may be the sender of the signal being handled: deleted once that returns.
    for (QObject *o :
         {static_cast<QObject *>(m_notifier), static_cast<QObject *>(m_holder), static_cast<QObject *>(m_timer)}) {
        if (auto *n = qobject_cast<QSocketNotifier *>(o))
            n->setEnabled(false);
        if (auto *t = qobject_cast<QTimer *>(o))
            t->stop();
        if (o)
            o->deleteLater();
    }
    m_notifier = nullptr;
    m_holder = nullptr;
    m_timer = nullptr;
    if (m_inotify >= 0)
        ::close(m_inotify);
    if (m_pidfd >= 0)
        ::close(m_pidfd);
    m_inotify = -1;
    m_pidfd = -1;
    m_pid = 0;
}
