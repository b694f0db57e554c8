#include "http/httplistener.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

namespace
{

// The library's threads: a message is answered once it is on disk, and the disk's flush
// is most of that time, so a few threads let flushes of several clients overlap.
constexpr int Threads = 4;

// What a request gathers between the library's calls.
struct Pending {
    HttpRequest request;
    qint64 bodyLimit = 0;
    bool close = false; // its answer closes the connection
};

MHD_Result answerRequest(void *cls, MHD_Connection *connection, const char *url, const char *method,
                         const char * /*version*/, const char *uploadData, size_t *uploadSize, void **context)
{
    return static_cast<HttpListener *>(cls)->onRequest(connection, url, method, uploadData, uploadSize, context)
               ? MHD_YES
               : MHD_NO;
}

void requestDone(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode)
{
    static_cast<HttpListener *>(cls)->onRequestDone(connection, context);
}

void connectionChanged(void *cls, MHD_Connection *connection, void **, MHD_ConnectionNotificationCode code)
{
    static_cast<HttpListener *>(cls)->onConnection(connection, code == MHD_CONNECTION_NOTIFY_STARTED);
}

// What the headers of a request come to: their size, and the headers that say where its
// body ends.
struct HeaderCount {
    size_t bytes = 0;
    int contentLengths = 0;
    int transferEncodings = 0;
};

MHD_Result countHeader(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *count = static_cast<HeaderCount *>(cls);
    count->bytes += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
    count->contentLengths += strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0 ? 1 : 0;
    count->transferEncodings += strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0 ? 1 : 0;
    return MHD_YES;
}

// A client's address, to count its connections by.
QByteArray clientOf(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return {};
    if (info->client_addr->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(info->client_addr);
        return QByteArray(reinterpret_cast<const char *>(&v6->sin6_addr), sizeof v6->sin6_addr);
    }
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(info->client_addr);
    return QByteArray(reinterpret_cast<const char *>(&v4->sin_addr), sizeof v4->sin_addr);
}

QByteArray header(MHD_Connection *connection, const char *name)
{
    return QByteArray(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name));
}

bool queue(MHD_Connection *connection, const HttpAnswer &answer, bool close)
{
    MHD_Response *response = MHD_create_response_from_buffer(
        size_t(answer.body.size()), const_cast<char *>(answer.body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return false;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.constData());
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto &[name, value] : answer.headers)
        MHD_add_response_header(response, name.constData(), value.constData());
    if (close) // the library closes the connection once this is sent
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = MHD_queue_response(connection, unsigned(answer.status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

} // namespace

HttpListener::HttpListener() = default;

HttpListener::~HttpListener()
{
    stop();
}

QString HttpListener::start(const ListenerSettings &settings, Intake *intake)
{
    if (m_daemon)
        return QStringLiteral("すでに待ち受けています。");
    m_settings = settings;
    if (settings.token.isEmpty())
        return QStringLiteral("トークンが空です。");
    sockaddr_storage address = {};
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD;
    const QByteArray host = settings.address.toLatin1();
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    if (inet_pton(AF_INET, host.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(settings.port);
    } else if (inet_pton(AF_INET6, host.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(settings.port);
        flags |= MHD_USE_IPv6;
    } else {
        return QStringLiteral("待ち受けるアドレス「%1」は IPv4 か IPv6 のアドレスではありません。")
            .arg(settings.address);
    }
    m_routes = std::make_unique<Routes>(*intake, settings.token, settings.alertTemplate);
    m_stopping = false;
    m_watchdog = std::thread([this] { watch(); });
    // The pool of a connection holds its headers, which may take headerBytes; the rest of
    // the pool is the library's own working room.
    const size_t pool = size_t(settings.headerBytes) + 16 * 1024;
    // The library's own limit only bounds what the listener's account cannot (connections
    // shut and not yet let go): it is above it, so that a new connection is always seen
    // and room made for it. The library shares its limit among its threads; each may take
    // all of the listener's. Per client the listener's account is the only one.
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &answerRequest, this, MHD_OPTION_SOCK_ADDR, &address,
                                MHD_OPTION_CONNECTION_LIMIT, unsigned(settings.connections * Threads),
                                MHD_OPTION_CONNECTION_TIMEOUT, unsigned(settings.idleSeconds),
                                MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool, MHD_OPTION_THREAD_POOL_SIZE,
                                unsigned(Threads), MHD_OPTION_NOTIFY_COMPLETED, &requestDone, this,
                                MHD_OPTION_NOTIFY_CONNECTION, &connectionChanged, this, MHD_OPTION_END);
    if (!m_daemon) {
        const int error = errno;
        stop();
        return QStringLiteral("%1 ポート %2 で待ち受けられません: %3")
            .arg(settings.address)
            .arg(settings.port)
            .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : settings.port;
    return {};
}

void HttpListener::stop()
{
    if (m_daemon) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_watched.clear();
    }
    m_wake.notify_all();
    if (m_watchdog.joinable())
        m_watchdog.join();
}

int HttpListener::onRequest(MHD_Connection *connection, const char *url, const char *method, const char *uploadData,
                            size_t *uploadSize, void **requestContext)
{
    auto *pending = static_cast<Pending *>(*requestContext);
    if (!pending) {
        HeaderCount count{std::strlen(url)};
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &countHeader, &count);
        if (count.bytes > size_t(m_settings.headerBytes))
            return false; // over the limit: closed without an answer
        pending = new Pending;
        *requestContext = pending;
        pending->bodyLimit = Routes::keepsOverflow(url) ? httpbody::AlertBytes : qint64(m_settings.bodyBytes);
        HttpRequest &r = pending->request;
        r.method = method;
        r.path = url;
        r.contentType = header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
        r.authorization = header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
        const bool token = Routes::authorized(r.authorization, m_settings.token);
        pending->close = !token || !Routes::needsToken(r.path);
        {
            const std::lock_guard lock(m_mutex);
            const auto it = m_watched.find(connection);
            if (token && it != m_watched.end() && !it->second.token) {
                it->second.token = true;
                it->second.deadline = it->second.opened + std::chrono::seconds(m_settings.requestSeconds);
                m_wake.notify_all();
            }
        }
        // Two lengths, or a length beside chunks: a proxy in front may have read another
        // body than the library would, so neither is taken.
        if (count.contentLengths > 1 || (count.contentLengths > 0 && count.transferEncodings > 0))
            return queue(connection, Routes::ambiguousLength(), closing(connection, false, true));
        bool ok = false;
        const qint64 declared = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH).toLongLong(&ok);
        if (auto early = m_routes->before(r, ok ? declared : 0, pending->bodyLimit))
            return queue(connection, *early, closing(connection, false, pending->close));
        return true;
    }
    if (*uploadSize > 0) {
        HttpRequest &r = pending->request;
        const qint64 size = qint64(*uploadSize);
        const qint64 room = qMax<qint64>(0, pending->bodyLimit - r.body.size());
        // A body sent in pieces (chunked) that grows past the limit: no answer at all,
        // but on the route that keeps the rest of a long body.
        if (size > room && !Routes::keepsOverflow(r.path))
            return false;
        const qint64 kept = qMin(size, room);
        r.body.append(uploadData, qsizetype(kept));
        if (kept < size)
            r.rest.add(r.body, uploadData + kept, qsizetype(size - kept));
        *uploadSize = 0;
        return true;
    }
    closing(connection, true);
    const HttpAnswer answer = m_routes->answer(pending->request);
    return queue(connection, answer, closing(connection, false, pending->close));
}

bool HttpListener::closing(MHD_Connection *connection, bool busy, bool close)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_watched.find(connection);
    if (it == m_watched.end())
        return true;
    Watched &c = it->second;
    c.busy = busy;
    // Past half its time a connection is not offered another request, which might not
    // come whole before its end.
    const auto life = std::chrono::seconds(m_settings.requestSeconds);
    close = close || c.overdue || Clock::now() - c.opened > life / 2;
    // Answered for the last time: it no longer takes room.
    c.leaving = c.leaving || (close && !busy);
    return close;
}

void HttpListener::onRequestDone(MHD_Connection *, void **requestContext)
{
    delete static_cast<Pending *>(*requestContext);
    *requestContext = nullptr;
}

HttpListener::Watched *HttpListener::oldestWithoutToken(const QByteArray *client)
{
    while (true) {
        Watched *oldest = nullptr;
        for (auto &[connection, c] : m_watched) {
            if (!c.token && !c.shut && !c.leaving && (!client || c.client == *client) &&
                (!oldest || c.order < oldest->order))
                oldest = &c;
        }
        if (!oldest || !sentToken(oldest->fd))
            return oldest;
        // Its headers carry the token, the library has not read them yet.
        oldest->token = true;
        oldest->deadline = oldest->opened + std::chrono::seconds(m_settings.requestSeconds);
    }
}

bool HttpListener::sentToken(int fd) const
{
    QByteArray waiting(m_settings.headerBytes, Qt::Uninitialized);
    const ssize_t n = ::recv(fd, waiting.data(), size_t(waiting.size()), MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0)
        return false;
    waiting.truncate(n);
    const qsizetype at = waiting.toLower().indexOf("\r\nauthorization:");
    const qsizetype end = at < 0 ? -1 : waiting.indexOf("\r\n", at + 16);
    return end >= 0 && Routes::authorized(waiting.mid(at + 16, end - at - 16).trimmed(), m_settings.token);
}

void HttpListener::shut(Watched &c)
{
    // The library notices the end of the socket on its own thread and lets the connection
    // go; the descriptor stays the connection's until then (it is forgotten here first).
    if (c.fd >= 0)
        ::shutdown(c.fd, SHUT_RDWR);
    c.shut = true;
}

void HttpListener::onConnection(MHD_Connection *connection, bool opened)
{
    const std::lock_guard lock(m_mutex);
    if (!opened) {
        m_watched.erase(connection);
        return;
    }
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    Watched &added = m_watched[connection];
    added.fd = info ? info->connect_fd : -1;
    added.client = clientOf(connection);
    added.order = ++m_opened;
    added.opened = Clock::now();
    added.deadline = added.opened + std::chrono::seconds(HeaderSeconds);
    // Room for it: the oldest connections without the token go first, this one last.
    int ofClient = 0, open = 0;
    for (const auto &[other, c] : m_watched) {
        open += c.shut || c.leaving ? 0 : 1;
        ofClient += !c.shut && !c.leaving && c.client == added.client ? 1 : 0;
    }
    for (; ofClient > m_settings.connectionsPerClient; --ofClient, --open) {
        if (Watched *oldest = oldestWithoutToken(&added.client))
            shut(*oldest);
    }
    for (; open > m_settings.connections; --open) {
        if (Watched *oldest = oldestWithoutToken(nullptr))
            shut(*oldest);
    }
    m_wake.notify_all();
}

void HttpListener::watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        std::vector<Watched *> due;
        for (auto &[connection, c] : m_watched) {
            if (c.shut)
                continue;
            if (c.deadline <= now && c.busy && !c.overdue) {
                // Being answered: the answer closes it, and it is shut if that is not taken.
                c.overdue = true;
                c.deadline = now + std::chrono::seconds(HeaderSeconds);
            } else if (c.deadline <= now) {
                due.push_back(&c);
                continue;
            }
            next = std::min(next, c.deadline);
        }
        // The oldest first, as when room is made.
        std::sort(due.begin(), due.end(), [](const Watched *a, const Watched *b) { return a->order < b->order; });
        for (Watched *c : due)
            shut(*c);
        if (next == Clock::time_point::max())
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, next);
    }
}
