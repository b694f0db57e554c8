#include "ptyline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyLine::PtyLine(const QString &folder, int port) : m_folder(folder), m_port(port) {}

PtyLine::~PtyLine()
{
    close();
    const QFileInfo link(linkPath());
    if (link.isSymLink() && link.symLinkTarget() == m_device)
        QFile::remove(linkPath());
}

QString PtyLine::linkPath() const
{
    return QDir(m_folder).filePath(QStringLiteral("ports/COM%1").arg(m_port));
}

// Opens a fresh line and points the link at it in one step (a new link renamed over
// the old), so a program opening the port never finds the link pointing nowhere.
// The line it replaces, if any, is closed after that.
bool PtyLine::open(QString *error)
{
    const QString link = linkPath();
    const QFileInfo old(link);
    // Only a link to a pseudo-terminal (an earlier simulator's) is replaced: a link to
    // a real modem is the user's.
    if (old.exists() && (!old.isSymLink() || !old.symLinkTarget().startsWith(QLatin1String("/dev/pts/")))) {
        *error = link + QStringLiteral(" is in use for another device");
        return false;
    }
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0) {
        *error = QStringLiteral("openpty: ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    QDir(m_folder).mkpath(QStringLiteral("ports"));
    const QByteArray fresh = QFile::encodeName(link + QStringLiteral(".new"));
    ::unlink(fresh.constData());
    if (::symlink(name, fresh.constData()) != 0 || ::rename(fresh.constData(), QFile::encodeName(link)) != 0) {
        *error = QStringLiteral("cannot link ") + link;
        ::close(master);
        ::close(slave);
        return false;
    }
    close();
    m_master = master;
    m_slave = slave;
    m_device = QString::fromLocal8Bit(name);
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch >= 0 && ::inotify_add_watch(m_watch, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(m_watch);
        m_watch = -1;
    }
    return true;
}

void PtyLine::programClosed()
{
    char events[4096];
    while (::read(m_watch, events, sizeof events) > 0) {
    }
    ::ioctl(m_slave, TIOCNXCL);
}

void PtyLine::close()
{
    if (m_watch >= 0)
        ::close(m_watch);
    m_watch = -1;
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

bool PtyLine::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // The line's buffer is full: wait while the program reads. A program that
            // reads nothing for a second loses the rest, as on a real line.
            pollfd fd{m_master, POLLOUT, 0};
            if (::poll(&fd, 1, 1000) > 0 && (fd.revents & POLLOUT))
                continue;
            return false;
        }
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray PtyLine::read()
{
    char buffer[4096];
    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}
