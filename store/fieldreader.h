#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Reads a stored file as a stream of fields, the way the address book and the
// history are laid out: a field ends at a comma or at the end of a line (CR LF,
// LF or a lone CR), leading blanks are skipped, and a field that begins with a
// double quotation mark runs to the next one (the marks are removed, and what
// follows the closing mark up to the comma or line end is passed over).
class FieldReader
{
public:
    enum class End { Comma, LineEnd, FileEnd };

    explicit FieldReader(QByteArrayView bytes) : m_bytes(bytes) {}

    bool atEnd() const { return m_pos >= m_bytes.size(); }
    // The 1-based line the next read starts on.
    int line() const { return m_line; }

    // The next field. False, with nothing read, when the input is used up.
    bool readField(QByteArray *field, End *end = nullptr);
    // The rest of the current line up to a CR LF or a lone CR, which is consumed; a lone LF
    // is part of the text. False at the end of the input.
    bool readLine(QByteArray *text);

private:
    // Consumes a line end at the current position, if there is one.
    bool skipLineEnd();
    bool atLineEnd() const;

    QByteArrayView m_bytes;
    qsizetype m_pos = 0;
    int m_line = 1;
};
