#pragma once

#include <QByteArray>
#include <QString>

// The simulator's end of a UNIX socket that a modem manager in its test mode opens as
// the module's port: it listens at the path and serves one program at a time. With the
// same face as PtyLine, so one loop serves both: fd() is the connected program (-1:
// none), closeWatch() the listening socket (readable when a program connects; then
// programClosed() takes it in place of the one before), and open() drops the program
// connected, keeping the listener.
class SocketLine
{
public:
    explicit SocketLine(QString path) : m_path(std::move(path)) {}
    ~SocketLine();

    bool open(QString *error);
    int fd() const { return m_client; }
    int closeWatch() const { return m_listener; }
    void programClosed();
    QString linkPath() const { return m_path; }
    QString devicePath() const { return QStringLiteral("a UNIX socket"); }
    bool write(const QByteArray &bytes);
    QByteArray read();

private:
    void dropClient();

    QString m_path;
    int m_listener = -1;
    int m_client = -1;
};
