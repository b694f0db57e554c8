#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A plain HTTP/1.1 client on blocking loopback sockets, for tests of the listener: it
// writes exactly the bytes it is given and reads until the server closes.
namespace httpclient
{

// A connection to 127.0.0.1:port from 127.0.0.<client> (another client for each);
// -1 when refused. Reads give up after timeoutMs.
inline int connectTo(quint16 port, int timeoutMs = 10000, int client = 1)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl((127u << 24) | quint32(client));
    if (client != 1)
        ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, const QByteArray &bytes)
{
    for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += n;
    }
    return true;
}

// Everything until the server closes (or the read times out).
inline QByteArray readAll(int fd)
{
    QByteArray out;
    char buffer[16384];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        out.append(buffer, n);
    return out;
}

// Of the connections, those still open once `closing` of them have been closed by the
// server, or no more closed for timeoutMs.
inline QList<int> keptOpen(const QList<int> &fds, int closing, int timeoutMs)
{
    QList<pollfd> open;
    for (int fd : fds) {
        if (fd >= 0)
            open.append({fd, POLLIN, 0});
    }
    int closed = int(fds.size() - open.size());
    while (closed<closing && ::poll(open.data(), nfds_t(open.size()), timeoutMs)> 0) {
        for (qsizetype i = open.size() - 1; i >= 0; --i) {
            char byte = 0;
            if (open[i].revents && ::recv(open[i].fd, &byte, 1, MSG_DONTWAIT) <= 0) {
                open.removeAt(i);
                ++closed;
            }
        }
    }
    QList<int> out;
    for (const pollfd &p : open)
        out << p.fd;
    return out;
}

struct Reply {
    int status = 0; // 0: closed without an answer
    QByteArray head;
    QByteArray body;
};

inline Reply parse(const QByteArray &raw)
{
    Reply r;
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (!raw.startsWith("HTTP/1.") || end < 0)
        return r;
    r.head = raw.left(end);
    r.body = raw.mid(end + 4);
    r.status = raw.mid(9, 3).toInt();
    return r;
}

// The bytes of a request that asks the server to close after its answer.
inline QByteArray request(const QByteArray &method, const QByteArray &path,
                          const QList<QPair<QByteArray, QByteArray>> &headers, const QByteArray &body = {})
{
    QByteArray out = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto &[name, value] : headers)
        out += name + ": " + value + "\r\n";
    if (!body.isEmpty() || method == "POST")
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

// One exchange on a connection of its own.
inline Reply exchange(quint16 port, const QByteArray &raw, int client = 1)
{
    const int fd = connectTo(port, 10000, client);
    if (fd < 0)
        return {};
    Reply r = sendAll(fd, raw) ? parse(readAll(fd)) : Reply();
    ::close(fd);
    return r;
}

} // namespace httpclient
