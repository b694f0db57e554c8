#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Code page 932 (Shift-JIS as Windows has it) over glibc iconv. Every count,
// code and file of the program goes through here: Qt's own Shift_JIS codec
// differs from the Windows table and is never used.
namespace cp932 {

// Text to CP932 bytes. A character CP932 cannot carry becomes '?' and clears *ok.
QByteArray encode(const QString &text, bool *ok = nullptr);

// CP932 bytes to text. A byte sequence with no character becomes U+FFFD and clears *ok.
QString decode(const QByteArray &bytes, bool *ok = nullptr);

// The CP932 value of one character: 0x00-0xFF for a single byte, lead << 8 | trail
// for a double byte, -1 when CP932 cannot carry it.
int value(char32_t ch);

// Whether CP932 can carry the character, or every character of the text.
bool canEncode(char32_t ch);
bool canEncode(const QString &text);

// The first character of the text that CP932 cannot carry, or 0 when there is none.
char32_t firstUnencodable(const QString &text);

// The number of CP932 bytes of the text (characters it cannot carry count one byte, as '?').
int byteLength(const QString &text);

// One character from its CP932 value (as returned by value()), or 0 when the value has none.
char32_t fromValue(int value);

} // namespace cp932
