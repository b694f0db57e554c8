#pragma once

#include "store/locks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

// fumidori-modemsim started by a test on COM<port> of a folder, with a transcript of
// the line in line<port>.txt there. What its centre prints of each call is a summary of
// "key: value" lines ending in "--".
struct ModemSim {
    QProcess process;
    QString printed;          // what the centre printed so far
    QString link, dataFolder; // the line's link, and the folder it is in

    // Up once the simulator has told of its line's link (on standard error).
    bool start(const QString &folder, int port, const QStringList &extra = {})
    {
        const QString n = QString::number(port);
        link = QDir(folder).filePath("ports/COM" + n);
        dataFolder = QDir(folder).path() + u'/';
        process.start(
            QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"),
            QStringList{"--folder", folder, "--port", n, "--transcript", QDir(folder).filePath("line" + n + ".txt")} +
                extra);
        process.setReadChannel(QProcess::StandardError);
        const bool up = process.waitForStarted() && process.waitForReadyRead(5000);
        process.setReadChannel(QProcess::StandardOutput);
        return up;
    }
    // One field of each call, in order, once the centre has told of count calls (failed
    // ones included, their empty fields left out) or nothing more came for 10 s.
    QStringList field(const QString &key, int count)
    {
        // What an event loop of the test has read already waits in the process's buffer.
        printed += QString::fromUtf8(process.readAllStandardOutput());
        while (printed.count(QLatin1String("--\n")) < count && process.waitForReadyRead(10000))
            printed += QString::fromUtf8(process.readAllStandardOutput());
        QStringList out;
        for (const QString &line : printed.split(u'\n')) {
            if (line.startsWith(key + ": ") && line.size() > key.size() + 2)
                out << line.mid(key.size() + 2);
        }
        return out;
    }
    ~ModemSim()
    {
        // The line's lock in the system's lock folder goes while its terminal is still
        // ours, so no other test's line can be named alike meanwhile.
        if (const QString pty = QFileInfo(link).symLinkTarget(); pty.startsWith(QLatin1String("/dev/pts/")))
            QFile::remove(PortLock::pathFor(pty, dataFolder));
        process.terminate();
        process.waitForFinished(5000);
    }
};
