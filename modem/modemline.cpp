#include "modem/modemline.h"

#include "modem/linelog.h"
#include "modem/managedport.h"
#include "modem/serialport.h"
#include "store/appdata.h"
#include "store/apperror.h"

ModemLine::ModemLine(const Settings &settings, SerialPort &port, Waiter &waiter, QObject *parent)
    : Line(waiter, parent), m_settings(settings), m_port(port)
{
    connect(&port, &WaitSource::readyRead, this, &WaitSource::readyRead);
    connect(&port, &WaitSource::closed, this, &WaitSource::closed);
    connect(&port, &WaitSource::closed, this, &ModemLine::giveBack);
}

ModemLine::~ModemLine()
{
    managedports::release(m_inhibited);
}

void ModemLine::giveBack()
{
    if (m_inhibited.isEmpty())
        return;
    if (m_log)
        m_log->event(QStringLiteral("ModemManager: InhibitDevice(%1, false)").arg(m_inhibited));
    managedports::release(std::exchange(m_inhibited, QString()));
}

const DeviceKindRow &ModemLine::rules() const
{
    return deviceRules(m_settings.ModemKind);
}

bool ModemLine::isOpen() const
{
    return m_port.isOpen() && !m_closing;
}

QString ModemLine::name() const
{
    return QStringLiteral("COM%1").arg(m_settings.PortNumber);
}

void ModemLine::write(const QByteArray &bytes)
{
    if (m_closing)
        throw AppError(Failure::PortNotOpen, QStringLiteral("MSComm"), QStringLiteral("ポートが開かれていません。"));
    m_port.output(bytes);
    m_lastDigits = digitCount(bytes);
    if (m_log)
        m_log->written(bytes);
}

QCoro::Task<> ModemLine::call(const QString &number)
{
    co_await open(m_settings.InhibitModemManager);
    const QList<CallStep> steps = rules().callSteps ? rules().callSteps(m_settings, number) : QList<CallStep>();
    for (const CallStep &step : steps) {
        write(step.bytes);
        if (step.waitOk)
            co_await awaitAnswer(0, true);
        if (step.pause)
            co_await pause(1);
    }
}

QCoro::Task<> ModemLine::check()
{
    co_await open(false);
    std::optional<AppError> failed;
    try {
        co_await ask(atcommand::command(QStringLiteral("AT")));
        if (rules().check == IdleCheck::AtRegistered) {
            const std::optional<bool> on = registered(co_await ask(QByteArrayLiteral("AT+CREG?\r")));
            if (on != true)
                throw AppError(Failure::DeviceFailed, QStringLiteral("MSComm"),
                               on ? QStringLiteral("モジュールが携帯電話網に登録されていません。")
                                  : QStringLiteral("モジュールが AT+CREG? に登録の状態を答えませんでした。"));
        }
    } catch (const AppError &error) {
        failed = error;
    }
    m_port.setPortOpen(false);
    if (failed)
        throw *failed;
}

std::optional<bool> ModemLine::registered(QByteArrayView answer)
{
    const QByteArray text = answer.toByteArray();
    const qsizetype at = text.indexOf("+CREG:");
    if (at < 0)
        return std::nullopt;
    // "+CREG: <n>,<stat>[,...]": the state is the second field.
    const QList<QByteArray> fields = text.mid(at + 6).split('\r').value(0).split(',');
    bool ok = false;
    const int stat = fields.value(1).trimmed().toInt(&ok);
    if (!ok)
        return std::nullopt;
    return stat == 1 || stat == 5;
}

// What the device sent since the last look, recorded in the line log.
QByteArray ModemLine::received()
{
    const QByteArray bytes = m_port.input();
    if (m_log && !bytes.isEmpty())
        m_log->read(bytes);
    return bytes;
}

// Writes a command and returns what the device answered up to its "OK"; an "ERROR" or
// silence beyond the answer limit throws DeviceFailed.
QCoro::Task<QByteArray> ModemLine::ask(const QByteArray &command)
{
    write(command);
    QByteArray answer;
    const qint64 limit = answerLimitMs(0);
    co_await m_waiter.wait(&m_port, limit, [&] {
        if (!m_port.isOpen())
            return true;
        answer += received();
        return answer.contains("OK\r") || answer.contains("ERROR");
    });
    if (answer.contains("ERROR"))
        endOnAnswer(QStringLiteral("機器が %1 に ERROR と答えました。").arg(QString::fromLatin1(command.trimmed())),
                    true);
    if (!answer.contains("OK\r"))
        endOnAnswer(silentText(limit < 0 ? 0 : limit), true);
    co_return answer;
}

// Opens the port with the kind's line settings; inhibit: ModemManager lets go of the
// device first (InhibitModemManager=1). A port another program holds throws 8005, naming
// ModemManager when it is the holder.
QCoro::Task<> ModemLine::open(bool inhibit)
{
    // A hang-up still waiting for the device's answer finishes first.
    if (m_closing)
        co_await m_waiter.wait(&m_port, -1, [this] { return !m_closing; });
    m_port.setPortNumber(m_settings.PortNumber);
    m_port.setSettings(QString::fromLatin1(rules().lineSettings));
    const QString device = m_port.device();
    if (inhibit && m_inhibited.isEmpty() && !device.isEmpty()) {
        m_inhibited = co_await managedports::inhibit(m_waiter, device);
        if (m_log && !m_inhibited.isEmpty())
            m_log->event(QStringLiteral("ModemManager: InhibitDevice(%1, true)").arg(m_inhibited));
    }
    std::optional<AppError> held;
    try {
        m_port.setPortOpen(true);
    } catch (const AppError &error) {
        // Inhibited, or asked to be, and held all the same: someone else holds it.
        const bool inhibiting = inhibit;
        giveBack();
        if (error.failure() != Failure::PortInUse || device.isEmpty() || inhibiting)
            throw;
        held = error;
    }
    // Held by another program: say so when it is ModemManager, and how to keep it away.
    if (held) {
        const std::optional<ManagedPort> modem = co_await managedports::find(m_waiter, device);
        if (!modem)
            throw *held;
        throw AppError(Failure::PortInUse, held->source(), managedports::heldText(device, *modem));
    }
    if (const QString opened = m_port.deviceText(); m_log && !opened.isEmpty())
        m_log->event(QStringLiteral("device: ") + opened);
}

QCoro::Task<> ModemLine::dial(const QString &digits)
{
    const QList<QByteArray> writes = rules().dialWrites ? rules().dialWrites(digits) : QList<QByteArray>();
    for (qsizetype i = 0; i < writes.size(); ++i) {
        // A paced device takes the next key once it has played the one before; where its
        // answers are not looked at, the key's tone and gap stand for the answer.
        if (i > 0 && rules().keysPaced)
            co_await awaitOk((m_settings.ToneLength + m_settings.ToneGap) / 1000.0);
        write(writes[i]);
    }
}

ModemLine::Answer ModemLine::scanAnswer(QByteArray &buffer, QByteArrayView received)
{
    static const struct {
        const char *text;
        Answer answer;
    } Answers[] = {
        {"NO CARRIER", Answer::NoCarrier},
        {"OK\r", Answer::Ok},
        {"ERROR\r", Answer::Error},
        {"BUSY\r", Answer::Busy},
        {"NO DIALTONE\r", Answer::NoDialtone},
        {"NO ANSWER\r", Answer::NoAnswer},
    };
    buffer += received;
    for (const auto &a : Answers)
        if (buffer.contains(a.text))
            return a.answer;
    if (buffer.size() > ResponseTail)
        buffer.remove(0, buffer.size() - ResponseTail);
    return Answer::None;
}

QString ModemLine::answerText(Answer answer)
{
    switch (answer) {
    case Answer::None:
    case Answer::Ok:
        return {};
    case Answer::NoCarrier:
        return QStringLiteral("NO CARRIER");
    case Answer::Error:
        return QStringLiteral("ERROR");
    case Answer::Busy:
        return QStringLiteral("BUSY");
    case Answer::NoDialtone:
        return QStringLiteral("NO DIALTONE");
    case Answer::NoAnswer:
        return QStringLiteral("NO ANSWER");
    }
    return {};
}

QCoro::Task<> ModemLine::awaitOk(double seconds)
{
    co_await awaitAnswer(seconds, false);
}

// The wait for "OK". With a person there a refusing answer is passed over (the person
// hangs up); unattended, it ends the call, as does a device silent beyond the limit.
QCoro::Task<> ModemLine::awaitAnswer(double seconds, bool setUp)
{
    const bool checked = m_settings.OkCheckNo != 1 || (setUp && unattended());
    if (!checked || !rules().answersOk) {
        co_await pause(seconds);
        co_return;
    }
    QByteArray buffer;
    Answer answer = Answer::None;
    const qint64 limit = answerLimitMs(m_lastDigits);
    co_await m_waiter.wait(&m_port, limit, [&] {
        if (!m_port.isOpen())
            return true;
        answer = scanAnswer(buffer, received());
        if (answer == Answer::Ok || answer == Answer::NoCarrier)
            return true;
        if (answer != Answer::None && !unattended()) {
            buffer.clear(); // a refusal a person sees for themselves
            answer = Answer::None;
        }
        return answer != Answer::None;
    });
    if (answer == Answer::NoCarrier)
        emit noCarrier();
    else if (answer != Answer::None && answer != Answer::Ok)
        endOnAnswer(QStringLiteral("機器が %1 と答えました。").arg(answerText(answer)),
                    answer == Answer::NoDialtone || (answer == Answer::Error && setUp));
    else if (answer == Answer::None && limit >= 0 && isOpen())
        endOnAnswer(silentText(limit), true);
}

// A silent device named, so that a person sees which one was asked (a COM number without
// its link reaches the built-in port, which is rarely the modem).
QString ModemLine::silentText(qint64 limitMs) const
{
    const QString text = QStringLiteral("機器が %1 秒以内に応答しませんでした").arg(double(limitMs) / 1000);
    const QString device = m_port.deviceText();
    return device.isEmpty() ? text + QStringLiteral("。") : QStringLiteral("%1（%2）。").arg(text, device);
}

// Unattended, an answer that ends the call: it fails with the reason (the engine hangs up).
// A silent device, NO DIALTONE and ERROR to a set-up command are the device's or its
// line's; BUSY, NO ANSWER and ERROR to a dial may be the number's.
void ModemLine::endOnAnswer(const QString &why, bool deviceFault)
{
    throw AppError(deviceFault ? Failure::DeviceFailed : Failure::CallFailed, QStringLiteral("MSComm"), why);
}

void ModemLine::hangUp()
{
    if (m_log && m_port.isOpen())
        m_log->written(rules().hangUp);
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
            answer += received();
        return !m_port.isOpen() || answer.contains("OK\r") || answer.contains("ERROR");
    };
    for (qint64 left = AnswerMs; left > 0 && !answered(); left = end - m_waiter.now())
        co_await m_waiter.wait(&m_port, left, answered);
    try {
        if (m_port.isOpen() && answer.contains("ERROR")) {
            if (m_log)
                m_log->written(rules().hangUpOnError);
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
    if (m_log && m_port.isOpen())
        m_log->written(rules().hangUp + rules().hangUpOnError);
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
