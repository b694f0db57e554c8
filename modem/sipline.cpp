#include "modem/sipline.h"

#include "store/appdata.h"
#include "store/apperror.h"
#include "store/passwordstore.h"

#include <QPointer>
#include <QtMath>
#include <memory>

namespace
{

const QString Source = QStringLiteral("SipLine");

} // namespace

SipLine::SipLine(const Settings &settings, Waiter &waiter, PasswordStore *passwords, QObject *parent)
    : Line(parent), m_settings(settings), m_waiter(waiter), m_passwords(passwords)
{
    connect(&m_call, &BaresipCall::established, this, [this] {
        m_up = true;
        wake();
    });
    connect(&m_call, &BaresipCall::digitsPlayed, this, [this] {
        m_played = true;
        wake();
    });
    connect(&m_call, &BaresipCall::failed, this, [this](const QString &message, bool accountRefused) {
        m_failure = message;
        m_failureCode = accountRefused ? ErrorCode::AccountRefused : ErrorCode::LineFailed;
        if (m_up && m_open)
            emit noCarrier(); // the line is gone; the reason follows at the next step
        wake();
    });
    connect(&m_call, &BaresipCall::dropped, this, [this] {
        if (m_open)
            emit noCarrier();
    });
    connect(&m_call, &BaresipCall::ended, this, &Line::finished);
    connect(&m_call, &BaresipCall::ended, this, [this] {
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

void SipLine::throwFailure()
{
    const QString message = std::exchange(m_failure, QString());
    throw AppError(m_failureCode, Source, message);
}

QCoro::Task<> SipLine::call(const QString &number)
{
    m_open = true;
    m_up = false;
    m_failure.clear();
    // The engine of the call before may still be quitting.
    m_placed = false;
    if (m_call.state() != BaresipCall::State::Idle)
        co_await m_waiter.wait(this, 2 * BaresipProcess::StopTimeoutMs,
                               [this] { return m_call.state() == BaresipCall::State::Idle; });
    if (m_call.state() != BaresipCall::State::Idle) {
        m_open = false;
        throw AppError(ErrorCode::LineFailed, Source,
                       QStringLiteral("前の通話の SIP エンジン（baresip）がまだ終わっていません。"));
    }
    BaresipCall::Account account{
        m_settings.SipServer, m_settings.SipUser, {}, m_settings.SipTransport, m_settings.SipProxy};
    if (m_passwords && !account.server.trimmed().isEmpty()) {
        struct Answer {
            bool given = false;
            QString password, error;
        };
        auto answer = std::make_shared<Answer>();
        QPointer<SipLine> self(this);
        m_passwords->readPassword(sipPasswordKey(account.user, account.server), [answer, self](QString p, QString e) {
            *answer = {true, p, e};
            if (self)
                self->wake();
        });
        co_await m_waiter.wait(this, -1, [answer] { return answer->given; });
        if (!m_open)
            co_return; // hung up meanwhile
        if (!answer->error.isEmpty()) {
            m_open = false;
            throw AppError(ErrorCode::LineFailed, Source, answer->error);
        }
        account.password = answer->password;
    }
    const QString outside = m_settings.OutsideOn == 1 ? m_settings.OutSide : QString();
    m_placed = true;
    m_call.call(account, outside + number);
    co_await m_waiter.wait(this, -1, [this] { return m_up || !m_failure.isEmpty() || !m_open; });
    if (!m_failure.isEmpty()) {
        m_open = false;
        throwFailure();
    }
}

QCoro::Task<> SipLine::dial(const QString &digits)
{
    if (!m_failure.isEmpty())
        throwFailure();
    if (!m_open)
        throw AppError(ErrorCode::PortNotOpen, Source, QStringLiteral("回線が切れています。"));
    m_played = false;
    m_call.sendDigits(digits);
    co_await m_waiter.wait(this, -1, [this] { return m_played; });
    if (!m_failure.isEmpty())
        throwFailure();
}

QCoro::Task<> SipLine::awaitOk(double seconds)
{
    co_await pause(seconds);
}

QCoro::Task<> SipLine::pause(double seconds)
{
    if (seconds > 0) {
        const qint64 end = m_waiter.now() + qCeil(seconds * 1000);
        for (qint64 left = end - m_waiter.now(); left > 0 && m_open; left = end - m_waiter.now())
            co_await m_waiter.wait(this, left);
    }
    if (!m_failure.isEmpty())
        throwFailure();
}

void SipLine::hangUp()
{
    if (!m_open)
        return;
    m_open = false;
    m_up = false;
    m_call.hangUp();
    emit closed();
}
