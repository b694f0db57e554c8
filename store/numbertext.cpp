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

// A decimal number as written: its sign, its whole part (capped: anything above the cap
// is out of range whatever the fraction) and what its fraction says about rounding.
struct Written {
    bool negative = false;
    qint64 magnitude = 0;
    int firstFraction = 0;
    bool restNonZero = false; // a non-zero fraction digit after the first
    bool fractionNonZero() const { return firstFraction > 0 || restNonZero; }
};

// Reads a number at pos (after blanks); moves pos past it. False when none is there.
bool scan(QByteArrayView text, qsizetype &pos, Written &out)
{
    const qsizetype n = text.size();
    Written w;
    if (pos < n && (text[pos] == '+' || text[pos] == '-'))
        w.negative = text[pos++] == '-';
    constexpr qint64 cap = 100000;
    bool any = false;
    for (; pos < n && isDigit(text[pos]); ++pos, any = true)
        w.magnitude = qMin(cap, w.magnitude * 10 + (text[pos] - '0'));
    if (pos < n && text[pos] == '.') {
        ++pos;
        for (bool first = true; pos < n && isDigit(text[pos]); ++pos, first = false, any = true) {
            if (first)
                w.firstFraction = text[pos] - '0';
            else if (text[pos] != '0')
                w.restNonZero = true;
        }
    }
    out = w;
    return any;
}

// Parses a number at pos (after blanks), rounded; moves pos past it. False when none is there.
bool parse(QByteArrayView text, qsizetype &pos, Result &out)
{
    Written w;
    if (!scan(text, pos, w))
        return false;
    qint64 magnitude = w.magnitude;
    if (w.firstFraction > 5 || (w.firstFraction == 5 && (w.restNonZero || magnitude % 2 == 1)))
        ++magnitude;
    const qint64 value = w.negative ? -magnitude : magnitude;
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

bool leadingBelow(QByteArrayView text, int limit)
{
    qsizetype pos = skipBlanks(text, 0);
    Written w;
    if (!scan(text, pos, w))
        return 0 < limit;
    // m + f < limit, or -(m + f) < limit, for a whole limit and a fraction f in [0, 1).
    if (!w.negative)
        return w.magnitude < limit;
    return w.magnitude > -qint64(limit) || (w.magnitude == -qint64(limit) && w.fractionNonZero());
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
