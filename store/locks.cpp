#include "store/locks.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace
{

int lockWithRetry(int fd, int operation)
{
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
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

int openLockFile(const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) // made by another user: a read-only open can be locked as well
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    return fd;
}

// Counted per thread: a hold of one thread covers that thread's nested holds only, and
// another thread (the HTTP listener's beside the runner's) takes the lock for itself.
QHash<QString, int> &heldFolders()
{
    thread_local QHash<QString, int> folders;
    return folders;
}

} // namespace

FolderLock::FolderLock(const QString &folder, Mode mode) : m_folder(QDir::cleanPath(folder))
{
    // Held already by this process (a save inside a save): the outer hold covers it.
    if (heldFolders()[m_folder]++ > 0)
        return;
    m_fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A folder that cannot be opened cannot be read or written either: the file work says so.
    if (m_fd >= 0 && lockWithRetry(m_fd, mode == Shared ? LOCK_SH : LOCK_EX) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

FolderLock::~FolderLock()
{
    if (--heldFolders()[m_folder] == 0)
        heldFolders().remove(m_folder);
    if (m_fd >= 0)
        ::close(m_fd);
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

bool PortLock::tryLock()
{
    if (m_held)
        return true;
    QHash<QString, HeldLine> &lines = heldLines();
    if (auto it = lines.find(m_path); it != lines.end()) {
        ++it->holds;
        m_held = true;
        return true;
    }
    // The file stays open between tries: closing it would wake every other waiter.
    if (m_fd < 0)
        m_fd = openLockFile(m_path);
    // No lock file can be made where the data folder itself is not writable; the line
    // is not kept from anyone then, as before these locks.
    if (m_fd >= 0 && lockWithRetry(m_fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    const int fd = std::exchange(m_fd, -1);
    lines.insert(m_path, {fd, 1});
    m_held = true;
    if (fd >= 0 && ::ftruncate(fd, 0) == 0) {
        const QByteArray who = QCoreApplication::applicationName().toUtf8() + ' ' +
                               QByteArray::number(QCoreApplication::applicationPid()) + '\n';
        [[maybe_unused]] const ssize_t n = ::pwrite(fd, who.constData(), size_t(who.size()), 0);
    }
    return true;
}

void PortLock::unlock()
{
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
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine(200)).trimmed();
}

PortLockWaiter::PortLockWaiter(PortLock &lock, QObject *parent) : QObject(parent), m_lock(lock) {}

PortLockWaiter::~PortLockWaiter()
{
    cancel();
}

void PortLockWaiter::start(qint64 timeoutMs)
{
    cancel();
    m_active = true;
    // The file must exist to be watched: one try makes it. The watch comes before the
    // second try, so a holder that lets go in between is seen.
    if (!m_lock.tryLock()) {
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify >= 0 && ::inotify_add_watch(m_inotify, QFile::encodeName(m_lock.path()).constData(),
                                                  IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) >= 0) {
            m_notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, [this] {
                char events[4096];
                while (::read(m_inotify, events, sizeof events) > 0) {
                }
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
    }
    QTimer::singleShot(0, this, &PortLockWaiter::attempt);
}

void PortLockWaiter::attempt()
{
    if (!m_active || !m_lock.tryLock())
        return;
    cancel();
    emit acquired();
}

void PortLockWaiter::cancel()
{
    m_active = false;
    // Either may be the sender of the signal being handled: deleted once that returns.
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_timer) {
        m_timer->stop();
        m_timer->deleteLater();
        m_timer = nullptr;
    }
    if (m_inotify >= 0)
        ::close(m_inotify);
    m_inotify = -1;
}
