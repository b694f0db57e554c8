#pragma once

#include "modem/baresipoutput.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <memory>

class QTemporaryDir;

// One run of baresip as a child process: its configuration in a private folder of its
// own (removed when it ends), commands written to its standard input as the menu's long
// commands ("/dial ..."), events read from its standard output. Only this program holds
// those pipes: the engine opens no control port that another user could reach. The
// standard input stays open until the engine has ended (at its end the engine would
// spin). Everything is driven by the process's signals and single-shot timers.
class BaresipProcess : public QObject
{
    Q_OBJECT
public:
    static constexpr int StartTimeoutMs = 10000; // until the engine says it is ready
    static constexpr int StopTimeoutMs = 2000;   // after "/quit", before the process is killed

    explicit BaresipProcess(QObject *parent = nullptr);
    ~BaresipProcess() override;

    // "baresip", or $FUMIDORI_BARESIP when set.
    static QString defaultProgram();
    void setProgram(const QString &program) { m_program = program; }

    // Writes config and accounts into a new folder under the runtime folder and starts
    // the engine. The password goes to its standard input when the account asks for it,
    // before anything else; a prompt without a password fails. ready() or failed() follows.
    void start(const QByteArray &config, const QByteArray &accounts, const QByteArray &password = {});
    // Sends one command; false before the engine is ready, while it stops, or when the
    // command holds a control character.
    bool command(const QString &name, const QString &params = {});
    // Asks the engine to quit and kills it when it lingers; finished() follows.
    void stop();

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    bool isReady() const { return m_ready; }
    QString folder() const;
    qint64 processId() const { return m_process.processId(); }

signals:
    void ready();
    void event(baresip::Event type, const QString &subject, const QString &detail);
    // A line the engine printed, colours, control characters and status lines removed.
    void output(const QString &line);
    // The engine could not start, or ended or broke without being asked to.
    void failed(const QString &message);
    // The engine is gone and its folder removed.
    void finished();

private:
    void fail(const QString &message);
    void readOutput();
    void readLine(const QString &line);
    void answerPrompt();
    void processEnded(int exitCode, QProcess::ExitStatus status);
    void cleanUp();

    QString m_program;
    QProcess m_process;
    QTimer m_startTimer;
    QTimer m_stopTimer;
    QByteArray m_outputLine;
    QByteArray m_password;
    std::unique_ptr<QTemporaryDir> m_folder;
    bool m_active = false; // from start() until finished()
    bool m_ready = false;
    bool m_prompted = false;
    bool m_stopping = false;
    bool m_failed = false;
};
