#include "modem/comport.h"

#include "store/apperror.h"

#include <QFileInfo>
#include <QSerialPort>

ComPort::ComPort(const QString &programFolder, QObject *parent) : SerialPort(parent), m_folder(programFolder) {}

ComPort::~ComPort() = default;

QString ComPort::devicePath(const QString &programFolder, int number)
{
    QString link = programFolder + QStringLiteral("ports/COM%1").arg(number);
    if (QFileInfo::exists(link) || QFileInfo(link).isSymLink())
        return link;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

void ComPort::setPortNumber(int number)
{
    m_number = number;
}

void ComPort::setPortOpen(bool) {}

bool ComPort::isOpen() const
{
    return false;
}

void ComPort::output(const QByteArray &)
{
    throw AppError(ErrorCode::PortNotOpen, QStringLiteral("MSComm"), QStringLiteral("ポートが開かれていません。"));
}

QByteArray ComPort::input()
{
    return {};
}
