#pragma once

#include "modem/baresipprocess.h"

#include <QObject>
#include <QString>
#include <QTimer>

// One call to a message centre over SIP with baresip as the engine, which runs only
// for the call. call() starts the engine, registers when there is a password, dials
// and reports established() or failed(); sendDigits() keys in touch-tone digits and
// reports digitsPlayed() once they have left; hangUp() ends the call and the engine,
// then ended(). A call the far end closes gives dropped(); a refused or unreachable
// call, a refused registration or an engine that fails gives failed(); both are
// followed by ended().
class BaresipCall : public QObject
{
    Q_OBJECT
public:
    struct Account {
        QString server; // host or host:port
        QString user;
        QString password;  // empty: no registration, direct calls
        QString transport; // "udp" (also when empty), "tcp" or "tls"
        QString proxy;     // the outbound proxy, host or host:port; empty: none
    };
    enum class State { Idle, Starting, Registering, Dialling, Up, HangingUp };

    static constexpr int SetupTimeoutMs = 60000; // from the start until the centre answers

    explicit BaresipCall(QObject *parent = nullptr);

    void setProgram(const QString &program) { m_process.setProgram(program); }
    void setSetupTimeout(int ms) { m_setupTimer.setInterval(ms); }

    void call(const Account &account, const QString &number);
    // Starts the engine and registers the account, then ends: registered() (or failed())
    // and ended(). An account without a password has nothing to register: registered()
    // once the engine is ready.
    void registerAccount(const Account &account);
    // Only 0-9, * and # are handed on; the rest is dropped.
    void sendDigits(const QString &digits);
    void hangUp();

    State state() const { return m_state; }
    // The engine's configuration folder while it runs.
    QString engineFolder() const { return m_process.folder(); }
    qint64 engineProcessId() const { return m_process.processId(); }

signals:
    void ringing();
    void registered();
    void established();
    void digitsPlayed();
    void dropped(const QString &reason);
    // accountRefused: the server turned the account's name or password down (trying
    // again cannot help); otherwise the line failed. beforeDial: the engine, its
    // transport or the registration failed before the centre was called.
    void failed(const QString &message, bool accountRefused = false, bool beforeDial = false);
    void ended();

private:
    void start(const Account &account, const QString &number, bool registerOnly);
    void onReady();
    void dialOrEnd();
    void onEvent(baresip::Event type, const QString &subject, const QString &detail);
    void dial();
    void fail(const QString &message, bool accountRefused = false);
    void finish();

    BaresipProcess m_process;
    QTimer m_setupTimer;
    QTimer m_digitTimer;
    State m_state = State::Idle;
    QString m_uri;
    bool m_registering = false;
    bool m_registered = false; // before the engine said it was ready
    bool m_registerOnly = false;
};
