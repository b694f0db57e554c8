#pragma once

#include <QString>

// The kana, width and case mappings of Japanese text, limited to what CP932 carries:
// a character whose counterpart CP932 cannot carry has no counterpart here.
namespace kanawidth
{

// Hiragana to full-width katakana and back (ヴ ヵ ヶ have no hiragana here).
QString toKatakana(const QString &text);
QString toHiragana(const QString &text);

// Full-width to half-width (a voiced kana becomes its base and "ﾞ" or "ﾟ") and back
// (a half-width kana followed by "ﾞ" or "ﾟ" becomes the one voiced kana).
QString toHalfWidth(const QString &text);
QString toFullWidth(const QString &text);

QString toUpper(const QString &text);
QString toLower(const QString &text);

// One character: its half-width form (one or two characters) or its full-width form;
// empty when it has none.
QString halfWidthOf(QChar ch);
QString fullWidthOf(QChar ch);
QString katakanaOf(QChar ch);

} // namespace kanawidth
