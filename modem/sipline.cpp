#include "modem/sipline.h"

#include "modem/linelog.h"
#include "store/appdata.h"
#include "store/apperror.h"
#include "store/passwordstore.h"

#include <QPointer>
#include <memory>

namespace
{

const QString Source = QStringLiteral("SipLine");

} // namespace

SipLine::SipLine(const Settings &settings, Waiter &waiter, PasswordStore *passwords, QObject *parent)
    : Line(waiter, parent), m_settings(settings), m_passwords(passwords)
{
    connect(&m_call, &BaresipCall::established, this, [this] {
        note(QStringLiteral("established"));
        m_up = true;
        wake();
    });
    connect(&m_call, &BaresipCall::registered, this, [this] {
        note(QStringLiteral("registered"));
        m_registered = true;
        wake();
    });
    connect(&m_call, &BaresipCall::digitsPlayed, this, [this] {
        note(QStringLiteral("digits played"));
        m_played = true;
        wake();
    });
    connect(&m_call, &BaresipCall::failed, this, [this](const QString &message, bool accountRefused, bool beforeDial) {
        note(QStringLiteral("failed: ") + message);
        m_failure = message;
        m_failureKind = accountRefused ? Failure::AccountRefused
                        : beforeDial   ? Failure::DeviceFailed
                                       : Failure::CallFailed;
        if (m_up && m_open)
            emit noCarrier(); // the line is gone; the reason follows at the next step
        wake();
    });
    connect(&m_call, &BaresipCall::dropped, this, [this] {
        note(QStringLiteral("dropped by the far end"));
        if (m_open)
            emit noCarrier();
    });
    connect(&m_call, &BaresipCall::ended, this, [this] {
        note(QStringLiteral("engine ended"));
        emit released();
        // The engine of a call before this one has gone: nothing to do with this call.
        if (!std::exchange(m_placed, false)) {
            wake();
            return;
        }
        const bool wasUp = m_up;
        m_up = false;
        if (m_open) {
            m_open = false;
            // A call that never came up has its failure thrown by call(): no dropped line.
            if (wasUp)
                emit closed();
        }
        wake();
    });
}

void SipLine::note(const QString &event)
{
    if (m_log)
        m_log->event(event);
}

// Unattended, the engine has not answered within the limit: the call fails (the send
// engine hangs up).
void SipLine::endUnanswered(qint64 limitMs)
{
    throw AppError(Failure::DeviceFailed, Source,
                   QStringLiteral("SIP エンジンが %1 秒以内に応答しませんでした。").arg(double(limitMs) / 1000));
}

void SipLine::throwFailure()
{
    const QString message = std::exchange(m_failure, QString());
    throw AppError(m_failureKind, Source, message);
}

// Once the engine of the call before has ended, the account with its password from the
// store (the keyring's, or the one given), read while the line is open; a store that
// cannot be read throws KeyringUnavailable.
QCoro::Task<BaresipCall::Account> SipLine::accountNow()
{
    if (m_call.state() != BaresipCall::State::Idle)
        co_await m_waiter.wait(this, 2 * BaresipProcess::StopTimeoutMs,
                               [this] { return m_call.state() == BaresipCall::State::Idle; });
    if (m_call.state() != BaresipCall::State::Idle) {
        m_open = false;
        throw AppError(Failure::DeviceFailed, Source,
                       QStringLiteral("前の通話の SIP エンジン（baresip）がまだ終わっていません。"));
    }
    BaresipCall::Account account{
        m_settings.SipServer, m_settings.SipUser, {}, m_settings.SipTransport, m_settings.SipProxy};
    if (m_passwords && !account.server.trimmed().isEmpty()) {
        struct Answer {
            bool given = false;
            QString password, error;
        };
        // Shared with the store's callback, which may outlive this call (the keyring's job
        // goes later, from the event loop). The wait's condition takes it by reference:
        // GCC 12 destroys the closure of a lambda written inside a co_await twice, and a
        // copy of the shared pointer there would drop a count it never took, freeing the
        // answer under the callback (tests/coroutines.cmake keeps such copies out).
        auto answer = std::make_shared<Answer>();
        QPointer<SipLine> self(this);
        m_passwords->readPassword(sipPasswordKey(account.user, account.server), [answer, self](QString p, QString e) {
            *answer = {true, p, e};
            if (self)
                self->wake();
        });
        co_await m_waiter.wait(this, -1, [&answer] { return answer->given; });
        if (!m_open)
            co_return account;
        if (!answer->error.isEmpty()) {
            m_open = false;
            throw AppError(Failure::KeyringUnavailable, Source, answer->error);
        }
        account.password = answer->password;
    }
    co_return account;
}

QCoro::Task<> SipLine::check()
{
    m_open = true;
    m_failure.clear();
    m_placed = false;
    const BaresipCall::Account account = co_await accountNow();
    if (!m_open)
        co_return;
    note(QStringLiteral("register %1 at %2").arg(account.user, account.server));
    m_registered = false;
    m_call.registerAccount(account);
    co_await m_waiter.wait(this, RegisterLimitMs, [this] { return m_registered || !m_failure.isEmpty(); });
    m_open = false;
    m_call.hangUp();
    if (!m_failure.isEmpty())
        throwFailure();
    if (!m_registered)
        throw AppError(
            Failure::DeviceFailed, Source,
            QStringLiteral("SIP サーバーへの登録が %1 秒以内に終わりませんでした。").arg(RegisterLimitMs / 1000));
}

QCoro::Task<> SipLine::call(const QString &number)
{
    m_open = true;
    m_up = false;
    m_failure.clear();
    // The engine of the call before may still be quitting.
    m_placed = false;
    BaresipCall::Account account = co_await accountNow();
    if (!m_open)
        co_return; // hung up meanwhile
    const QString outside = m_settings.OutsideOn == 1 ? m_settings.OutSide : QString();
    m_placed = true;
    note(QStringLiteral("call sip:%1@%2 as %3").arg(outside + number, account.server, account.user));
    m_call.call(account, outside + number);
    const qint64 limit = answerLimitMs(digitCount((outside + number).toLatin1()));
    co_await m_waiter.wait(this, limit, [this] { return m_up || !m_failure.isEmpty() || !m_open; });
    if (!m_failure.isEmpty()) {
        m_open = false;
        throwFailure();
    }
    if (!m_up && m_open)
        endUnanswered(limit);
}

QCoro::Task<> SipLine::dial(const QString &digits)
{
    if (!m_failure.isEmpty())
        throwFailure();
    if (!m_open)
        throw AppError(Failure::PortNotOpen, Source, QStringLiteral("回線が切れています。"));
    m_played = false;
    note(QStringLiteral("digits ") + digits);
    m_call.sendDigits(digits);
    const qint64 limit = answerLimitMs(digitCount(digits.toLatin1()));
    co_await m_waiter.wait(this, limit, [this] { return m_played; });
    if (!m_failure.isEmpty())
        throwFailure();
    if (!m_played && m_open)
        endUnanswered(limit);
}

QCoro::Task<> SipLine::awaitOk(double seconds)
{
    co_await pause(seconds);
}

void SipLine::afterPause()
{
    if (!m_failure.isEmpty())
        throwFailure();
}

void SipLine::hangUp()
{
    if (!m_open)
        return;
    m_open = false;
    m_up = false;
    note(QStringLiteral("hang up"));
    m_call.hangUp();
    emit closed();
}
