#pragma once

// fumidori-send's queue runner started by a test on a folder with a listener on loopback,
// its events (--json: one object a line) read as they come; ended with the test.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

struct QueueRunner {
    QProcess process;
    quint16 port = 0; // the listener's
    QByteArray out;   // its events so far

    // "queue run" with the listener's option (--listen or --snpp) on 127.0.0.1:0; up once
    // it has told the port it listens on.
    bool start(const QString &folder, const char *listener)
    {
        process.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                      {"--folder", folder, "--quiet", "--json", "queue", "run", listener, "127.0.0.1:0"});
        port = quint16(events("listening", 1).value(0).value("port").toInt());
        return port != 0;
    }
    // Until the runner has told of count events of the name (or said nothing for 20 s).
    QList<QJsonObject> events(const QString &name, int count)
    {
        QList<QJsonObject> found;
        do {
            out += process.readAllStandardOutput();
            found.clear();
            for (const QByteArray &line : out.split('\n')) {
                const QJsonObject event = QJsonDocument::fromJson(line).object();
                if (event.value("event").toString() == name)
                    found << event;
            }
        } while (found.size() < count && process.waitForReadyRead(20000));
        return found;
    }
    ~QueueRunner()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
    }
};
