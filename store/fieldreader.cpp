#include "store/fieldreader.h"

bool FieldReader::atLineEnd() const
{
    return !atEnd() && (m_bytes[m_pos] == '\r' || m_bytes[m_pos] == '\n');
}

bool FieldReader::skipLineEnd()
{
    if (!atLineEnd())
        return false;
    if (m_bytes[m_pos] == '\r' && m_pos + 1 < m_bytes.size() && m_bytes[m_pos + 1] == '\n')
        ++m_pos;
    ++m_pos;
    ++m_line;
    return true;
}

bool FieldReader::readField(QByteArray *field, End *end)
{
    if (atEnd())
        return false;
    while (!atEnd() && (m_bytes[m_pos] == ' ' || m_bytes[m_pos] == '\t'))
        ++m_pos;
    field->clear();
    if (!atEnd() && m_bytes[m_pos] == '"') {
        const qsizetype start = ++m_pos;
        while (!atEnd() && m_bytes[m_pos] != '"') {
            // A quoted field may run over line ends; keep the line count right.
            if (m_bytes[m_pos] == '\n' ||
                (m_bytes[m_pos] == '\r' && (m_pos + 1 >= m_bytes.size() || m_bytes[m_pos + 1] != '\n')))
                ++m_line;
            ++m_pos;
        }
        *field = m_bytes.sliced(start, m_pos - start).toByteArray();
        if (!atEnd())
            ++m_pos;
        while (!atEnd() && m_bytes[m_pos] != ',' && !atLineEnd())
            ++m_pos;
    } else {
        const qsizetype start = m_pos;
        while (!atEnd() && m_bytes[m_pos] != ',' && !atLineEnd())
            ++m_pos;
        *field = m_bytes.sliced(start, m_pos - start).toByteArray();
    }
    End how = End::FileEnd;
    if (!atEnd() && m_bytes[m_pos] == ',') {
        ++m_pos;
        how = End::Comma;
    } else if (skipLineEnd()) {
        how = End::LineEnd;
    }
    if (end)
        *end = how;
    return true;
}

bool FieldReader::readLine(QByteArray *text)
{
    if (atEnd())
        return false;
    const qsizetype start = m_pos;
    while (!atEnd() && m_bytes[m_pos] != '\r') {
        if (m_bytes[m_pos] == '\n')
            ++m_line;
        ++m_pos;
    }
    *text = m_bytes.sliced(start, m_pos - start).toByteArray();
    skipLineEnd();
    return true;
}
