#include "modem/controlsocket.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

ControlSocket::~ControlSocket()
{
    close();
}

void ControlSocket::connectTo(quint16 port)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        QMetaObject::invokeMethod(this, &ControlSocket::closed, Qt::QueuedConnection);
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_read = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    m_read->setEnabled(false);
    connect(m_read.get(), &QSocketNotifier::activated, this, &ControlSocket::onReadable);
    m_write = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    connect(m_write.get(), &QSocketNotifier::activated, this, &ControlSocket::onWritable);
    // Even an immediate answer is told from the event loop, through the write notifier.
    if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        const bool wasRefused = errno == ECONNREFUSED;
        close();
        QMetaObject::invokeMethod(this, wasRefused ? &ControlSocket::refused : &ControlSocket::closed,
                                  Qt::QueuedConnection);
    }
}

void ControlSocket::onWritable()
{
    if (m_connected) {
        flush();
        return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        close();
        if (error == ECONNREFUSED)
            emit refused();
        else
            emit closed();
        return;
    }
    m_connected = true;
    m_read->setEnabled(true);
    m_write->setEnabled(!m_out.isEmpty());
    emit connected();
}

void ControlSocket::write(const QByteArray &bytes)
{
    m_out += bytes;
    if (m_connected)
        flush();
}

void ControlSocket::flush()
{
    while (!m_out.isEmpty()) {
        const ssize_t n = ::send(m_fd, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            close();
            emit closed();
            return;
        }
        m_out.remove(0, n);
    }
    m_write->setEnabled(!m_out.isEmpty());
}

void ControlSocket::onReadable()
{
    char buffer[4096];
    QByteArray bytes;
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            bytes.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const bool ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        if (!bytes.isEmpty())
            emit received(bytes);
        if (ended && m_fd >= 0) {
            close();
            emit closed();
        }
        return;
    }
}

void ControlSocket::abort()
{
    close();
}

void ControlSocket::close()
{
    m_read.reset();
    m_write.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_connected = false;
    m_out.clear();
}
