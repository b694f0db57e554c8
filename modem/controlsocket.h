#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <memory>

// A TCP connection to a port on 127.0.0.1 over a plain non-blocking socket, driven by
// socket notifiers: the SIP engine's control connection, without Qt Network (whose
// libraries the window and fumidori-send would otherwise load at every start).
class ControlSocket : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~ControlSocket() override;

    // Starts connecting; connected() or refused() follows (closed() on other errors).
    void connectTo(quint16 port);
    bool isConnected() const { return m_connected; }
    bool isIdle() const { return m_fd < 0; }
    // Queues bytes; they leave as the socket takes them.
    void write(const QByteArray &bytes);
    // Closes at once, dropping what was not yet sent; no signal follows.
    void abort();

signals:
    void connected();
    void refused();
    void received(const QByteArray &bytes);
    // The far end closed the connection, or it broke.
    void closed();

private:
    void onWritable();
    void onReadable();
    void flush();
    void close();

    int m_fd = -1;
    bool m_connected = false;
    QByteArray m_out;
    std::unique_ptr<QSocketNotifier> m_read;
    std::unique_ptr<QSocketNotifier> m_write;
};
