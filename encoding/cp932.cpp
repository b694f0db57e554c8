#include "encoding/cp932.h"

namespace cp932
{
namespace
{

// kToCode (BMP code point -> CP932 value, 0xFFFF for none), kFromCode (CP932 value ->
// code point, 0 for none) and kLeadByte: read from glibc iconv when the program is
// built, so that a lookup is an array index and a start costs nothing.
#include "cp932tables.inc"

constexpr unsigned short NoCode = 0xFFFF;

int codeOf(char32_t ch)
{
    if (ch >= 0x10000 || kToCode[ch] == NoCode)
        return -1;
    return kToCode[ch];
}

} // namespace

int value(char32_t ch)
{
    return codeOf(ch);
}

bool canEncode(char32_t ch)
{
    return codeOf(ch) >= 0;
}

char32_t firstUnencodable(const QString &text)
{
    for (char32_t ch : text.toUcs4())
        if (!canEncode(ch))
            return ch;
    return 0;
}

bool canEncode(const QString &text)
{
    return firstUnencodable(text) == 0;
}

QByteArray encode(const QString &text, bool *ok)
{
    // Written straight into a buffer of the largest size, then cut: files of thousands
    // of records go through here at every start and exit.
    QByteArray out(text.size() * 2, Qt::Uninitialized);
    char *p = out.data();
    bool good = true;
    const qsizetype n = text.size();
    const QChar *s = text.constData();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = s[i].unicode();
        int code = codeOf(u);
        if (QChar::isHighSurrogate(u) && i + 1 < n && s[i + 1].isLowSurrogate()) {
            ++i; // outside the BMP: no CP932 value
            code = -1;
        }
        if (code < 0) {
            good = false;
            *p++ = '?';
        } else if (code > 0xFF) {
            *p++ = static_cast<char>(code >> 8);
            *p++ = static_cast<char>(code & 0xFF);
        } else {
            *p++ = static_cast<char>(code);
        }
    }
    out.truncate(p - out.constData());
    if (ok)
        *ok = good;
    return out;
}

QString decode(const QByteArray &bytes, bool *ok)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *p = out.data();
    bool good = true;
    const qsizetype n = bytes.size();
    const unsigned char *s = reinterpret_cast<const unsigned char *>(bytes.constData());
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char b = s[i];
        char16_t u = 0;
        if (!kLeadByte[b]) {
            u = kFromCode[b];
        } else if (i + 1 < n) {
            u = kFromCode[b << 8 | s[i + 1]];
            ++i;
        }
        // A byte with no character, a pair with none, or a lead byte at the very end.
        if (u == 0 && b != 0) {
            u = 0xFFFD;
            good = false;
        }
        *p++ = QChar(u);
    }
    out.truncate(p - out.constData());
    if (ok)
        *ok = good;
    return out;
}

int byteLength(const QString &text)
{
    int n = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i; // outside the BMP: written as one '?'
            n += 1;
            continue;
        }
        const int code = codeOf(u);
        n += code > 0xFF ? 2 : 1;
    }
    return n;
}

char32_t fromValue(int code)
{
    if (code <= 0 || code > 0xFFFF || (code <= 0xFF && kLeadByte[code]))
        return 0;
    return kFromCode[code];
}

} // namespace cp932
