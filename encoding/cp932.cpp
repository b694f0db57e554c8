#include "encoding/cp932.h"

#include <array>
#include <cerrno>
#include <iconv.h>
#include <mutex>
#include <vector>

namespace cp932 {
namespace {

// The mapping is small and fixed, so both directions are tabulated once from iconv:
// a lookup is then an array index, with no conversion state to carry between calls.
struct Tables {
    std::vector<qint32> toCode;       // BMP code point -> CP932 value, -1 when none
    std::vector<char16_t> fromCode;   // CP932 value (0..0xFFFF) -> code point, 0 when none
    std::array<bool, 256> leadByte{}; // bytes that open a double-byte character

    Tables() : toCode(0x10000, -1), fromCode(0x10000, 0)
    {
        iconv_t cd = iconv_open("UTF-16LE", "CP932");
        if (cd == reinterpret_cast<iconv_t>(-1))
            qFatal("iconv has no CP932 converter");
        auto convert = [&](const char *in, size_t len) -> int {
            char out[8];
            char *inp = const_cast<char *>(in);
            char *outp = out;
            size_t inLeft = len, outLeft = sizeof out;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == size_t(-1) || inLeft != 0 || outLeft != 6)
                return -1;
            return static_cast<unsigned char>(out[0]) | static_cast<unsigned char>(out[1]) << 8;
        };
        for (int b = 0; b < 256; ++b) {
            char c = static_cast<char>(b);
            int u = convert(&c, 1);
            if (u >= 0) {
                fromCode[b] = static_cast<char16_t>(u);
                if (toCode[u] < 0)
                    toCode[u] = b;
            } else if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
                leadByte[b] = true;
            }
        }
        for (int lead = 0x81; lead <= 0xFC; ++lead) {
            if (!leadByte[lead])
                continue;
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                int u = convert(pair, 2);
                if (u < 0)
                    continue;
                int code = lead << 8 | trail;
                fromCode[code] = static_cast<char16_t>(u);
            }
        }
        iconv_close(cd);
        // The encoding direction follows iconv's own choice among duplicates
        // (NEC row 13 against the IBM rows), which is Windows' choice too.
        iconv_t back = iconv_open("CP932", "UTF-16LE");
        for (int u = 0x80; u < 0x10000; ++u) {
            if (u >= 0xD800 && u <= 0xDFFF)
                continue;
            char16_t in = static_cast<char16_t>(u);
            unsigned char out[4];
            char *inp = reinterpret_cast<char *>(&in);
            char *outp = reinterpret_cast<char *>(out);
            size_t inLeft = 2, outLeft = sizeof out;
            iconv(back, nullptr, nullptr, nullptr, nullptr);
            if (iconv(back, &inp, &inLeft, &outp, &outLeft) == size_t(-1))
                continue;
            // Only codes that read back as the same character count: iconv's best-fit
            // choices (such as the yen sign onto the backslash byte) are not carried.
            size_t n = sizeof out - outLeft;
            int code = n == 1 ? out[0] : (n == 2 ? out[0] << 8 | out[1] : -1);
            if (code >= 0 && fromCode[code] == u)
                toCode[u] = code;
        }
        iconv_close(back);
    }
};

const Tables &tables()
{
    static const Tables t;
    return t;
}

} // namespace

int value(char32_t ch)
{
    if (ch >= 0x10000)
        return -1;
    return tables().toCode[ch];
}

bool canEncode(char32_t ch)
{
    return value(ch) >= 0;
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
    const Tables &t = tables();
    QByteArray out;
    out.reserve(text.size() * 2);
    bool good = true;
    for (char32_t ch : text.toUcs4()) {
        int code = ch < 0x10000 ? t.toCode[ch] : -1;
        if (code < 0) {
            good = false;
            out.append('?');
        } else if (code > 0xFF) {
            out.append(static_cast<char>(code >> 8));
            out.append(static_cast<char>(code & 0xFF));
        } else {
            out.append(static_cast<char>(code));
        }
    }
    if (ok)
        *ok = good;
    return out;
}

QString decode(const QByteArray &bytes, bool *ok)
{
    const Tables &t = tables();
    QString out;
    out.reserve(bytes.size());
    bool good = true;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        char16_t u = 0;
        if (t.leadByte[b] && i + 1 < bytes.size()) {
            u = t.fromCode[b << 8 | static_cast<unsigned char>(bytes[i + 1])];
            ++i;
        } else if (!t.leadByte[b]) {
            u = t.fromCode[b];
            if (u == 0 && b != 0)
                u = 0xFFFD;
        }
        if (u == 0 && b != 0)
            u = 0xFFFD;
        if (u == 0xFFFD)
            good = false;
        out.append(QChar(u));
    }
    if (ok)
        *ok = good;
    return out;
}

int byteLength(const QString &text)
{
    const Tables &t = tables();
    int n = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            n += 1;
            continue;
        }
        n += t.toCode[u] > 0xFF ? 2 : 1;
    }
    return n;
}

char32_t fromValue(int code)
{
    if (code < 0 || code > 0xFFFF)
        return 0;
    const Tables &t = tables();
    if (code <= 0xFF && t.leadByte[code])
        return 0;
    if (code == 0)
        return 0;
    char16_t u = t.fromCode[code];
    return u;
}

} // namespace cp932
