#pragma once

#include "modem/controlsocket.h"
#include "modem/netstring.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <memory>

class QTemporaryDir;

// One run of baresip as a child process: its configuration in a private folder of its
// own (removed when it ends), its control socket on 127.0.0.1, commands out and events
// in as netstring-framed JSON. Everything is driven by the process's and the socket's
// signals and by single-shot timers.
class BaresipProcess : public QObject
{
    Q_OBJECT
public:
    static constexpr int StartTimeoutMs = 10000; // until the control socket answers
    static constexpr int StopTimeoutMs = 2000;   // after "quit", before the process is killed
    static constexpr int RetryMs = 100;          // between attempts to reach the control socket

    explicit BaresipProcess(QObject *parent = nullptr);
    ~BaresipProcess() override;

    // "baresip", or $FUMIDORI_BARESIP when set.
    static QString defaultProgram();
    void setProgram(const QString &program) { m_program = program; }

    // Writes config and accounts into a new folder under the runtime folder and starts
    // the engine; input goes to its standard input, which is then closed. ready() or
    // failed() follows.
    void start(const QByteArray &config, const QByteArray &accounts, quint16 controlPort, const QByteArray &input = {});
    // Sends one command; false when the control socket is not connected.
    bool command(const QString &name, const QString &params = {});
    // Asks the engine to quit and kills it when it lingers; finished() follows.
    void stop();

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    bool isReady() const { return m_socket.isConnected(); }
    QString folder() const;
    qint64 processId() const { return m_process.processId(); }

signals:
    void ready();
    // callId tells the calls apart: a centre may hold a dead call while a new one comes.
    void event(const QString &type, const QString &param, const QString &callId);
    void response(bool ok, const QString &data);
    // A line the engine printed, colours and status lines removed.
    void output(const QString &line);
    // The engine could not start, or ended or broke without being asked to.
    void failed(const QString &message);
    // The engine is gone and its folder removed.
    void finished();

private:
    void fail(const QString &message);
    void connectControl();
    void readOutput();
    void readControl(const QByteArray &bytes);
    void processEnded(int exitCode, QProcess::ExitStatus status);
    void cleanUp();

    QString m_program;
    QProcess m_process;
    ControlSocket m_socket;
    QTimer m_startTimer;
    QTimer m_stopTimer;
    QTimer m_retryTimer;
    netstring::Reader m_reader;
    QByteArray m_outputLine;
    std::unique_ptr<QTemporaryDir> m_folder;
    quint16 m_controlPort = 0;
    int m_token = 0;
    bool m_active = false; // from start() until finished()
    bool m_stopping = false;
    bool m_failed = false;
};
