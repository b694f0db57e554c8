#include "modem/baresipcall.h"

#include "modem/baresipconfig.h"

BaresipCall::BaresipCall(QObject *parent) : QObject(parent)
{
    m_setupTimer.setSingleShot(true);
    m_setupTimer.setInterval(SetupTimeoutMs);
    m_digitTimer.setSingleShot(true);
    connect(&m_process, &BaresipProcess::ready, this, &BaresipCall::onReady);
    connect(&m_process, &BaresipProcess::event, this, &BaresipCall::onEvent);
    connect(&m_process, &BaresipProcess::failed, this, [this](const QString &message) { fail(message); });
    connect(&m_process, &BaresipProcess::finished, this, &BaresipCall::finish);
    connect(&m_setupTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("センターが %1 秒以内に応答しませんでした。").arg(m_setupTimer.interval() / 1000));
    });
    connect(&m_digitTimer, &QTimer::timeout, this, &BaresipCall::digitsPlayed);
}

void BaresipCall::call(const Account &account, const QString &number)
{
    start(account, number, false);
}

void BaresipCall::registerAccount(const Account &account)
{
    start(account, {}, true);
}

void BaresipCall::start(const Account &account, const QString &number, bool registerOnly)
{
    if (m_state != State::Idle)
        return;
    m_registerOnly = registerOnly;
    QString problem = baresip::checkAccount(account.user, account.server, account.password, account.proxy);
    m_uri = registerOnly ? QString() : baresip::dialUri(account.server, number);
    if (problem.isEmpty() && m_uri.isEmpty() && !registerOnly)
        problem = QStringLiteral("センターの電話番号「%1」に数字がありません。").arg(number);
    const QString modules = baresip::modulePath();
    if (problem.isEmpty() && modules.isEmpty())
        problem = QStringLiteral(
            "baresip のモジュール（stdio.so）が見つかりません。baresip-core をインストールしてください。");
    const QString bind = baresip::localAddressFor(account.proxy.trimmed().isEmpty() ? account.server : account.proxy);
    const std::optional<baresip::Ports> ports = baresip::freePorts(bind);
    if (problem.isEmpty() && !ports)
        problem = QStringLiteral("SIP に使える空きポートが見つかりません。");
    m_state = State::Starting;
    if (!problem.isEmpty()) {
        // Reported from the event loop, as every other failure is.
        QTimer::singleShot(0, this, [this, problem] {
            emit failed(problem, false, true);
            m_state = State::Idle;
            emit ended();
        });
        return;
    }
    m_registering = !account.password.isEmpty();
    m_registered = false;
    m_setupTimer.start();
    m_process.start(baresip::configText(*ports, bind, modules),
                    baresip::accountLine(account.user, account.server, m_registering, account.transport, account.proxy),
                    account.password.toUtf8());
}

namespace
{

// The server's answer turns the credentials down: 401 or 407 after the engine had
// answered the challenge, or 403.
bool refusesAccount(const QString &answer)
{
    return answer.startsWith(QLatin1String("401 ")) || answer.startsWith(QLatin1String("403 ")) ||
           answer.startsWith(QLatin1String("407 "));
}

} // namespace

void BaresipCall::onReady()
{
    if (m_state != State::Starting)
        return;
    if (!m_registering || m_registered) {
        dialOrEnd();
        return;
    }
    m_state = State::Registering; // the server's answer follows
}

// Registered (or nothing to register): the call dials; a registration alone is over.
void BaresipCall::dialOrEnd()
{
    if (!m_registerOnly) {
        dial();
        return;
    }
    m_setupTimer.stop();
    m_state = State::HangingUp;
    emit registered();
    m_process.stop();
}

void BaresipCall::dial()
{
    m_state = State::Dialling;
    m_process.command(QStringLiteral("dial"), m_uri);
}

void BaresipCall::onEvent(baresip::Event type, const QString &, const QString &detail)
{
    using baresip::Event;
    switch (type) {
    case Event::Registered:
        if (m_state == State::Registering)
            dialOrEnd();
        else if (m_state == State::Starting)
            m_registered = true;
        break;
    case Event::RegisterFailed:
        if (m_state == State::Registering || m_state == State::Starting)
            fail(QStringLiteral("SIP サーバーへの登録に失敗しました: %1").arg(detail), refusesAccount(detail));
        break;
    case Event::Ringing:
        if (m_state == State::Dialling)
            emit ringing();
        break;
    case Event::Established:
        if (m_state == State::Dialling) {
            m_setupTimer.stop();
            m_state = State::Up;
            m_process.command(QStringLiteral("mute")); // the tone source falls silent; digits go on
            emit established();
        }
        break;
    case Event::Closed:
    case Event::Terminated:
        if (m_state == State::Dialling) {
            fail(QStringLiteral("センターにつながりません: %1")
                     .arg(detail.isEmpty() || type == Event::Terminated ? QStringLiteral("切られました") : detail),
                 type == Event::Closed && refusesAccount(detail));
        } else if (m_state == State::Up) {
            m_digitTimer.stop();
            m_state = State::HangingUp;
            emit dropped(type == Event::Closed ? detail : QString());
            m_process.stop();
        }
        break;
    default:
        break;
    }
}

void BaresipCall::sendDigits(const QString &digits)
{
    if (m_state != State::Up)
        return;
    const QString keys = baresip::keyDigits(digits);
    if (!keys.isEmpty())
        m_process.command(QStringLiteral("sndcode"), keys);
    // The engine tells nothing when the digits have gone, and a hang-up drops the
    // ones still queued: wait their playing time.
    m_digitTimer.start(baresip::playingTimeMs(keys.size()));
}

void BaresipCall::hangUp()
{
    m_setupTimer.stop();
    m_digitTimer.stop();
    if (m_state == State::Idle || m_state == State::HangingUp)
        return;
    const bool inCall = m_state == State::Dialling || m_state == State::Up;
    m_state = State::HangingUp;
    if (inCall)
        m_process.command(QStringLiteral("hangup"));
    m_process.stop();
}

void BaresipCall::fail(const QString &message, bool accountRefused)
{
    if (m_state == State::Idle || m_state == State::HangingUp)
        return;
    m_setupTimer.stop();
    m_digitTimer.stop();
    const bool inCall = m_state == State::Dialling || m_state == State::Up;
    m_state = State::HangingUp;
    emit failed(message, accountRefused, !inCall);
    if (inCall)
        m_process.command(QStringLiteral("hangup"));
    m_process.stop();
}

void BaresipCall::finish()
{
    m_setupTimer.stop();
    m_digitTimer.stop();
    m_state = State::Idle;
    emit ended();
}
