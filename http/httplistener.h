#pragma once

#include "http/routes.h"
#include "store/intake.h"

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

struct MHD_Daemon;
struct MHD_Connection;

// The HTTP listener on libmicrohttpd: a few threads of the library's own poll the
// connections and answer each request through Routes (several at once, so that one
// client's wait for the disk does not hold up the others).
//
// The library applies its limits when it accepts a connection, before any header is read,
// and its timeout counts idle time only; so the listener keeps its own account, to leave
// room for clients with the token however many others come:
// - a connection must send its first request's headers within HeaderSeconds, and lives at
//   most requestSeconds whatever it does once they carry the token (a request being
//   answered then is answered, with "Connection: close", and the connection shut after);
// - a new connection over the limits (per client, in all) shuts the oldest connection that
//   has not shown the token (headers waiting unread on its socket are looked at), of its
//   client or of all, else is shut itself;
// - answers to requests without the token, and to /healthz, close their connection.
// One more thread shuts the connections whose time is up, woken at the next deadline.
class HttpListener : public QObject, public Listener
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID Listener_iid)
    Q_INTERFACES(Listener)
public:
    HttpListener();
    ~HttpListener() override;

    QString start(const ListenerSettings &settings, Intake *intake) override;
    quint16 port() const override { return m_port; }
    void stop() override;

    // The library's callbacks, on its thread.
    int onRequest(MHD_Connection *connection, const char *url, const char *method, const char *uploadData,
                  size_t *uploadSize, void **requestContext);
    void onRequestDone(MHD_Connection *connection, void **requestContext);
    void onConnection(MHD_Connection *connection, bool opened);

    // A connection gets this long to send its first headers.
    static constexpr int HeaderSeconds = 2;

private:
    using Clock = std::chrono::steady_clock;
    struct Watched;
    void watch();
    void shut(Watched &c);
    // The oldest connection without the token, of the client when given; nullptr: none.
    Watched *oldestWithoutToken(const QByteArray *client);
    // The request waiting on the socket, not read yet, carries the token in its headers.
    bool sentToken(int fd) const;
    // Marks the connection busy answering, or not; whether an answer now closes it (close:
    // it must), so that it no longer counts against the limits.
    bool closing(MHD_Connection *connection, bool busy, bool close = false);

    ListenerSettings m_settings;
    std::unique_ptr<Routes> m_routes;
    MHD_Daemon *m_daemon = nullptr;
    quint16 m_port = 0;

    struct Watched {
        int fd = -1;
        QByteArray client; // its address
        quint64 order = 0; // the order of opening
        Clock::time_point opened;
        Clock::time_point deadline;
        bool token = false;   // a request of it carried the token
        bool busy = false;    // a request of it is being answered
        bool overdue = false; // its time ran out while busy: shut once answered
        bool shut = false;    // shut, the library not yet done with it
        bool leaving = false; // its last answer closes it
    };
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<MHD_Connection *, Watched> m_watched;
    quint64 m_opened = 0;
    bool m_stopping = false;
    std::thread m_watchdog;
};
