#include "ui/fieldtext.h"

#include "encoding/cp932.h"
#include "store/numbertext.h"

namespace fieldtext
{

std::optional<qint16> parseInt16(const QString &text, int minimum, int maximum)
{
    const QByteArray bytes = text.toLatin1(); // anything beyond Latin-1 becomes '?', which no number holds
    const numbertext::Result r = numbertext::whole(bytes);
    if (r.status != numbertext::Status::Ok || r.value < minimum || r.value > maximum)
        return std::nullopt;
    return r.value;
}

bool leadingBelow(const QString &text, int limit)
{
    return numbertext::leadingBelow(text.toLatin1(), limit);
}

QString unstorableCharacter(const QString &text)
{
    if (text.startsWith(QLatin1Char(' ')))
        return QStringLiteral("先頭の空白");
    for (const char32_t ch : text.toUcs4()) {
        if (ch == U'\r' || ch == U'\n')
            return QStringLiteral("改行");
        if (ch < 0x20 || ch == 0x7F)
            return QStringLiteral("制御文字 U+%1").arg(uint(ch), 4, 16, QLatin1Char('0')).toUpper();
        if (ch == U',' || ch == U'"' || !cp932::canEncode(ch))
            return QString::fromUcs4(&ch, 1);
    }
    return QString();
}

} // namespace fieldtext
