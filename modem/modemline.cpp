#include "modem/modemline.h"

#include "modem/serialport.h"
#include "store/appdata.h"

#include <QtMath>

ModemLine::ModemLine(const Settings &settings, SerialPort &port, Waiter &waiter, QObject *parent)
    : Line(parent), m_settings(settings), m_port(port), m_waiter(waiter)
{
    connect(&port, &WaitSource::readyRead, this, &WaitSource::readyRead);
    connect(&port, &WaitSource::closed, this, &WaitSource::closed);
}

const DeviceRules &ModemLine::rules() const
{
    return deviceRules(m_settings.ModemKind);
}

bool ModemLine::isOpen() const
{
    return m_port.isOpen();
}

QCoro::Task<> ModemLine::call(const QString &number)
{
    m_port.setPortNumber(m_settings.PortNumber);
    m_port.setSettings(QString::fromLatin1(rules().lineSettings));
    m_port.setPortOpen(true);
    for (const CallStep &step : rules().callSteps(m_settings, number)) {
        m_port.output(step.bytes);
        if (step.waitOk)
            co_await awaitOk(0);
        if (step.pause)
            co_await pause(1);
    }
}

QCoro::Task<> ModemLine::dial(const QString &digits)
{
    for (const QByteArray &bytes : rules().dialWrites(digits))
        m_port.output(bytes);
    co_return;
}

QCoro::Task<> ModemLine::pause(double seconds)
{
    if (seconds <= 0)
        co_return;
    const qint64 end = m_waiter.now() + qCeil(seconds * 1000);
    for (qint64 left = end - m_waiter.now(); left > 0 && m_port.isOpen(); left = end - m_waiter.now())
        co_await m_waiter.wait(&m_port, left);
}

ModemLine::Answer ModemLine::scanAnswer(QByteArray &buffer, QByteArrayView received)
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

QCoro::Task<> ModemLine::awaitOk(double seconds)
{
    if (m_settings.OkCheckNo == 1 || !rules().answersOk) {
        co_await pause(seconds);
        co_return;
    }
    QByteArray buffer;
    Answer answer = Answer::None;
    co_await m_waiter.wait(&m_port, -1, [&] {
        if (!m_port.isOpen())
            return true;
        answer = scanAnswer(buffer, m_port.input());
        return answer != Answer::None;
    });
    if (answer == Answer::NoCarrier)
        emit noCarrier();
}

void ModemLine::hangUp()
{
    hangUpPort(m_port, m_settings.ModemKind);
}

void hangUpPort(SerialPort &port, int storedDeviceKind)
{
    if (!port.isOpen())
        return;
    port.output(deviceRules(storedDeviceKind).hangUp);
    port.drain();
    port.setPortOpen(false);
}
