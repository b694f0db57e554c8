#pragma once

#include "modem/baresipcall.h"
#include "modem/line.h"
#include "store/apperror.h"

struct Settings;
class PasswordStore;

// Device kind 10: the centre called over an Internet telephone account, with baresip
// as the engine for the length of the call. The call dials sip:<outside line><number>@
// SipServer as SipUser, with the password from the keyring when one is stored. The
// line is up when the centre answers; the far end closing it is a "NO CARRIER". A
// refused call throws AppError CallFailed with the reason; a failing engine or a call
// that failed before dialling, DeviceFailed; a keyring that cannot be read,
// KeyringUnavailable; a server turning the account's name or password down (401, 403,
// 407), AccountRefused. There is no "OK": a digit string's wait is its playing time on the line.
class SipLine : public Line
{
    Q_OBJECT
public:
    SipLine(const Settings &settings, Waiter &waiter, PasswordStore *passwords, QObject *parent = nullptr);

    bool isOpen() const override { return m_open; }
    QCoro::Task<> call(const QString &number) override;
    QCoro::Task<> dial(const QString &digits) override;
    QCoro::Task<> awaitOk(double seconds) override;
    void hangUp() override;
    bool releasing() const override { return m_call.state() != BaresipCall::State::Idle; }
    QString name() const override { return QStringLiteral("sip"); }
    // The account registers with its server (at most RegisterLimitMs), and the engine ends.
    QCoro::Task<> check() override;
    static constexpr int RegisterLimitMs = 15000;

    BaresipCall &engine() { return m_call; }

protected:
    void afterPause() override;

private:
    QCoro::Task<BaresipCall::Account> accountNow();
    void throwFailure();
    [[noreturn]] void endUnanswered(qint64 limitMs);
    void note(const QString &event);
    void wake() { emit readyRead(); }

    const Settings &m_settings;
    PasswordStore *m_passwords;
    BaresipCall m_call;
    bool m_open = false;
    bool m_placed = false; // m_call was asked to call for this line's call
    bool m_up = false;
    bool m_played = false;
    bool m_registered = false;
    QString m_failure; // not yet thrown
    Failure m_failureKind = Failure::CallFailed;
};
