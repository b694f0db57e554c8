#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

// The records of a line log as a test reads them back.
struct LogRecord {
    qint64 ms = -1;
    qint64 pid = -1;
    QByteArray line;
    char mark = 0;
    QByteArray text; // as written: escaped
};

// \r, \n, \\ and \xHH (either case) back to their bytes.
inline QByteArray unescapeLogText(const QByteArray &text)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 'x' && i + 2 < text.size()) {
            out += char(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

// The bytes a simulator's transcript (lineN.txt) says it received, from its "<time> rx
// <text>" lines: its whole lines from *from on, and *from moved past them.
inline QByteArray transcriptReceived(const QString &path, int *from = nullptr)
{
    QFile file(path);
    const QList<QByteArray> lines = file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    QByteArray out;
    int line = from ? *from : 0;
    for (; line < lines.size() - 1; ++line) { // the last one is not finished yet
        const QList<QByteArray> parts = lines[line].split(' ');
        if (parts.size() >= 3 && parts[1] == "rx")
            out += unescapeLogText(lines[line].mid(parts[0].size() + 4));
    }
    if (from)
        *from = line;
    return out;
}

// Each line "<ms> <pid> <line> <mark> <text>"; a line not of that form gives a record
// with ms -1.
inline QList<LogRecord> readLineLog(const QString &path)
{
    QFile file(path);
    QList<LogRecord> records;
    if (!file.open(QIODevice::ReadOnly))
        return records;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> parts = line.split(' ');
        LogRecord r;
        bool ok1 = false, ok2 = false;
        if (parts.size() >= 4 && parts[3].size() == 1) {
            r.ms = parts[0].toLongLong(&ok1);
            r.pid = parts[1].toLongLong(&ok2);
            r.line = parts[2];
            r.mark = parts[3][0];
            r.text = line.mid(parts[0].size() + parts[1].size() + parts[2].size() + 5);
        }
        if (!ok1 || !ok2)
            r.ms = -1;
        records << r;
    }
    return records;
}

// The records of one mark, their texts unescaped and joined.
inline QByteArray joinedLog(const QList<LogRecord> &records, char mark)
{
    QByteArray out;
    for (const LogRecord &r : records)
        if (r.mark == mark)
            out += unescapeLogText(r.text);
    return out;
}
