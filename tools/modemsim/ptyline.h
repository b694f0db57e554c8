#pragma once

#include <QByteArray>
#include <QString>

// The simulator's end of a pseudo-terminal, linked as <folder>/ports/COMn. It keeps
// the program's end open itself as well, so the line survives the program closing
// and reopening its port; closing the line makes a fresh one under the same link.
class PtyLine
{
public:
    PtyLine(const QString &folder, int port);
    ~PtyLine();

    bool open(QString *error);
    void close();
    int fd() const { return m_master; }
    QString linkPath() const;
    QString devicePath() const { return m_device; }
    bool write(const QByteArray &bytes);
    // What the program wrote; empty at end of line or on error.
    QByteArray read();

private:
    QString m_folder;
    int m_port;
    int m_master = -1;
    int m_slave = -1;
    QString m_device;
};
