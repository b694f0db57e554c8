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
    // A dead call may stay open while the next one comes: room for a few.
    m_engine.start(baresip::configText(*ports, loopback, baresip::modulePath(), 4), account);
}

void SipCentre::onEvent(baresip::Event type, const QString &subject, const QString &detail)
{
    using baresip::Event;
    if (type == Event::Closed || type == Event::Terminated) {
        // A call's end may be told twice, by "session closed" and by "terminated", one
        // right after the other and in either order: the second tells nothing new.
        const QString peer = type == Event::Closed ? subject : detail;
        if (peer == std::exchange(m_lastEnded, QString()))
            return;
        m_lastEnded = peer;
        close(peer);
        return;
    }
    m_lastEnded.clear();
    if (type == Event::Established) {
        m_calls.append({detail, {}, false});
    } else if (type == Event::DigitReceived && !m_calls.isEmpty()) {
        Call &call = m_calls.last();
        call.digits += detail;
        if (m_hangUpAfter > 0 && call.digits.size() == m_hangUpAfter) {
            call.dropped = true;
            m_engine.command(QStringLiteral("hangup"));
        }
    }
}

// The newest open call with that far end has ended.
void SipCentre::close(const QString &peer)
{
    for (qsizetype i = m_calls.size() - 1; i >= 0; --i) {
        if (m_calls[i].peer != peer)
            continue;
        const Call call = m_calls.takeAt(i);
        CallRecord record = parseCall(m_number, call.digits);
        record.dropped = call.dropped;
        if (callEnded)
            callEnded(call.digits, record);
        return;
    }
}
