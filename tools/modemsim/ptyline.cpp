#include "ptyline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
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

bool PtyLine::open(QString *error)
{
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0) {
        *error = QStringLiteral("openpty: ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_device = QString::fromLocal8Bit(name);
    QDir(m_folder).mkpath(QStringLiteral("ports"));
    const QString link = linkPath();
    const QFileInfo old(link);
    // Only a link to a pseudo-terminal (an earlier simulator's) is replaced: a link to
    // a real modem is the user's.
    if (old.exists() && (!old.isSymLink() || !old.symLinkTarget().startsWith(QLatin1String("/dev/pts/")))) {
        *error = link + QStringLiteral(" is in use for another device");
        return false;
    }
    QFile::remove(link);
    if (!QFile::link(m_device, link)) {
        *error = QStringLiteral("cannot link ") + link;
        return false;
    }
    return true;
}

void PtyLine::close()
{
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
            // The program is not reading: a real line would lose the bytes too.
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
