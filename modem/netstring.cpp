#include "modem/netstring.h"

namespace netstring
{

QByteArray encode(QByteArrayView payload)
{
    return QByteArray::number(payload.size()) + ':' + payload.toByteArray() + ',';
}

QList<QByteArray> Reader::feed(QByteArrayView bytes)
{
    QList<QByteArray> frames;
    if (m_failed)
        return frames;
    m_buffer += bytes;
    qsizetype pos = 0;
    while (pos < m_buffer.size()) {
        // The length: 1 to 7 digits, then a colon.
        qsizetype colon = pos;
        while (colon < m_buffer.size() && m_buffer[colon] >= '0' && m_buffer[colon] <= '9')
            ++colon;
        if (colon - pos > 7 || (colon < m_buffer.size() && (m_buffer[colon] != ':' || colon == pos))) {
            m_failed = true;
            break;
        }
        if (colon == m_buffer.size())
            break; // the header is still coming
        const qsizetype length = m_buffer.mid(pos, colon - pos).toLongLong();
        if (length > MaxFrame) {
            m_failed = true;
            break;
        }
        const qsizetype end = colon + 1 + length;
        if (end >= m_buffer.size())
            break; // the payload or its comma is still coming
        if (m_buffer[end] != ',') {
            m_failed = true;
            break;
        }
        frames << m_buffer.mid(colon + 1, length);
        pos = end + 1;
    }
    m_buffer.remove(0, m_failed ? m_buffer.size() : pos);
    return frames;
}

} // namespace netstring
