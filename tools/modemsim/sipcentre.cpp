#include "sipcentre.h"

#include "modem/baresipconfig.h"

SipCentre::SipCentre(QObject *parent) : QObject(parent)
{
    connect(&m_engine, &BaresipProcess::ready, this, &SipCentre::ready);
    connect(&m_engine, &BaresipProcess::failed, this, &SipCentre::failed);
    connect(&m_engine, &BaresipProcess::finished, this, &SipCentre::finished);
    connect(&m_engine, &BaresipProcess::event, this, &SipCentre::onEvent);
}

void SipCentre::start(quint16 port, const QString &number, int hangUpAfter)
{
    m_number = number;
    m_hangUpAfter = hangUpAfter;
    const QString loopback = QStringLiteral("127.0.0.1");
    std::optional<baresip::Ports> ports = baresip::freePorts(loopback);
    if (!ports) {
        emit failed(QStringLiteral("no free ports"));
        return;
    }
    ports->sip = port;
    const QByteArray account =
        QStringLiteral("<sip:%1@127.0.0.1:%2>;regint=0;answermode=auto\n").arg(number).arg(port).toUtf8();
    m_engine.start(baresip::configText(*ports, loopback, baresip::modulePath()), account, ports->control);
}

void SipCentre::onEvent(const QString &type, const QString &param, const QString &callId)
{
    if (type == QLatin1String("CALL_ESTABLISHED")) {
        m_calls.insert(callId, {});
    } else if (type == QLatin1String("CALL_DTMF_START") && m_calls.contains(callId)) {
        Call &call = m_calls[callId];
        call.digits += param;
        if (m_hangUpAfter > 0 && call.digits.size() == m_hangUpAfter) {
            call.dropped = true;
            m_engine.command(QStringLiteral("hangup"));
        }
    } else if (type == QLatin1String("CALL_CLOSED") && m_calls.contains(callId)) {
        const Call call = m_calls.take(callId);
        CallRecord record = parseCall(m_number, call.digits);
        record.dropped = call.dropped;
        if (callEnded)
            callEnded(call.digits, record);
    }
}
