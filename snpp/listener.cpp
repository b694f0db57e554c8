#include "snpp/listener.h"

#include "snpp/session.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

// Answers not yet taken by a client that does not read: past this the connection goes.
constexpr qsizetype MaxUnsent = 256 * 1024;
// How long a connection that is ending has to take its last answers.
constexpr auto Linger = std::chrono::seconds(5);

// The peer's address as text (an IPv4 address inside IPv6 as IPv4).
QByteArray addressText(const sockaddr_storage &a)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(a).sin_addr, text, sizeof text);
    } else {
        const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6))
            inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
    return QByteArray(text);
}

// As much of out as the socket takes now; false when the connection is broken.
bool flush(int fd, QByteArray &out)
{
    while (!out.isEmpty()) {
        const ssize_t n = ::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        out.remove(0, n);
    }
    return true;
}

// Milliseconds from now until then, for poll().
int msUntil(Clock::time_point then)
{
    return int(std::clamp<qint64>(std::chrono::ceil<std::chrono::milliseconds>(then - Clock::now()).count(), 0,
                                  60 * 60 * 1000));
}

} // namespace

SnppServer::SnppServer() = default;

SnppServer::~SnppServer()
{
    stop();
}

QString SnppServer::start(const SnppSettings &settings, SnppDesk *desk)
{
    if (m_socket >= 0)
        return QStringLiteral("すでに待ち受けています。");
    m_settings = settings;
    m_desk = desk;
    // The allowed addresses as the listener writes a client's: "::ffff:10.0.0.1" and
    // "10.0.0.1" are one address, as are the ways of writing an IPv6 address.
    m_settings.allowed.clear();
    for (const QString &entry : settings.allowed) {
        sockaddr_storage a = {};
        const QByteArray text = entry.toLatin1();
        if (inet_pton(AF_INET, text.constData(), &reinterpret_cast<sockaddr_in &>(a).sin_addr) == 1)
            a.ss_family = AF_INET;
        else if (inet_pton(AF_INET6, text.constData(), &reinterpret_cast<sockaddr_in6 &>(a).sin6_addr) == 1)
            a.ss_family = AF_INET6;
        else
            return QStringLiteral("SnppAllow= の「%1」は IPv4 か IPv6 のアドレスではありません。").arg(entry);
        m_settings.allowed << QString::fromLatin1(addressText(a));
    }
    sockaddr_storage address = {};
    socklen_t length = 0;
    const QByteArray host = settings.address.toLatin1();
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    if (inet_pton(AF_INET, host.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(settings.port);
        length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(settings.port);
        length = sizeof(sockaddr_in6);
    } else {
        return QStringLiteral("SNPP で待ち受けるアドレス「%1」は IPv4 か IPv6 のアドレスではありません。")
            .arg(settings.address);
    }
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(fd, 64) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        return QStringLiteral("%1 ポート %2 で SNPP を待ち受けられません: %3")
            .arg(settings.address)
            .arg(settings.port)
            .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
    sockaddr_storage bound = {};
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &boundLength);
    m_port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(bound).sin_port
                                              : reinterpret_cast<sockaddr_in6 &>(bound).sin6_port);
    m_socket = fd;
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { serve(); });
    return {};
}

void SnppServer::stop()
{
    if (m_thread.joinable()) {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
        m_thread.join();
    }
    if (m_socket >= 0)
        ::close(m_socket);
    if (m_wake >= 0)
        ::close(m_wake);
    m_socket = m_wake = -1;
}

// Accepts each connection the limits allow, on a thread of its own, and ends with every one.
void SnppServer::serve()
{
    std::list<Conversation> conversations;
    for (;;) {
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_socket, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        // The threads of connections that have ended.
        for (auto it = conversations.begin(); it != conversations.end();) {
            if (!it->done)
                ++it;
            else {
                it->thread.join();
                it = conversations.erase(it);
            }
        }
        for (;;) {
            sockaddr_storage peer = {};
            socklen_t length = sizeof peer;
            const int fd =
                ::accept4(m_socket, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                break;
            const QByteArray address = addressText(peer);
            bool room = false;
            {
                const std::lock_guard lock(m_mutex);
                room = m_connections < m_settings.connections && m_perClient[address] < m_settings.connectionsPerClient;
                if (room) {
                    ++m_connections;
                    ++m_perClient[address];
                } else if (m_perClient[address] == 0) {
                    m_perClient.erase(address);
                }
            }
            if (!room) {
                static const char busy[] = "421 Too Many Connections, Try Later\r\n";
                [[maybe_unused]] const ssize_t n = ::send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL);
                ::close(fd);
                continue;
            }
            Conversation &c = conversations.emplace_back();
            c.thread = std::thread([this, fd, address, &c] { converse(fd, address, c.done); });
        }
    }
    for (Conversation &c : conversations) // each has seen the wake-up too
        c.thread.join();
}

// One connection, on its own thread: its bytes to its session, the answers back, its time
// limits; ends at QUIT, when the client goes (what it SEND-ed is in the queue), at stop().
void SnppServer::converse(int fd, const QByteArray &address, std::atomic<bool> &done)
{
    const auto idle = std::chrono::seconds(m_settings.idleSeconds);
    const Clock::time_point started = Clock::now();
    Clock::time_point idleUntil = started + idle;
    Clock::time_point endsAt = started + std::chrono::seconds(m_settings.sessionSeconds);
    SnppSession session(*m_desk, m_settings.allowed.contains(QString::fromLatin1(address)));
    QByteArray out = SnppSession::greeting();
    bool closing = false; // close once out is sent
    bool broken = !flush(fd, out);
    while (!broken) {
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {fd, short((closing ? 0 : POLLIN) | (out.isEmpty() ? 0 : POLLOUT)), 0}};
        if (::poll(fds, 2, msUntil(closing ? endsAt : std::min(idleUntil, endsAt))) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        const Clock::time_point now = Clock::now();
        broken = (fds[1].revents & (POLLERR | POLLNVAL)) != 0;
        if (!broken && (fds[1].revents & (POLLIN | POLLHUP)) && !closing) {
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                out += session.feed(QByteArrayView(buffer, n));
                idleUntil = Clock::now() + idle; // from the answer: the desk may have taken its time
                if (session.ended()) {
                    closing = true;
                    endsAt = now + Linger;
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The client went, with or without QUIT: what it sent is in the queue.
                broken = true;
            }
        }
        if (!broken && !closing && (now >= idleUntil || now >= endsAt)) {
            out += now >= endsAt ? "421 Session Time Limit, Goodbye\r\n" : "421 Timeout, Goodbye\r\n";
            closing = true;
            endsAt = now + Linger;
        } else if (closing && now >= endsAt) {
            broken = true;
        }
        broken = broken || !flush(fd, out) || out.size() > MaxUnsent || (closing && out.isEmpty());
    }
    ::close(fd);
    {
        const std::lock_guard lock(m_mutex);
        --m_connections;
        if (--m_perClient[address] == 0)
            m_perClient.erase(address);
    }
    done = true;
}
