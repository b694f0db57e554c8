#include "modem/comport.h"

#include "store/apperror.h"
#include "store/locks.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace
{

const QString Source = QStringLiteral("MSComm");

[[noreturn]] void fail(Failure failure, const QString &description)
{
    throw AppError(failure, Source, description);
}

// "9600,n,8,1" → the QSerialPort line settings; unknown pieces keep their defaults.
struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

LineSettings parseSettings(const QString &text)
{
    LineSettings s;
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() > 0 && parts[0].trimmed().toInt() > 0)
        s.baud = parts[0].trimmed().toInt();
    if (parts.size() > 1) {
        const QString parity = parts[1].trimmed().toLower();
        const QChar p = parity.isEmpty() ? QChar() : parity.front();
        if (p == QLatin1Char('e'))
            s.parity = QSerialPort::EvenParity;
        else if (p == QLatin1Char('o'))
            s.parity = QSerialPort::OddParity;
        else if (p == QLatin1Char('m'))
            s.parity = QSerialPort::MarkParity;
        else if (p == QLatin1Char('s'))
            s.parity = QSerialPort::SpaceParity;
    }
    if (parts.size() > 2) {
        const int bits = parts[2].trimmed().toInt();
        if (bits >= 5 && bits <= 8)
            s.dataBits = QSerialPort::DataBits(bits);
    }
    if (parts.size() > 3 && parts[3].trimmed() == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    return s;
}

QString permissionAdvice(int number, const QString &device)
{
    QString group = QFileInfo(device).group();
    if (group.isEmpty())
        group = QStringLiteral("dialout");
    return QStringLiteral("COM%1（%2）を開く権限がありません。\n"
                          "このデバイスを持つグループ「%3」にユーザーを加え（sudo adduser $USER %3）、"
                          "ログインし直してください。")
        .arg(number)
        .arg(device, group);
}

// Hands what QSerialPort still buffers to the device, then waits until the device has sent it
// (a pseudo-terminal returns at once). A device that is gone fails both at once.
void drainPort(QSerialPort *port)
{
    constexpr int BufferedWaitMs = 1000;
    if (port->bytesToWrite() > 0)
        port->waitForBytesWritten(BufferedWaitMs);
    if (port->handle() >= 0)
        ::tcdrain(port->handle());
}

} // namespace

ComPort::ComPort(const QString &programFolder, QObject *parent) : SerialPort(parent), m_folder(programFolder) {}

ComPort::~ComPort()
{
    closePort(false);
}

QString ComPort::devicePath(const QString &programFolder, int number, const QString &device)
{
    if (!device.isEmpty())
        return device;
    QString link = programFolder + QStringLiteral("ports/COM%1").arg(number);
    if (QFileInfo::exists(link) || QFileInfo(link).isSymLink())
        return link;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

void ComPort::setPortNumber(int number)
{
    if (number < 1 || number > 255)
        fail(Failure::BadPortNumber, QStringLiteral("ポート番号が無効です。"));
    m_number = number;
}

void ComPort::setSettings(const QString &settings)
{
    m_settings = settings;
    if (m_port)
        applySettings();
}

// Pseudo-terminals and some adapters refuse parity or modem-control settings; the
// line still carries bytes, so a refused setting is not a failure to open.
void ComPort::applySettings()
{
    const LineSettings s = parseSettings(m_settings);
    m_port->setBaudRate(s.baud);
    m_port->setParity(s.parity);
    m_port->setDataBits(s.dataBits);
    m_port->setStopBits(s.stopBits);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    m_port->clearError();
}

void ComPort::setPortOpen(bool open)
{
    if (!open) {
        closePort(true);
        return;
    }
    if (m_port)
        fail(Failure::PortInUse, QStringLiteral("ポートは既に開いています。"));
    // The link is resolved so that the lock names the device itself, as any other
    // program opening the device by its own name would.
    const QString target = QFileInfo(devicePath(m_folder, m_number, m_device)).canonicalFilePath();
    if (target.isEmpty())
        fail(Failure::BadPortNumber, QStringLiteral("ポート番号が無効です。"));
    // QSerialPort reports a device the user may not open as it reports one held by another
    // program; the cure differs, so ask first.
    if (::access(QFile::encodeName(target).constData(), R_OK | W_OK) != 0 && errno == EACCES)
        fail(Failure::PermissionDenied, permissionAdvice(m_number, target));
    // Another program's lock on the device is read here, never left to QSerialPort, which
    // takes a lock file without its own format for stale and removes it.
    if (const DeviceLock lock = DeviceLock::check(target); !lock.isFree())
        fail(Failure::PortInUse, QStringLiteral("ポートは既に開いています。") + lock.text);
    auto *port = new QSerialPort(target, this);
    if (!port->open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = port->error();
        delete port;
        // Held by another program: QSerialPort's lock file, or the device's exclusive
        // mode (EBUSY), both reported as a permission error.
        if (error == QSerialPort::PermissionError || error == QSerialPort::OpenError)
            fail(Failure::PortInUse, QStringLiteral("ポートは既に開いています。"));
        fail(Failure::BadPortNumber, QStringLiteral("ポート番号が無効です。"));
    }
    m_port = port;
    applySettings();
    // Whatever the device sent while no one listened (the answer to the last call's
    // hang-up) is not the answer to this call's first command.
    m_port->clear();
    connect(m_port, &QSerialPort::readyRead, this, &SerialPort::readyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // The device went away (a USB adapter pulled, the far end of a pty closed): a pty
        // reports a read error, a serial device a resource error, and either repeats for
        // as long as the dead device stays open.
        if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
            closePort(true);
    });
}

void ComPort::closePort(bool notify)
{
    if (!m_port)
        return;
    QSerialPort *port = m_port;
    m_port = nullptr;
    port->disconnect(this);
    drainPort(port);
    port->close();
    port->deleteLater();
    if (notify)
        emit closed();
}

QString ComPort::device() const
{
    return QFileInfo(devicePath(m_folder, m_number, m_device)).canonicalFilePath();
}

bool ComPort::isOpen() const
{
    return m_port != nullptr;
}

void ComPort::output(const QByteArray &bytes)
{
    if (!m_port)
        fail(Failure::PortNotOpen, QStringLiteral("ポートが開かれていません。"));
    if (m_port->write(bytes) != bytes.size()) {
        closePort(true);
        fail(Failure::PortNotOpen, QStringLiteral("ポートが開かれていません。"));
    }
    // Hand the bytes to the device now rather than at the next turn of the event loop:
    // a command is followed at once by a wait, and the device must see it to answer.
    m_port->flush();
}

void ComPort::drain()
{
    if (m_port)
        drainPort(m_port);
}

QByteArray ComPort::input()
{
    if (!m_port)
        return {};
    return m_port->readAll();
}
