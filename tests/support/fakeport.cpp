#include "fakeport.h"

#include "store/apperror.h"

void FakePort::receive(const QByteArray &bytes)
{
    if (!m_open)
        return;
    m_pending += bytes;
    emit readyRead();
}

void FakePort::vanish()
{
    if (!m_open)
        return;
    m_open = false;
    events << QStringLiteral("vanish");
    emit closed();
}

void FakePort::setPortOpen(bool open)
{
    if (open) {
        if (failOpenWith != 0)
            throw AppError(failOpenWith, QStringLiteral("MSComm"), QStringLiteral("open failed"));
        if (m_open)
            throw AppError(Failure::PortInUse, QStringLiteral("MSComm"), QStringLiteral("already open"));
        m_open = true;
        m_pending.clear();
        events << QStringLiteral("open ") + m_settings;
        return;
    }
    if (!m_open)
        return;
    m_open = false;
    events << QStringLiteral("close");
    emit closed();
}

void FakePort::output(const QByteArray &bytes)
{
    if (!m_open)
        throw AppError(Failure::PortNotOpen, QStringLiteral("MSComm"), QStringLiteral("not open"));
    writes << bytes;
    events << QStringLiteral("> ") + QString::fromLatin1(bytes.toPercentEncoding("#*;&,+ "));
    if (onWrite)
        onWrite(bytes);
}

void FakePort::drain()
{
    if (m_open)
        events << QStringLiteral("drain");
}

QByteArray FakePort::input()
{
    QByteArray out;
    out.swap(m_pending);
    if (!out.isEmpty())
        ++nonEmptyReads;
    return out;
}
