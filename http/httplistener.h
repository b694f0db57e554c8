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
// client's wait for the disk does not hold up the others); one more thread closes any
// connection whose request has not come whole in time (the library's own timeout counts
// idle time only, so a client that sends a byte every few seconds would stay for ever).
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

private:
    using Clock = std::chrono::steady_clock;
    void watch();

    ListenerSettings m_settings;
    std::unique_ptr<Routes> m_routes;
    MHD_Daemon *m_daemon = nullptr;
    quint16 m_port = 0;

    struct Watched {
        int fd = -1;
        Clock::time_point deadline;
    };
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<MHD_Connection *, Watched> m_watched;
    bool m_stopping = false;
    std::thread m_watchdog;
};
