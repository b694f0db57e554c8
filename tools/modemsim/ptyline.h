#pragma once

#include <QByteArray>
#include <QString>

// The simulator's end of a pseudo-terminal, linked as <folder>/ports/COMn. It keeps
// the program's end open itself as well, so the line survives the program closing
// and reopening its port; closing the line makes a fresh one under the same link.
// Because that end never closes, the exclusive mode a program sets on it would outlive
// the program (a killed one too) and keep every later one out: each close of the
// program's end, seen through inotify, clears it, as the last close of a real device
// does.
class PtyLine
{
public:
    PtyLine(const QString &folder, int port);
    ~PtyLine();

    bool open(QString *error);
    void close();
    int fd() const { return m_master; }
    // Readable when a program has closed its end; then call programClosed().
    int closeWatch() const { return m_watch; }
    void programClosed();
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
    int m_watch = -1; // inotify on the program's end
    QString m_device;
};
