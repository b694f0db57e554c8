#pragma once

#include "store/snppdesk.h"

#include <QObject>
#include <atomic>
#include <thread>

// The SNPP listener: one thread of its own polls the listening socket and every
// connection (non-blocking), feeds each connection's bytes to its SnppSession and writes
// the answers back. A SEND waits for the disk on that thread, as the pages must be on
// disk before the client hears 250.
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
    void serve();

    SnppSettings m_settings;
    SnppDesk *m_desk = nullptr;
    int m_socket = -1;
    int m_wake = -1; // an eventfd that stop() writes to
    quint16 m_port = 0;
    std::thread m_thread;
};
