#include "modem/baresipcall.h"

#include "modem/baresipconfig.h"

BaresipCall::BaresipCall(QObject *parent) : QObject(parent)
{
    m_setupTimer.setSingleShot(true);
    m_setupTimer.setInterval(SetupTimeoutMs);
    m_digitTimer.setSingleShot(true);
    connect(&m_process, &BaresipProcess::ready, this, &BaresipCall::onReady);
    connect(&m_process, &BaresipProcess::event, this, &BaresipCall::onEvent);
    connect(&m_process, &BaresipProcess::response, this, &BaresipCall::onResponse);
    connect(&m_process, &BaresipProcess::output, this, &BaresipCall::onOutput);
    connect(&m_process, &BaresipProcess::failed, this, &BaresipCall::fail);
    connect(&m_process, &BaresipProcess::finished, this, &BaresipCall::finish);
    connect(&m_setupTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("センターが %1 秒以内に応答しませんでした。").arg(m_setupTimer.interval() / 1000));
    });
    connect(&m_digitTimer, &QTimer::timeout, this, &BaresipCall::digitsPlayed);
}

void BaresipCall::call(const Account &account, const QString &number)
{
    if (m_state != State::Idle)
        return;
    QString problem = baresip::checkAccount(account.user, account.server, account.password);
    m_uri = baresip::dialUri(account.server, number);
    if (problem.isEmpty() && m_uri.isEmpty())
        problem = QStringLiteral("センターの電話番号「%1」に数字がありません。").arg(number);
    const QString modules = baresip::modulePath();
    if (problem.isEmpty() && modules.isEmpty())
        problem = QStringLiteral(
            "baresip のモジュール（ctrl_tcp.so）が見つかりません。baresip-core をインストールしてください。");
    const QString bind = baresip::localAddressFor(account.server);
    const std::optional<baresip::Ports> ports = baresip::freePorts(bind);
    if (problem.isEmpty() && !ports)
        problem = QStringLiteral("SIP に使える空きポートが見つかりません。");
    m_state = State::Starting;
    if (!problem.isEmpty()) {
        // Reported from the event loop, as every other failure is.
        QTimer::singleShot(0, this, [this, problem] {
            emit failed(problem);
            m_state = State::Idle;
            emit ended();
        });
        return;
    }
    m_registering = !account.password.isEmpty();
    m_askedRegistration = false;
    m_registerFailure.clear();
    m_setupTimer.start();
    m_process.start(baresip::configText(*ports, bind, modules),
                    baresip::accountLine(account.user, account.server, m_registering), ports->control,
                    m_registering ? account.password.toUtf8() + '\n' : QByteArray());
}

void BaresipCall::onReady()
{
    if (m_state != State::Starting)
        return;
    if (!m_registering) {
        dial();
        return;
    }
    // The registration may have ended before the control socket was there, its
    // event unseen: ask for its state; a pending one still reports by event.
    m_state = State::Registering;
    m_askedRegistration = true;
    m_process.command(QStringLiteral("reginfo"));
}

void BaresipCall::dial()
{
    m_state = State::Dialling;
    m_process.command(QStringLiteral("dial"), m_uri);
}

void BaresipCall::onResponse(bool ok, const QString &data)
{
    if (m_state == State::Registering && m_askedRegistration) {
        m_askedRegistration = false;
        // One line per account: "> sip:user@host  OK ..." or "ERR", "zzz" while pending.
        if (data.contains(QLatin1String(" OK ")))
            dial();
        else if (data.contains(QLatin1String("ERR")))
            fail(QStringLiteral("SIP サーバーへの登録に失敗しました: %1")
                     .arg(m_registerFailure.isEmpty() ? QStringLiteral("理由は不明です") : m_registerFailure));
        return;
    }
    if (m_state == State::Dialling && !ok)
        fail(QStringLiteral("発信できません: %1").arg(data.trimmed()));
}

void BaresipCall::onOutput(const QString &line)
{
    // "reg: sip:user@host: 401 Unauthorized (server)"
    if (line.startsWith(QLatin1String("reg: "))) {
        const qsizetype cut = line.indexOf(QLatin1String(": "), 5);
        m_registerFailure = line.mid(cut < 0 ? 5 : cut + 2).section(QLatin1String(" ("), 0, 0).trimmed();
    }
}

void BaresipCall::onEvent(const QString &type, const QString &param)
{
    if (type == QLatin1String("REGISTER_OK")) {
        if (m_state == State::Registering)
            dial();
    } else if (type == QLatin1String("REGISTER_FAIL")) {
        if (m_state == State::Registering || m_state == State::Starting)
            fail(QStringLiteral("SIP サーバーへの登録に失敗しました: %1").arg(param));
    } else if (type == QLatin1String("CALL_RINGING")) {
        if (m_state == State::Dialling)
            emit ringing();
    } else if (type == QLatin1String("CALL_ESTABLISHED")) {
        if (m_state == State::Dialling) {
            m_setupTimer.stop();
            m_state = State::Up;
            m_process.command(QStringLiteral("mute")); // the tone source falls silent; digits go on
            emit established();
        }
    } else if (type == QLatin1String("CALL_CLOSED")) {
        if (m_state == State::Dialling) {
            fail(QStringLiteral("センターにつながりません: %1").arg(param));
        } else if (m_state == State::Up) {
            m_digitTimer.stop();
            m_state = State::HangingUp;
            emit dropped(param);
            m_process.stop();
        }
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

void BaresipCall::fail(const QString &message)
{
    if (m_state == State::Idle || m_state == State::HangingUp)
        return;
    m_setupTimer.stop();
    m_digitTimer.stop();
    const bool inCall = m_state == State::Dialling || m_state == State::Up;
    m_state = State::HangingUp;
    emit failed(message);
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
