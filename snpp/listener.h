#pragma once

#include "store/snppdesk.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

// The SNPP listener: one thread of its own accepts the connections, and each connection
// has a thread of its own that feeds its bytes to its SnppSession and writes the answers
// back, so that one client's wait for the disk (a SEND is answered once its pages are on
// disk, a PAGE reads the address book under the folder's lock) holds up no other client.
// The limits (connections per client and in all, idle time, session time) hold on each.
class SnppServer : public QObject, public SnppListener
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID SnppListener_iid)
    Q_INTERFACES(SnppListener)
public:
    SnppServer();
    ~SnppServer() override;

    QString start(const SnppSettings &settings, SnppDesk *desk) override;
    quint16 port() const override { return m_port; }
    void stop() override;

private:
    struct Conversation {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void serve();
    void converse(int fd, const QByteArray &address, std::atomic<bool> &done);

    SnppSettings m_settings;
    SnppDesk *m_desk = nullptr;
    int m_socket = -1;
    int m_wake = -1; // an eventfd that stop() writes to; every thread watches it
    quint16 m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;                    // guards the counts
    std::map<QByteArray, int> m_perClient; // connections by the client's address
    int m_connections = 0;
};
