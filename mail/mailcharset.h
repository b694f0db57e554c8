#pragma once

#include <QByteArray>
#include <QString>

// Text of a mail in the charsets Japanese mail comes in, read the way the mail programs
// that write it mean it: ISO-2022-JP, Shift_JIS and EUC-JP with Microsoft's extensions
// (①, ㈱, Ⅲ, the IBM kanji), which glibc's converters of those names refuse. Bytes that
// are no character of the charset become U+FFFD; nothing is ever refused.
namespace mailcharset
{

// The bytes as text in the named charset (MIME name, any case). An unnamed charset, or
// US-ASCII holding 8-bit bytes: UTF-8 when the bytes are valid UTF-8, ISO-2022-JP when
// they hold its escapes, else CP932.
QString decode(const QByteArray &bytes, const QByteArray &charset);

// ISO-2022-JP (with the CP50220/CP50221 extensions: JIS X 0208 rows 13 and 89-92,
// half-width katakana by ESC ( I or SO/SI) rewritten as CP932 bytes; what is no
// character there becomes the byte 0xFF, which CP932 does not have.
QByteArray iso2022jpAsCp932(const QByteArray &bytes);

// A mail's header block with every encoded word (RFC 2047) in a Japanese charset, and
// every run of such words separated only by white space, rewritten as one UTF-8 encoded
// word, so that a MIME parser decodes them with the extensions above. Other bytes stay.
QByteArray japaneseWordsAsUtf8(const QByteArray &header);

} // namespace mailcharset
