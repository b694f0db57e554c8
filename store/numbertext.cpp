#include "store/numbertext.h"

namespace numbertext
{
namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Parses a number at pos (after blanks); moves pos past it. False when none is there.
bool parse(QByteArrayView text, qsizetype &pos, Result &out)
{
    const qsizetype n = text.size();
    bool negative = false;
    if (pos < n && (text[pos] == '+' || text[pos] == '-'))
        negative = text[pos++] == '-';
    // Anything above this is out of range whatever the fraction; stop counting there.
    constexpr qint64 cap = 100000;
    qint64 magnitude = 0;
    bool any = false;
    for (; pos < n && isDigit(text[pos]); ++pos, any = true)
        magnitude = qMin(cap, magnitude * 10 + (text[pos] - '0'));
    int firstFraction = 0;
    bool restNonZero = false;
    if (pos < n && text[pos] == '.') {
        ++pos;
        for (bool first = true; pos < n && isDigit(text[pos]); ++pos, first = false, any = true) {
            if (first)
                firstFraction = text[pos] - '0';
            else if (text[pos] != '0')
                restNonZero = true;
        }
    }
    if (!any)
        return false;
    if (firstFraction > 5 || (firstFraction == 5 && (restNonZero || magnitude % 2 == 1)))
        ++magnitude;
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < -32768 || value > 32767)
        out = {0, Status::OutOfRange};
    else
        out = {qint16(value), Status::Ok};
    return true;
}

qsizetype skipBlanks(QByteArrayView text, qsizetype pos)
{
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    return pos;
}

} // namespace

Result leading(QByteArrayView text)
{
    qsizetype pos = skipBlanks(text, 0);
    Result r;
    if (!parse(text, pos, r))
        return {0, Status::Ok};
    return r;
}

Result whole(QByteArrayView text)
{
    qsizetype pos = skipBlanks(text, 0);
    Result r;
    if (!parse(text, pos, r) || skipBlanks(text, pos) != text.size())
        return {0, Status::NotANumber};
    return r;
}

} // namespace numbertext
