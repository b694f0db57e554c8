#pragma once

#include "modem/line.h"

#include <QByteArrayView>
#include <optional>

struct Settings;
class SerialPort;

// The line of the device kinds on a serial port: the port opened on PortNumber with
// the kind's line settings, its command strings and key bytes, and the wait for "OK".
class ModemLine : public Line
{
    Q_OBJECT
public:
    ModemLine(const Settings &settings, SerialPort &port, Waiter &waiter, QObject *parent = nullptr);
    ~ModemLine() override;

    bool isOpen() const override;
    QCoro::Task<> call(const QString &number) override;
    QCoro::Task<> dial(const QString &digits) override;
    QCoro::Task<> awaitOk(double seconds) override;
    void hangUp() override;
    void hangUpForExit() override;
    QString name() const override;
    // "AT", and for a module "AT+CREG?" too; never lets ModemManager go of the port.
    QCoro::Task<> check() override;
    // The registration a module reports in its answer to "AT+CREG?": true for 1 (home) or
    // 5 (roaming), false for another state, nullopt when the answer has none.
    static std::optional<bool> registered(QByteArrayView answer);

    // The most of a response the wait keeps once it has looked at it: enough of its
    // tail to find the longest answer ("NO DIALTONE" + CR) split across reads.
    static constexpr int ResponseTail = 11;

    // What the wait for "OK" makes of the device's answer so far. The answers after
    // NoCarrier refuse the call; only unattended sending acts on them.
    enum class Answer { None, Ok, NoCarrier, Error, Busy, NoDialtone, NoAnswer };
    // Appends what came to buffer and looks for "NO CARRIER" (first), "OK" + CR, then
    // the refusals (each + CR). With none, buffer is cut to its last ResponseTail bytes,
    // so a device that talks without end never grows it.
    static Answer scanAnswer(QByteArray &buffer, QByteArrayView received);
    // The answer as the device writes it ("NO DIALTONE"); empty for None and Ok.
    static QString answerText(Answer answer);

private:
    const DeviceKindRow &rules() const;
    QCoro::Task<> open(bool inhibit);
    QCoro::Task<QByteArray> ask(const QByteArray &command);
    void write(const QByteArray &bytes);
    QByteArray received();
    QCoro::Task<> awaitAnswer(double seconds, bool setUp);
    [[noreturn]] void endOnAnswer(const QString &why, bool deviceFault);
    QString silentText(qint64 limitMs) const;
    QCoro::Task<> closeAfterHangUp();
    void giveBack();

    const Settings &m_settings;
    SerialPort &m_port;
    qsizetype m_lastDigits = 0; // the touch-tone digits of the last write
    // A hang-up awaits the device's answer (ERROR asks for the second command) before
    // the port closes; meanwhile the line counts as closed.
    bool m_closing = false;
    // The modem ModemManager let go of for this call (InhibitModemManager=1): its device,
    // given back when the port closes.
    QString m_inhibited;
};

// When the port is open: writes the kind's hang-up command, lets it leave at the call's line
// settings and closes the port. No answer is awaited.
void hangUpPort(SerialPort &port, int storedDeviceKind);
