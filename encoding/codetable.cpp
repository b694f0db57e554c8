#include "encoding/codetable.h"

#include "encoding/centerkind.h"
#include "encoding/cp932.h"
#include "encoding/textcheck.h"

#include <algorithm>
#include <limits>

namespace
{

// The free-word grid as row strings, in the order the rows are searched. A row
// that has a column-0 character lists it first; rows 7 and 8 start at column 1.
struct GridRow {
    int digit;
    QStringView chars;
    int firstColumn;
};
const GridRow kGrid[] = {
    {1, u"EｱｲｳｴｵABCD", 0}, {2, u"JｶｷｸｹｺFGHI", 0}, {3, u"OｻｼｽｾｿKLMN", 0}, {4, u"TﾀﾁﾂﾃﾄPQRS", 0}, {5, u"YﾅﾆﾇﾈﾉUVWX", 0},
    {6, u"/ﾊﾋﾌﾍﾎZ?!-", 0}, {7, u"ﾏﾐﾑﾒﾓ\\&", 1},   {8, u"ﾔ(ﾕ)ﾖ*# ", 1},   {9, u"5ﾗﾘﾙﾚﾛ1234", 0}, {0, u"0ﾜｦﾝﾞﾟ6789", 0},
};

// The JIS rows and cells the centres take: rows 1-8 without their unassigned cells,
// and the first-level kanji (rows 16-47).
struct CellBlock {
    int firstRow, lastRow, firstCell, lastCell;
};
const CellBlock kKutenSet[] = {
    {1, 1, 1, 94},  {2, 2, 1, 14},  {2, 2, 26, 33}, {2, 2, 42, 48},  {2, 2, 60, 74},  {2, 2, 82, 89}, {2, 2, 94, 94},
    {3, 3, 16, 25}, {3, 3, 33, 58}, {3, 3, 65, 90}, {4, 4, 1, 83},   {5, 5, 1, 86},   {6, 6, 1, 24},  {6, 6, 33, 56},
    {7, 7, 1, 33},  {7, 7, 49, 81}, {8, 8, 1, 32},  {16, 46, 1, 94}, {47, 47, 1, 51},
};

bool inKutenSet(int row, int cell)
{
    return std::any_of(std::begin(kKutenSet), std::end(kKutenSet), [&](const CellBlock &b) {
        return row >= b.firstRow && row <= b.lastRow && cell >= b.firstCell && cell <= b.lastCell;
    });
}

// The grid code of a character, -1 when it is not in the grid.
int gridCode(char32_t ch)
{
    for (const GridRow &row : kGrid) {
        for (qsizetype p = 0; p < row.chars.size(); ++p) {
            if (row.chars[p].unicode() == ch)
                return row.digit * 10 + int(p) + row.firstColumn;
        }
    }
    return -1;
}

QChar gridChar(int code)
{
    for (const GridRow &row : kGrid) {
        if (row.digit != code / 10)
            continue;
        const int index = code % 10 - row.firstColumn;
        return index >= 0 && index < row.chars.size() ? row.chars[index] : QChar();
    }
    return {};
}

bool isKana(char32_t ch)
{
    return (ch >= U'ぁ' && ch <= U'ん') || (ch >= U'ァ' && ch <= U'ヶ');
}

// The one character a string holds, or 0 when it holds none or several.
char32_t soleCharacter(const QString &text)
{
    const QList<uint> ucs4 = text.toUcs4();
    return ucs4.size() == 1 ? char32_t(ucs4.first()) : 0;
}

QString twoDigits(int code)
{
    return QString::asprintf("%02d", code);
}

QString fourDigits(int kuten)
{
    return QString::asprintf("%04d", kuten);
}

QString runPrefix(qint16 run)
{
    if (run == 0)
        return QStringLiteral("*2*2");
    return run > 0 ? QString() : QStringLiteral("#");
}

qsizetype characterLength(QStringView text, qsizetype i)
{
    return text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 2 : 1;
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

int kutenOfValue(int value)
{
    const int lead = value >> 8;
    const int trail = value & 0xFF;
    if (lead < 0x81 || lead > 0x9F)
        return -1;
    const int oddRow = 2 * (lead - 0x81) + 1;
    int row = oddRow;
    int cell = -1;
    if (trail >= 0x40 && trail <= 0x7E) {
        cell = trail - 0x3F;
    } else if (trail >= 0x80 && trail <= 0x9E) {
        cell = trail - 0x40;
    } else if (trail >= 0x9F && trail <= 0xFC) {
        row = oddRow + 1;
        cell = trail - 0x9E;
    }
    return cell > 0 && inKutenSet(row, cell) ? row * 100 + cell : -1;
}

int valueOfKuten(int kuten)
{
    const int row = kuten / 100;
    const int cell = kuten % 100;
    if (kuten < 0 || !inKutenSet(row, cell))
        return -1;
    const int lead = 0x81 + (row - 1) / 2;
    int trail;
    if (row % 2 == 0)
        trail = cell + 0x9E;
    else
        trail = cell <= 63 ? cell + 0x3F : cell + 0x40;
    return lead << 8 | trail;
}

namespace
{

// The code of one character; kuten tells whether it is a row/cell code.
QString codeOf(const QString &ch, bool *kuten)
{
    *kuten = false;
    const char32_t c = soleCharacter(ch);
    if (isKana(c)) {
        *kuten = true;
        return fourDigits(kutenOfValue(cp932::value(c)));
    }
    const int grid = gridCode(c);
    if (grid > 0)
        return twoDigits(grid);
    // The digit 0 (grid code 00) is tested against the row/cell set like an ungridded
    // character before it gets its 00.
    const int value = c ? kutenOfValue(cp932::value(c)) : -1;
    if (value >= 0) {
        *kuten = true;
        return fourDigits(value);
    }
    return grid == 0 ? twoDigits(0) : QString();
}

} // namespace

QString CharToCode(const QString &ch)
{
    bool kuten;
    return codeOf(ch, &kuten);
}

QString DigitEncoder::next(const QString &ch)
{
    // The counter stops at its top instead of wrapping: past 32767 characters of one
    // run the codes stay bare, which is what the run needs.
    if (m_run < std::numeric_limits<qint16>::max())
        ++m_run;
    bool kuten;
    const QString code = codeOf(ch, &kuten);
    if (kuten)
        m_run = -1;
    return runPrefix(m_run) + code;
}

QStringList messagePieces(const QString &message, int sendStrings)
{
    const QString text = textcheck::asSent(message);
    const int perPiece = std::max(1, sendStrings);
    QStringList pieces;
    DigitEncoder encoder;
    qsizetype i = 0;
    while (i < text.size()) {
        QString piece;
        for (int n = 0; n < perPiece && i < text.size(); ++n) {
            const qsizetype len = characterLength(text, i);
            piece += encoder.next(text.mid(i, len));
            i += len;
        }
        pieces.append(piece);
    }
    return pieces;
}

QString endMark(int centerKind)
{
    return QString::fromLatin1(centerRules(centerKind).endMark);
}

namespace
{

// Reads a digit string the way a centre does: "*2*2" opens a free-word run, "#"
// with four digits is one row/cell character, and a piece may start inside a run.
class DigitReader
{
public:
    explicit DigitReader(const QString &digits)
    {
        // Pieces may come one per line; the line breaks are no part of the digits.
        for (qsizetype i = 0; i < digits.size(); ++i) {
            if (digits[i] != u'\r' && digits[i] != u'\n') {
                m_digits += digits[i];
                m_positions.append(int(i));
            }
        }
        m_positions.append(int(digits.size()));
    }

    DecodeResult read()
    {
        while (m_result.ok() && m_at < m_digits.size()) {
            const QChar c = m_digits[m_at];
            if (c == u'*')
                readRunMark();
            else if (c == u'#')
                readHash();
            else if (isDigit(c))
                readFreeWord();
            else
                fail(QStringLiteral("\"%1\" is not a touch-tone digit").arg(c));
        }
        return m_result;
    }

private:
    void fail(const QString &why)
    {
        m_result.errorPosition = m_positions[m_at];
        m_result.error = why;
    }

    void readRunMark()
    {
        if (m_digits.mid(m_at, 4) != QLatin1String("*2*2"))
            return fail(QStringLiteral("\"*\" without \"2*2\" after it"));
        m_afterKuten = false;
        m_at += 4;
    }

    void readHash()
    {
        const QString rest = m_digits.mid(m_at);
        if (rest == QLatin1String("#") || rest == QLatin1String("##")) {
            m_at = m_digits.size(); // the end mark
            return;
        }
        const QString code = m_digits.mid(m_at + 1, 4);
        if (code.size() < 4 || !std::all_of(code.begin(), code.end(), isDigit))
            return fail(QStringLiteral("\"#\" without a four-digit row/cell code or at the end"));
        const char32_t ch = cp932::fromValue(valueOfKuten(code.toInt()));
        if (!ch)
            return fail(QStringLiteral("no character has the row/cell code %1").arg(code));
        m_result.text += QChar(char16_t(ch));
        m_afterKuten = true;
        m_at += 5;
    }

    void readFreeWord()
    {
        if (m_afterKuten)
            return fail(QStringLiteral("a free-word code right after a row/cell code (\"*2*2\" missing)"));
        if (m_at + 1 >= m_digits.size() || !isDigit(m_digits[m_at + 1]))
            return fail(QStringLiteral("a free-word code needs two digits"));
        const QString code = m_digits.mid(m_at, 2);
        const QChar ch = gridChar(code.toInt());
        if (ch.isNull())
            return fail(QStringLiteral("no character has the free-word code %1").arg(code));
        m_result.text += ch;
        m_at += 2;
    }

    QString m_digits;
    QList<int> m_positions; // index in the given string of each digit kept
    qsizetype m_at = 0;
    bool m_afterKuten = false;
    DecodeResult m_result;
};

} // namespace

DecodeResult decodeDigits(const QString &digits)
{
    return DigitReader(digits).read();
}
