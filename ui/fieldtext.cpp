#include "ui/fieldtext.h"

#include "encoding/cp932.h"

#include <QRegularExpression>
#include <cmath>

namespace fieldtext
{

std::optional<double> parseNumber(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?(\\d+(\\.\\d*)?|\\.\\d+)$"));
    const QString trimmed = text.trimmed();
    if (!number.match(trimmed).hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = trimmed.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

std::optional<qint16> parseInt16(const QString &text, int minimum, int maximum)
{
    const std::optional<double> value = parseNumber(text);
    if (!value || *value < minimum || *value > maximum)
        return std::nullopt;
    // nearbyint follows the default rounding mode, which rounds halves to the even neighbour.
    return qint16(std::nearbyint(*value));
}

double leadingNumber(const QString &text)
{
    static const QRegularExpression leading(QStringLiteral("^[ \\t]*([+-]?(\\d+(\\.\\d*)?|\\.\\d+))"));
    const QRegularExpressionMatch match = leading.match(text);
    return match.hasMatch() ? match.captured(1).toDouble() : 0.0;
}

QString unstorableCharacter(const QString &text)
{
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
