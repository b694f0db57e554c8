#include "store/dialnumber.h"

#include <QList>

namespace dialnumber
{
namespace
{

bool isSeparator(char32_t c)
{
    switch (c) {
    case U' ':
    case U'\t':
    case 0x00A0: // no-break space
    case 0x3000: // ideographic space
    case U'-':
    case 0x2010: // hyphen
    case 0x2011: // non-breaking hyphen
    case 0x2012: // figure dash
    case 0x2013: // en dash
    case 0x2212: // minus sign
    case 0xFF0D: // full-width hyphen-minus
    case 0x30FC: // ー
    case 0xFF70: // half-width ｰ
    case U'(':
    case U')':
    case 0xFF08: // （
    case 0xFF09: // ）
    case U'.':
    case 0xFF0E: // ．
    case 0x30FB: // ・
    case 0xFF65: // half-width ･
        return true;
    default:
        return false;
    }
}

// The ASCII key of a character that stands for one; 0 for none. Only the ASCII and the
// full-width forms count: digits of other scripts are not read as these.
char keyOf(char32_t c, Kind kind)
{
    if (c >= 0xFF01 && c <= 0xFF5E) // full-width forms of ASCII
        c -= 0xFEE0;
    if ((c >= U'0' && c <= U'9') || c == U'*' || c == U'#')
        return char(c);
    if (kind == Kind::AtCenter && c == U',')
        return ',';
    if (kind == Kind::AtCenter && (c == U'W' || c == U'w'))
        return 'W';
    return 0;
}

// "「x」(U+0078)"; a character that would not show (a control, a direction mark) by its
// code alone.
QString shown(char32_t c)
{
    const QString code = QStringLiteral("U+%1").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
    const QString text = QString::fromUcs4(&c, 1);
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Other_Control || category == QChar::Other_Format || category == QChar::Other_Surrogate ||
        category == QChar::Other_NotAssigned || c == U'\x7F')
        return code;
    return QStringLiteral("「%1」(%2)").arg(text, code);
}

} // namespace

Number normalized(const QString &typed, Kind kind)
{
    Number n;
    for (const char32_t c : typed.toUcs4()) {
        if (isSeparator(c))
            continue;
        if (const char key = keyOf(c, kind); key == '#' && kind == Kind::Recipient) {
            n.digits.clear();
            n.problem = QStringLiteral("番号に %1 があります。相手先の番号の終わりはセンターに # で伝えるので、"
                                       "番号の中の # はそこで番号を終えてしまいます。")
                            .arg(shown(c));
            return n;
        } else if (key) {
            n.digits += QLatin1Char(key);
            continue;
        }
        n.digits.clear();
        n.problem = QStringLiteral("番号に使えない文字があります: %1。使えるのは 0～9、*、#%2 と、区切りの空白・"
                                   "ハイフン・かっこ・点です。")
                        .arg(shown(c), kind == Kind::AtCenter ? QStringLiteral("、, と W") : QString());
        return n;
    }
    if (n.digits.isEmpty())
        n.problem = QStringLiteral("番号がありません。");
    if (n.digits.size() > MaxDigits) {
        n.problem = QStringLiteral("番号が長すぎます（%1 桁、%2 桁まで）。").arg(n.digits.size()).arg(MaxDigits);
        n.digits.clear();
    }
    return n;
}

QString asciiDigits(const QString &typed)
{
    QString out = typed;
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        if ((u >= 0xFF10 && u <= 0xFF19) || u == 0xFF0A || u == 0xFF03)
            c = QChar(char16_t(u - 0xFEE0));
    }
    return out;
}

} // namespace dialnumber
