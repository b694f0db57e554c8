#include "encoding/kanawidth.h"

#include "encoding/cp932.h"

#include <QHash>

namespace kanawidth
{
namespace
{

constexpr char16_t kVoicedMark = u'ﾞ';
constexpr char16_t kSemiVoicedMark = u'ﾟ';

// The full-width counterparts of the half-width kana U+FF61 to U+FF9F, in order.
constexpr QStringView kFullOfHalfKana =
    u"。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノ"
    u"ハヒフヘホマミムメモヤユヨラリルレロワン゛゜";

quint32 voicedKey(QChar kana, QChar mark)
{
    return quint32(kana.unicode()) << 16 | mark.unicode();
}

// Both directions of the width mapping, built once. Where the mapping leaves a choice
// the full-width side is the one with a row/cell code: ” for the double quote, ’ for
// the apostrophe, ￥ for the backslash (which Japanese fonts show as a yen sign).
struct WidthTables {
    QHash<char16_t, QString> half;
    QHash<char16_t, QChar> full;
    QHash<quint32, QChar> voiced;

    WidthTables()
    {
        for (char16_t c = 0x21; c <= 0x7E; ++c) {
            if (c != u'"' && c != u'\'' && c != u'\\')
                pair(QChar(char16_t(c + 0xFEE0)), QString(QChar(c)), true);
        }
        pair(u'”', QStringLiteral("\""), true);
        pair(u'’', QStringLiteral("'"), true);
        pair(u'￥', QStringLiteral("\\"), true);
        pair(u'＼', QStringLiteral("\\"), false);
        pair(u'　', QStringLiteral(" "), true);
        for (qsizetype i = 0; i < kFullOfHalfKana.size(); ++i)
            pair(kFullOfHalfKana[i], QString(QChar(char16_t(0xFF61 + i))), true);
        for (char16_t c = u'ァ'; c <= u'ヺ'; ++c) {
            const QString parts = QChar(c).decomposition();
            if (parts.size() == 2 && half.contains(parts[0].unicode())) {
                const QChar mark = parts[1] == QChar(0x3099) ? kVoicedMark : kSemiVoicedMark;
                pair(c, half.value(parts[0].unicode()) + mark, true);
            }
        }
        // Kana without a half-width form of their own narrow to the nearest one.
        pair(u'ヮ', QStringLiteral("ﾜ"), false);
        pair(u'ヰ', QStringLiteral("ｲ"), false);
        pair(u'ヱ', QStringLiteral("ｴ"), false);
        pair(u'ヵ', QStringLiteral("ｶ"), false);
        pair(u'ヶ', QStringLiteral("ｹ"), false);
    }

    void pair(QChar wide, const QString &narrow, bool widens)
    {
        if (!cp932::canEncode(wide.unicode()) || !cp932::canEncode(narrow))
            return;
        half.insert(wide.unicode(), narrow);
        if (!widens)
            return;
        if (narrow.size() == 1)
            full.insert(narrow[0].unicode(), wide);
        else
            voiced.insert(voicedKey(narrow[0], narrow[1]), wide);
    }
};

const WidthTables &tables()
{
    static const WidthTables t;
    return t;
}

// Hiragana ぁ..ん sit 0x60 below katakana ァ..ン; ゝゞ pair with ヽヾ.
QChar shiftKana(QChar ch, bool toKatakana)
{
    const char16_t c = ch.unicode();
    const int offset = toKatakana ? 0x60 : -0x60;
    const bool kana = toKatakana ? ((c >= u'ぁ' && c <= u'ん') || c == u'ゝ' || c == u'ゞ')
                                 : ((c >= u'ァ' && c <= u'ン') || c == u'ヽ' || c == u'ヾ');
    return kana ? QChar(char16_t(c + offset)) : QChar();
}

QString mapEach(const QString &text, QString (*map)(QChar))
{
    QString out;
    out.reserve(text.size());
    for (QChar ch : text) {
        const QString mapped = map(ch);
        out += mapped.isEmpty() ? QString(ch) : mapped;
    }
    return out;
}

QString caseOf(QChar ch, bool upper)
{
    const QChar mapped = upper ? ch.toUpper() : ch.toLower();
    if (mapped == ch || !cp932::canEncode(ch.unicode()) || !cp932::canEncode(mapped.unicode()))
        return {};
    return mapped;
}

QString upperOf(QChar ch)
{
    return caseOf(ch, true);
}

QString lowerOf(QChar ch)
{
    return caseOf(ch, false);
}

QString hiraganaOf(QChar ch)
{
    const QChar mapped = shiftKana(ch, false);
    return mapped.isNull() ? QString() : QString(mapped);
}

} // namespace

QString katakanaOf(QChar ch)
{
    const QChar mapped = shiftKana(ch, true);
    return mapped.isNull() ? QString() : QString(mapped);
}

QString halfWidthOf(QChar ch)
{
    return tables().half.value(ch.unicode());
}

QString fullWidthOf(QChar ch)
{
    const QChar wide = tables().full.value(ch.unicode());
    return wide.isNull() ? QString() : QString(wide);
}

QString toKatakana(const QString &text)
{
    return mapEach(text, katakanaOf);
}

QString toHiragana(const QString &text)
{
    return mapEach(text, hiraganaOf);
}

QString toHalfWidth(const QString &text)
{
    return mapEach(text, halfWidthOf);
}

QString toFullWidth(const QString &text)
{
    const WidthTables &t = tables();
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i + 1 < text.size()) {
            const QChar joined = t.voiced.value(voicedKey(text[i], text[i + 1]));
            if (!joined.isNull()) {
                out += joined;
                ++i;
                continue;
            }
        }
        out += t.full.value(text[i].unicode(), text[i]);
    }
    return out;
}

QString toUpper(const QString &text)
{
    return mapEach(text, upperOf);
}

QString toLower(const QString &text)
{
    return mapEach(text, lowerOf);
}

} // namespace kanawidth
