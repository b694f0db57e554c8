#include "modem/commandchannel.h"

#include "encoding/cp932.h"
#include "modem/serialport.h"
#include "modem/waiter.h"
#include "store/appdata.h"

#include <QtMath>

namespace
{

constexpr int LinkCable = 6;

QByteArray command(const QString &text)
{
    return cp932::encode(text + QLatin1Char('\r'));
}

CallStep waitStep(const QString &text)
{
    return {command(text), true, false};
}

} // namespace

CommandChannel::CommandChannel(const Settings &settings, SerialPort &port, Waiter &waiter)
    : m_settings(settings), m_port(port), m_waiter(waiter)
{
}

QString CommandChannel::speakerPart(const Settings &s)
{
    if (s.SpeakerOff == 1)
        return QStringLiteral("M0");
    return QStringLiteral("M1L%1").arg(s.SpeakerVolume);
}

QString CommandChannel::pulseSpeedPart(const Settings &s)
{
    if (s.TonePulse != QLatin1String("P"))
        return {};
    return QStringLiteral("&P%1").arg(s.DialSpeed / 10);
}

QString CommandChannel::outsideLinePart(const Settings &s)
{
    return s.OutsideOn == 1 ? s.OutSide + QLatin1Char(',') : QString();
}

QString CommandChannel::lineSettings(int modemKind)
{
    return modemKind == LinkCable ? QStringLiteral("600,e,8,1") : QStringLiteral("9600,n,8,1");
}

QList<CallStep> CommandChannel::callSteps(const Settings &s, const QString &number)
{
    const QString speaker = speakerPart(s);
    const QString pulse = pulseSpeedPart(s);
    const QString outside = outsideLinePart(s);
    QList<CallStep> extra;
    if (!s.ExCommand.isEmpty())
        extra << waitStep(QStringLiteral("AT") + s.ExCommand);
    QList<CallStep> steps;
    switch (s.ModemKind) {
    case 0:
        steps << waitStep(QStringLiteral("ATZ"))
              << waitStep(QStringLiteral("ATE0") + speaker + QStringLiteral("Q0V1X4&C1") + s.TonePulse + pulse) << extra
              << CallStep{command(QStringLiteral("ATD") + outside + number + QStringLiteral("T;"))};
        break;
    case 1:
        steps << waitStep(QStringLiteral("AT")) << waitStep(QStringLiteral("ATZ"))
              << waitStep(QStringLiteral("ATE0V1Q0")) << waitStep(QStringLiteral("ATX4&C1") + pulse)
              << waitStep(QStringLiteral("AT") + speaker) << extra
              << CallStep{command(QStringLiteral("ATH1")), true, true}
              << CallStep{command(QStringLiteral("ATD") + s.TonePulse + QLatin1Char(';')), true, true}
              << CallStep{command(QStringLiteral("ATD") + s.TonePulse + outside + number + QStringLiteral("T;"))};
        break;
    case 2:
        steps << waitStep(QStringLiteral("ATE0Q0V1")) << extra
              << CallStep{command(QStringLiteral("ATD") + number + QLatin1Char('V'))};
        break;
    case 3:
        steps << waitStep(QStringLiteral("ATE0Q0V1")) << extra
              << CallStep{command(QStringLiteral("ATDV") + number + QLatin1Char(';'))};
        break;
    case 4:
        steps << waitStep(QStringLiteral("ATE0M1Q0V1X4")) << extra << CallStep{command(QStringLiteral("ATD") + number)};
        break;
    case 5:
        steps << waitStep(QStringLiteral("ATE0Q0V1X4")) << extra
              << CallStep{command(QStringLiteral("ATD") + outside + number + QStringLiteral("#;"))};
        break;
    case LinkCable:
        steps << CallStep{QByteArray(1, char(0xA7)), false, true};
        for (const QByteArray &key : dialWrites(LinkCable, number))
            steps << CallStep{key};
        steps << CallStep{QByteArray(1, char(0x86))};
        break;
    case 7:
        steps << waitStep(QStringLiteral("AT") + speaker + QStringLiteral("Q0V1X4") + s.TonePulse + pulse)
              << CallStep{command(QStringLiteral("ATH1")), true, true}
              << CallStep{command(QStringLiteral("ATD") + outside + number + QStringLiteral("T;"))};
        break;
    default:
        break;
    }
    return steps;
}

int CommandChannel::linkKey(QChar ch)
{
    if (ch >= QLatin1Char('1') && ch <= QLatin1Char('9'))
        return 0x90 + ch.unicode() - '0';
    if (ch == QLatin1Char('0'))
        return 0x9A;
    if (ch == QLatin1Char('*'))
        return 0x9B;
    if (ch == QLatin1Char('#'))
        return 0x9C;
    return -1;
}

QList<QByteArray> CommandChannel::dialWrites(int modemKind, const QString &digits)
{
    switch (modemKind) {
    case 0:
    case 1:
    case 5:
    case 7:
        return {command(QStringLiteral("ATD") + digits + QLatin1Char(';'))};
    case 2:
        return {command(QStringLiteral("ATD") + digits + QLatin1Char('V'))};
    case 3:
        return {command(QStringLiteral("ATDV") + digits + QLatin1Char(';'))};
    case 4:
        return {command(QStringLiteral("ATD") + digits)};
    case LinkCable: {
        QList<QByteArray> keys;
        for (QChar ch : digits) {
            const int key = linkKey(ch);
            if (key >= 0)
                keys << QByteArray(1, char(key));
        }
        return keys;
    }
    default:
        return {};
    }
}

void CommandChannel::CallCenter(const QString &number)
{
    const int kind = m_settings.ModemKind;
    m_port.setPortNumber(m_settings.PortNumber);
    m_port.setSettings(lineSettings(kind));
    m_port.setInputMode(kind == LinkCable ? SerialPort::Binary : SerialPort::Text);
    m_port.setPortOpen(true);
    for (const CallStep &step : callSteps(m_settings, number)) {
        m_port.output(step.bytes);
        if (step.waitOk)
            WaitForOk(0);
        if (step.pause)
            WaitSeconds(1);
    }
}

void CommandChannel::DialDigits(const QString &digits)
{
    for (const QByteArray &bytes : dialWrites(m_settings.ModemKind, digits))
        m_port.output(bytes);
}

void CommandChannel::SendLinkKeys(const QString &digits)
{
    for (const QByteArray &bytes : dialWrites(LinkCable, digits))
        m_port.output(bytes);
}

void CommandChannel::WaitSeconds(double seconds)
{
    if (seconds <= 0)
        return;
    const qint64 end = m_waiter.now() + qCeil(seconds * 1000);
    for (qint64 left = end - m_waiter.now(); left > 0 && m_port.isOpen(); left = end - m_waiter.now())
        m_waiter.waitFor(&m_port, left, {});
}

CommandChannel::Answer CommandChannel::scanAnswer(QByteArray &buffer, QByteArrayView received)
{
    buffer += received;
    if (buffer.contains("NO CARRIER"))
        return Answer::NoCarrier;
    if (buffer.contains("OK\r"))
        return Answer::Ok;
    if (buffer.size() > ResponseTail)
        buffer.remove(0, buffer.size() - ResponseTail);
    return Answer::None;
}

// Reads what came and says whether the wait is over.
bool CommandChannel::readAnswer(QByteArray &buffer, bool &noCarrier)
{
    if (!m_port.isOpen())
        return true;
    const Answer answer = scanAnswer(buffer, m_port.input());
    noCarrier = answer == Answer::NoCarrier;
    return answer != Answer::None;
}

void CommandChannel::WaitForOk(double seconds)
{
    if (m_settings.OkCheckNo == 1 || m_settings.ModemKind == LinkCable) {
        WaitSeconds(seconds);
        return;
    }
    QByteArray buffer;
    bool noCarrier = false;
    m_waiter.waitFor(&m_port, -1, [&] { return readAnswer(buffer, noCarrier); });
    if (noCarrier && m_noCarrier)
        m_noCarrier();
}
