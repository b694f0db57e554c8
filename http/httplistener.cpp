#include "http/httplistener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
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
    bool checked = false;
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

MHD_Result addHeaderSize(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    *static_cast<size_t *>(cls) += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
    return MHD_YES;
}

QByteArray header(MHD_Connection *connection, const char *name)
{
    return QByteArray(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name));
}

bool queue(MHD_Connection *connection, const HttpAnswer &answer)
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
    m_daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &answerRequest, this, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT,
        unsigned(settings.connections), MHD_OPTION_PER_IP_CONNECTION_LIMIT, unsigned(settings.connectionsPerClient),
        MHD_OPTION_CONNECTION_TIMEOUT, unsigned(settings.idleSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool,
        MHD_OPTION_THREAD_POOL_SIZE, unsigned(Threads), MHD_OPTION_NOTIFY_COMPLETED, &requestDone, this,
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
        size_t headerBytes = std::strlen(url);
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &addHeaderSize, &headerBytes);
        if (headerBytes > size_t(m_settings.headerBytes))
            return false; // over the limit: closed without an answer
        pending = new Pending;
        *requestContext = pending;
        HttpRequest &r = pending->request;
        r.method = method;
        r.path = url;
        r.contentType = header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
        r.authorization = header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
        bool ok = false;
        const qint64 declared = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH).toLongLong(&ok);
        if (auto early = m_routes->before(r, ok ? declared : 0, qint64(m_settings.bodyBytes)))
            return queue(connection, *early);
        return true;
    }
    if (*uploadSize > 0) {
        // A body sent in pieces (chunked) that grows past the limit: no answer at all.
        if (pending->request.body.size() + qint64(*uploadSize) > qint64(m_settings.bodyBytes))
            return false;
        pending->request.body.append(uploadData, qsizetype(*uploadSize));
        *uploadSize = 0;
        return true;
    }
    return queue(connection, m_routes->answer(pending->request));
}

void HttpListener::onRequestDone(MHD_Connection *connection, void **requestContext)
{
    delete static_cast<Pending *>(*requestContext);
    *requestContext = nullptr;
    // A kept connection's next request has the same time from here.
    const std::lock_guard lock(m_mutex);
    const auto it = m_watched.find(connection);
    if (it != m_watched.end())
        it->second.deadline = Clock::now() + std::chrono::seconds(m_settings.requestSeconds);
}

void HttpListener::onConnection(MHD_Connection *connection, bool opened)
{
    if (!opened) {
        const std::lock_guard lock(m_mutex);
        m_watched.erase(connection);
        return;
    }
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    {
        const std::lock_guard lock(m_mutex);
        m_watched[connection] = {info ? info->connect_fd : -1,
                                 Clock::now() + std::chrono::seconds(m_settings.requestSeconds)};
    }
    m_wake.notify_all();
}

void HttpListener::watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (auto it = m_watched.begin(); it != m_watched.end();) {
            if (it->second.deadline <= now) {
                // The library notices the end of the socket on its own thread and lets
                // the connection go; the descriptor stays the connection's until then.
                if (it->second.fd >= 0)
                    ::shutdown(it->second.fd, SHUT_RDWR);
                it = m_watched.erase(it);
            } else {
                next = std::min(next, it->second.deadline);
                ++it;
            }
        }
        if (next == Clock::time_point::max())
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, next);
    }
}
