#include "mailcharset.h"

#include <QRegularExpression>

#include <cerrno>
#include <iconv.h>

namespace mailcharset
{
namespace
{

enum class Family { Utf8, Iso2022jp, Cp932, EucJp, Unnamed, Other };

Family familyOf(const QByteArray &charset)
{
    const QByteArray name = charset.trimmed().toLower();
    if (name.isEmpty() || name == "us-ascii" || name == "ascii" || name == "unknown-8bit" || name == "x-unknown")
        return Family::Unnamed;
    if (name == "utf-8" || name == "utf8")
        return Family::Utf8;
    if (name.startsWith("iso-2022-jp") || name == "csiso2022jp" || name == "iso2022jp" || name == "cp50220" ||
        name == "cp50221" || name == "cp50222")
        return name == "iso-2022-jp-2" ? Family::Other : Family::Iso2022jp; // -2 carries other languages too
    if (name == "shift_jis" || name == "shift-jis" || name == "sjis" || name == "x-sjis" || name == "ms_kanji" ||
        name == "csshiftjis" || name == "windows-31j" || name == "cp932" || name == "ms932" || name == "x-ms-cp932")
        return Family::Cp932;
    if (name == "euc-jp" || name == "eucjp" || name == "x-euc-jp" || name == "cseucpkdfmtjapanese" ||
        name == "eucjp-ms" || name == "euc-jp-ms" || name == "cp51932")
        return Family::EucJp;
    return Family::Other;
}

// iconv from the named charset to UTF-8, a byte it cannot take as U+FFFD. Empty with
// *opened false when iconv does not know the name.
QString viaIconv(const QByteArray &bytes, const char *from, bool *opened = nullptr)
{
    iconv_t cd = iconv_open("UTF-8", from);
    if (opened)
        *opened = cd != iconv_t(-1);
    if (cd == iconv_t(-1))
        return {};
    QByteArray out;
    out.reserve(bytes.size() * 3 / 2 + 16);
    char buffer[4096];
    char *in = const_cast<char *>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    const QByteArray replacement = "\xEF\xBF\xBD";
    while (true) {
        char *o = buffer;
        size_t oLeft = sizeof buffer;
        const size_t r = iconv(cd, inLeft ? &in : nullptr, &inLeft, &o, &oLeft);
        out.append(buffer, qsizetype(o - buffer));
        if (r != size_t(-1)) {
            if (inLeft == 0) {
                // Flush any shift state, then done.
                o = buffer;
                oLeft = sizeof buffer;
                iconv(cd, nullptr, nullptr, &o, &oLeft);
                out.append(buffer, qsizetype(o - buffer));
                break;
            }
            continue;
        }
        if (errno == E2BIG)
            continue;
        // EILSEQ, or EINVAL (a sequence cut at the end): one byte is skipped.
        out.append(replacement);
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (inLeft == 0)
            break;
    }
    iconv_close(cd);
    return QString::fromUtf8(out);
}

bool validUtf8(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    return !text.contains(QChar::ReplacementCharacter) || bytes.contains("\xEF\xBF\xBD");
}

} // namespace

QByteArray iso2022jpAsCp932(const QByteArray &bytes)
{
    // A byte CP932 has no character for, read as U+FFFD.
    constexpr char Bad = '\xFF';
    enum class Set { Ascii, Kana, Double, Unknown };
    Set set = Set::Ascii;
    bool shiftedOut = false; // SO: half-width katakana until SI
    QByteArray out;
    out.reserve(bytes.size());
    const auto at = [&](qsizetype i) { return i < bytes.size() ? uchar(bytes[i]) : 0; };
    for (qsizetype i = 0; i < bytes.size();) {
        const uchar c = uchar(bytes[i]);
        if (c == 0x1B) {
            const uchar a = at(i + 1), b = at(i + 2);
            if (a == '(' && (b == 'B' || b == 'J' || b == 'H')) {
                set = Set::Ascii, i += 3;
            } else if (a == '(' && b == 'I') {
                set = Set::Kana, i += 3;
            } else if (a == '$' && (b == 'B' || b == '@')) {
                set = Set::Double, i += 3;
            } else if (a == '$' && b == '(' && (at(i + 3) == 'B' || at(i + 3) == '@' || at(i + 3) == 'Q')) {
                set = Set::Double, i += 4;
            } else if (a == '$' && b == '(') {
                set = Set::Unknown, i += 4; // JIS X 0212 and the like: nothing in CP932
            } else if (a == '&' && b == '@') {
                i += 3; // the JIS X 0208-1990 announcement before ESC $ B
            } else {
                out.append(Bad), ++i;
            }
            continue;
        }
        if (c == 0x0E || c == 0x0F) {
            shiftedOut = c == 0x0E;
            ++i;
            continue;
        }
        if (c == '\r' || c == '\n' || c >= 0x80 || c < 0x21) {
            // Line breaks and controls are themselves whatever the set; 8-bit bytes have no
            // place in this charset.
            out.append(c >= 0x80 ? Bad : char(c));
            ++i;
            continue;
        }
        if (shiftedOut || set == Set::Kana) {
            out.append(c <= 0x5F ? char(c + 0x80) : Bad);
            ++i;
        } else if (set == Set::Double || set == Set::Unknown) {
            const uchar c2 = at(i + 1);
            if (c2 < 0x21 || c2 > 0x7E || set == Set::Unknown) {
                out.append(Bad);
                i += c2 >= 0x21 && c2 <= 0x7E ? 2 : 1;
                continue;
            }
            // JIS row/cell to Shift_JIS; CP932 reads rows 13 and 89-92 as NEC and IBM characters.
            const uchar s1 = uchar(((c + 1) >> 1) + (c <= 0x5E ? 0x70 : 0xB0));
            const uchar s2 = uchar(c2 + ((c & 1) ? (c2 >= 0x60 ? 0x20 : 0x1F) : 0x7E));
            out.append(char(s1)).append(char(s2));
            i += 2;
        } else {
            out.append(char(c));
            ++i;
        }
    }
    return out;
}

QString decode(const QByteArray &bytes, const QByteArray &charset)
{
    Family family = familyOf(charset);
    if (family == Family::Unnamed) {
        if (bytes.contains("\x1B$"))
            family = Family::Iso2022jp;
        else
            family = validUtf8(bytes) ? Family::Utf8 : Family::Cp932;
    }
    switch (family) {
    case Family::Utf8:
        return QString::fromUtf8(bytes);
    case Family::Iso2022jp:
        return viaIconv(iso2022jpAsCp932(bytes), "CP932");
    case Family::Cp932:
        return viaIconv(bytes, "CP932");
    case Family::EucJp:
        return viaIconv(bytes, "EUC-JP-MS");
    case Family::Unnamed:
    case Family::Other:
        break;
    }
    bool opened = false;
    const QString text = viaIconv(bytes, charset.trimmed().constData(), &opened);
    return opened ? text : QString::fromUtf8(bytes);
}

namespace
{

QByteArray wordPayload(const QByteArray &encoding, const QByteArray &text)
{
    if (encoding.toUpper() == "B")
        return QByteArray::fromBase64(text);
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out.append(' ');
        } else if (c == '=' && i + 2 < text.size()) {
            bool ok = false;
            const int v = text.mid(i + 1, 2).toInt(&ok, 16);
            out.append(ok ? char(v) : c);
            if (ok)
                i += 2;
        } else {
            out.append(c);
        }
    }
    return out;
}

} // namespace

QByteArray japaneseWordsAsUtf8(const QByteArray &header)
{
    static const QRegularExpression word(QStringLiteral("=\\?([^?*\\s]+)(\\*[^?\\s]*)?\\?([BbQq])\\?([^?\\s]*)\\?="));
    static const QRegularExpression space(QStringLiteral("^[ \\t\\r\\n]*$"));
    // Latin-1 keeps every byte as one character, so offsets are byte offsets.
    const QString text = QString::fromLatin1(header);
    QByteArray out;
    qsizetype copied = 0;    // bytes of header up to here are in out or in the run
    qsizetype runStart = -1; // where the run of Japanese words began
    qsizetype runEnd = -1;   // and where its last word ended
    QByteArray runCharset;   // the run's charset
    QByteArray runBytes;     // its payloads, joined
    auto flush = [&] {
        if (runStart < 0)
            return;
        out.append("=?UTF-8?B?").append(decode(runBytes, runCharset).toUtf8().toBase64()).append("?=");
        copied = runEnd;
        runStart = -1;
        runBytes.clear();
    };
    for (auto it = word.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QByteArray charset = m.captured(1).toLatin1();
        const Family family = familyOf(charset);
        const bool japanese = family == Family::Iso2022jp || family == Family::Cp932 || family == Family::EucJp;
        const bool joins = runStart >= 0 && familyOf(runCharset) == family &&
                           space.match(text.mid(runEnd, m.capturedStart() - runEnd)).hasMatch();
        if (!joins)
            flush();
        if (!japanese)
            continue;
        if (runStart < 0) {
            out.append(header.mid(copied, m.capturedStart() - copied));
            runStart = m.capturedStart();
            runCharset = charset;
        }
        runBytes.append(wordPayload(m.captured(3).toLatin1(), m.captured(4).toLatin1()));
        runEnd = m.capturedEnd();
    }
    flush();
    out.append(header.mid(copied));
    return out;
}

} // namespace mailcharset
