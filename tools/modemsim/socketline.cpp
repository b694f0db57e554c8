#include "socketline.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

SocketLine::~SocketLine()
{
    dropClient();
    if (m_listener >= 0) {
        ::close(m_listener);
        ::unlink(QFile::encodeName(m_path).constData());
    }
}

bool SocketLine::open(QString *error)
{
    dropClient();
    if (m_listener >= 0)
        return true;
    const QByteArray path = QFile::encodeName(m_path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        *error = m_path + QStringLiteral(": the path is too long for a socket");
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    // Only a socket left by an earlier simulator is replaced.
    struct stat st {
    };
    if (::lstat(path.constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = m_path + QStringLiteral(" exists and is not a socket");
            return false;
        }
        ::unlink(path.constData());
    }
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0) {
        *error = m_path + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    return true;
}

void SocketLine::programClosed()
{
    const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0)
        return;
    dropClient();
    m_client = client;
}

void SocketLine::dropClient()
{
    if (m_client >= 0)
        ::close(m_client);
    m_client = -1;
}

bool SocketLine::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_client >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(m_client, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return done == bytes.size();
}

QByteArray SocketLine::read()
{
    char buffer[4096];
    const ssize_t n = m_client < 0 ? -1 : ::recv(m_client, buffer, sizeof buffer, 0);
    return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}
