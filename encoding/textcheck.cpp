#include "encoding/textcheck.h"

#include "encoding/centerkind.h"
#include "encoding/cp932.h"
#include "encoding/kanawidth.h"

namespace textcheck
{
namespace
{

// A '\n' that does not already follow a '\r' stands for CR LF.
bool isBareLineFeed(const QString &text, qsizetype i)
{
    return text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r');
}

// Full-width characters that have a free-word code once made half-width.
bool inNarrowingSet(char16_t c)
{
    if (c == u'ア' || c == u'イ' || c == u'ウ' || c == u'エ' || (c >= u'オ' && c <= u'ヂ') ||
        (c >= u'ツ' && c <= u'モ') || c == u'ヤ' || c == u'ユ' || (c >= u'ヨ' && c <= u'ヶ'))
        return true;
    if ((c >= u'Ａ' && c <= u'Ｚ') || (c >= u'０' && c <= u'９'))
        return true;
    return QStringView(u"？！－／￥＆＊＃　（）").contains(QChar(c));
}

// Characters without a free-word code that get a row/cell code once made full-width.
bool inWideningSet(char16_t c)
{
    return QStringView(u"\"$%'+,.:;<=>@[]^_`{|}~ｧｨｩｪｫｯｬｭｮ｡｢｣､･").contains(QChar(c));
}

bool isLowerAscii(char16_t c)
{
    return c >= u'a' && c <= u'z';
}

QChar asciiUpper(char16_t c)
{
    return QChar(char16_t(c - u'a' + u'A'));
}

QString narrowed(QChar ch)
{
    const QString half = kanawidth::halfWidthOf(ch);
    return half.isEmpty() ? QString(ch) : half;
}

// The rules for katakana-only centres that the kanji centres do not have.
QString kanaOnlyForm(char16_t c)
{
    if (c >= u'ａ' && c <= u'ｚ')
        return QChar(char16_t(c - u'ａ' + u'A'));
    if (isLowerAscii(c))
        return asciiUpper(c);
    if (c >= u'ｧ' && c <= u'ｫ') // to ｱ..ｵ, ten CP932 codes higher
        return QChar(char16_t(c + 10));
    if (c == u'ｯ')
        return QStringLiteral("ﾂ");
    if (c >= u'ｬ' && c <= u'ｮ') // to ﾔ..ﾖ, forty CP932 codes higher
        return QChar(char16_t(c + 40));
    if (c == u'ｰ')
        return QStringLiteral("-");
    return {};
}

} // namespace

QString asSent(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.count(u'\n'));
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isBareLineFeed(text, i))
            out += u'\r';
        out += text[i];
    }
    return out;
}

int count(const QString &text, int centerKind)
{
    const bool characters = centerRules(centerKind).countsCharacters;
    const qsizetype size = text.size();
    int n = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = text[i].unicode();
        if (isBareLineFeed(text, i)) {
            n += 2;
        } else if (QChar::isHighSurrogate(c) && i + 1 < size && text[i + 1].isLowSurrogate()) {
            ++i; // one character, and one byte as the '?' CP932 would make of it
            ++n;
        } else {
            n += characters || cp932::value(c) <= 0xFF ? 1 : 2;
        }
    }
    return n;
}

QString convert(int menuIndex, const QString &text)
{
    switch (menuIndex) {
    case 0:
        return kanawidth::toKatakana(text);
    case 1:
        return kanawidth::toHalfWidth(text);
    case 2:
        return kanawidth::toUpper(text);
    case 4:
        return kanawidth::toHiragana(text);
    case 5:
        return kanawidth::toFullWidth(text);
    case 6:
        return kanawidth::toLower(text);
    default:
        return text;
    }
}

QString OptimizeForKanji(const QString &text)
{
    QString out;
    out.reserve(text.size() * 2);
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        if (inNarrowingSet(c))
            out += narrowed(ch);
        else if (isLowerAscii(c))
            out += asciiUpper(c);
        else if (inWideningSet(c))
            out += kanawidth::fullWidthOf(ch);
        else if (c == u'ｰ')
            out += u'-';
        else
            out += ch;
    }
    return out;
}

QString OptimizeForKana(const QString &text)
{
    QString out;
    out.reserve(text.size() * 2);
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        const QString katakana = c >= u'ぁ' && c <= u'ん' ? kanawidth::katakanaOf(ch) : QString();
        if (!katakana.isEmpty())
            out += narrowed(katakana[0]);
        else if (inNarrowingSet(c))
            out += narrowed(ch);
        else if (const QString form = kanaOnlyForm(c); !form.isEmpty())
            out += form;
        else
            out += ch;
    }
    return out;
}

QString optimize(int centerKind, const QString &text)
{
    switch (centerRules(centerKind).optimiser) {
    case Optimiser::Kanji:
        return OptimizeForKanji(text);
    case Optimiser::Kana:
        return OptimizeForKana(text);
    case Optimiser::None:
        break;
    }
    return text;
}

QString yenAndOverlineAsAscii(QString text)
{
    text.replace(QChar(0x00A5), u'\\').replace(QChar(0x203E), u'~');
    return text;
}

QString keepEncodable(const QString &text, bool *removed)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (cp932::canEncode(c))
            out += text[i];
    }
    if (removed)
        *removed = out.size() != text.size();
    return out;
}

} // namespace textcheck
