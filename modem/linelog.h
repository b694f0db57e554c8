#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QString>

// The record of every call, kept in the data folder's log/line.log for a person
// finding out why a real device misbehaved. One line per record:
//
//     <ms since the call began> <process id> <line's name> <mark> <text>
//
// with the marks ">" bytes written, "<" bytes read, "=" an event of a line without a
// serial port (the SIP engine's, the sound card's, the digits played), "#" a stage
// change and "!" the outcome. Bytes are shown printable: a backslash, control bytes
// and bytes above 0x7E are escaped (\r, \n, \xHH). Each record goes out in one
// write(2) on a descriptor opened with O_APPEND, so the window and several senders
// may write at once. At the start of a call a log over RotateBytes is renamed to
// line.log.1 (the log never holds much more than twice that). The folder log/ is
// 0700 and the files 0600; a planted link is never followed. A log that cannot be
// written costs the call nothing: the records are dropped.
class LineLog
{
public:
    explicit LineLog(QString dataFolder);
    ~LineLog();
    LineLog(const LineLog &) = delete;
    LineLog &operator=(const LineLog &) = delete;

    static constexpr qint64 RotateBytes = 1024 * 1024;
    static constexpr const char *FolderName = "log";
    static constexpr const char *FileName = "line.log";

    // Every record is also written to this descriptor as it happens (-1: none).
    void setTrace(int fd) { m_trace = fd; }

    // A call begins on the named line: the clock starts from 0.
    void beginCall(const QString &lineName);
    void written(QByteArrayView bytes) { record('>', escaped(bytes)); }
    void read(QByteArrayView bytes) { record('<', escaped(bytes)); }
    void event(const QString &text) { record('=', printable(text)); }
    void stage(const QString &name) { record('#', printable(name)); }
    void outcome(const QString &text) { record('!', printable(text)); }

    // The bytes as the log shows them.
    static QByteArray escaped(QByteArrayView bytes);
    // A text in UTF-8 with its control characters escaped.
    static QByteArray printable(const QString &text);

private:
    void open();
    void record(char mark, const QByteArray &text);

    QString m_folder;
    QByteArray m_name = "-";
    QElapsedTimer m_clock;
    int m_fd = -1;
    int m_trace = -1;
};
