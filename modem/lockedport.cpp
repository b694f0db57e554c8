#include "modem/lockedport.h"

#include "modem/comport.h"
#include "store/apperror.h"

#include <QFileInfo>

LockedPort::LockedPort(SerialPort &port, QString dataFolder, QObject *parent)
    : SerialPort(parent), m_port(port), m_folder(std::move(dataFolder))
{
    connect(&m_port, &WaitSource::readyRead, this, &WaitSource::readyRead);
    connect(&m_port, &WaitSource::closed, this, [this] {
        m_lock.reset();
        emit closed();
    });
}

LockedPort::~LockedPort() = default;

QString LockedPort::devicePath(const QString &dataFolder, int number, const QString &device)
{
    const QString link = ComPort::devicePath(dataFolder, number, device);
    const QString real = QFileInfo(link).canonicalFilePath();
    return real.isEmpty() ? link : real;
}

QString LockedPort::lockPath(const QString &dataFolder, int number, const QString &device)
{
    return PortLock::pathFor(devicePath(dataFolder, number, device), dataFolder);
}

void LockedPort::setPortOpen(bool open)
{
    if (!open || m_port.isOpen()) {
        m_port.setPortOpen(open);
        if (!open)
            m_lock.reset();
        return;
    }
    // A device that does not exist is not locked: opening it fails (8002) all the same,
    // and a lock file for every port a modem detection probes would be litter.
    if (!QFileInfo::exists(ComPort::devicePath(m_folder, m_port.portNumber()))) {
        m_port.setPortOpen(true);
        return;
    }
    auto lock = std::make_unique<PortLock>(lockPath(m_folder, m_port.portNumber()));
    // A queue runner's check of the idle line lets go within moments: waited for.
    if (!lock->tryLock() && !(PortLock::heldForCheck(lock->path()) && lock->tryLock(PortLock::CheckWaitMs)))
        throw AppError(Failure::PortInUse, QStringLiteral("MSComm"),
                       QStringLiteral("ポートは既に開いています。") + lock->busyText());
    m_port.setPortOpen(true); // a failure lets the lock go with it
    m_lock = std::move(lock);
}
