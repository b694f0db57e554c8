#pragma once

#include "support/server.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// A private PulseAudio server with one null sink, started for a test and ended with
// it; PULSE_SERVER in this process (and in children started after) points at it.
// The sink's monitor can be recorded while something plays.
class PulseServer
{
public:
    PulseServer() = default;
    ~PulseServer();
    // False with *error when no server can start here (no pulseaudio, no room).
    bool start(QString *error);
    QString address() const;
    qint64 processId() const { return m_server ? m_server->process.processId() : 0; }

    // Starts recording the sink's monitor at 22050 Hz mono, 16-bit, as multimon-ng
    // reads raw input; returns once the first samples have arrived.
    bool startRecording(QString *error);
    // The recording up to moreMs from now, and the recorder ended.
    QByteArray stopRecording(int moreMs = 400);

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<QProcess> m_recorder;
};

// The touch-tone keys multimon-ng hears in raw 22050 Hz samples or in a WAV file.
QString multimonKeys(const QByteArray &raw22050, QString *error);
QString multimonKeysOfWav(const QString &path, QString *error);
