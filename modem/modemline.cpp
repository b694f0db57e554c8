#include "modem/modemline.h"

#include "modem/serialport.h"
#include "store/appdata.h"
#include "store/apperror.h"

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
    return m_port.isOpen() && !m_closing;
}

void ModemLine::write(const QByteArray &bytes)
{
    if (m_closing)
        throw AppError(ErrorCode::PortNotOpen, QStringLiteral("MSComm"), QStringLiteral("ポートが開かれていません。"));
    m_port.output(bytes);
}

QCoro::Task<> ModemLine::call(const QString &number)
{
    // A hang-up still waiting for the device's answer finishes first.
    if (m_closing)
        co_await m_waiter.wait(&m_port, -1, [this] { return !m_closing; });
    m_port.setPortNumber(m_settings.PortNumber);
    m_port.setSettings(QString::fromLatin1(rules().lineSettings));
    m_port.setPortOpen(true);
    for (const CallStep &step : rules().callSteps(m_settings, number)) {
        write(step.bytes);
        if (step.waitOk)
            co_await awaitOk(0);
        if (step.pause)
            co_await pause(1);
    }
}

QCoro::Task<> ModemLine::dial(const QString &digits)
{
    const QList<QByteArray> writes = rules().dialWrites(digits);
    for (qsizetype i = 0; i < writes.size(); ++i) {
        // A paced device takes the next key once it has played the one before; where its
        // answers are not looked at, the key's tone and gap stand for the answer.
        if (i > 0 && rules().keysPaced)
            co_await awaitOk((m_settings.ToneLength + m_settings.ToneGap) / 1000.0);
        write(writes[i]);
    }
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
    if (rules().hangUpOnError.isEmpty() || !m_port.isOpen() || m_closing) {
        hangUpPort(m_port, m_settings.ModemKind);
        return;
    }
    m_port.output(rules().hangUp);
    m_closing = true;
    closeAfterHangUp();
}

// The answer to the hang-up (a few seconds at most): "ERROR" asks for the second
// hang-up command; then the port closes.
QCoro::Task<> ModemLine::closeAfterHangUp()
{
    constexpr int AnswerMs = 3000;
    QByteArray answer;
    const qint64 end = m_waiter.now() + AnswerMs;
    const auto answered = [&] {
        if (m_port.isOpen())
            answer += m_port.input();
        return !m_port.isOpen() || answer.contains("OK\r") || answer.contains("ERROR");
    };
    for (qint64 left = AnswerMs; left > 0 && !answered(); left = end - m_waiter.now())
        co_await m_waiter.wait(&m_port, left, answered);
    try {
        if (m_port.isOpen() && answer.contains("ERROR")) {
            m_port.output(rules().hangUpOnError);
            answer.clear();
            for (qint64 left = AnswerMs; left > 0 && !answered(); left = end + AnswerMs - m_waiter.now())
                co_await m_waiter.wait(&m_port, left, answered);
        }
        m_closing = false;
        m_port.setPortOpen(false);
    } catch (const AppError &) {
        // The device went away meanwhile: closed all the same.
        m_closing = false;
    }
}

// The program ends and cannot wait for an answer: both hang-up commands go out at once.
void ModemLine::hangUpForExit()
{
    m_closing = false;
    if (rules().hangUpOnError.isEmpty() || !m_port.isOpen()) {
        hangUpPort(m_port, m_settings.ModemKind);
        return;
    }
    m_port.output(rules().hangUp + rules().hangUpOnError);
    m_port.setPortOpen(false);
}

void hangUpPort(SerialPort &port, int storedDeviceKind)
{
    if (!port.isOpen())
        return;
    port.output(deviceRules(storedDeviceKind).hangUp);
    port.drain();
    port.setPortOpen(false);
}
