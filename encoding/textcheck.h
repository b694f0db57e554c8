#pragma once

#include <QString>

// Counting, conversions and optimisers that keep a message sendable.
namespace textcheck
{

// The text as it is counted and sent: every line break '\n' as CR LF ("\r\n" stays as it is).
QString asSent(const QString &text);

// The count panel 5 shows for the text of the message box ('\n' stands for CR LF).
int count(const QString &text, int centerKind);

// The "文字変換" menu items 0, 1, 2, 4, 5, 6 applied to a text.
QString convert(int menuIndex, const QString &text);

// Rewrite a text into the forms the code tables send most cheaply: for centres that
// take kanji (narrow what has a free-word code, widen what has none), and for
// centres that take katakana only.
QString OptimizeForKanji(const QString &text);
QString OptimizeForKana(const QString &text);
// The optimiser of a centre kind; kind 7 and unknown kinds leave the text unchanged.
QString optimize(int centerKind, const QString &text);

// The yen sign U+00A5 and the overline U+203E as the characters of the CP932 bytes 0x5C and 0x7E
// (U+005C, U+007E), as the desktop's own CP932 conversion takes them; for text typed or pasted.
QString yenAndOverlineAsAscii(QString text);

// The text without the characters CP932 cannot carry; *removed tells whether any were.
QString keepEncodable(const QString &text, bool *removed = nullptr);

} // namespace textcheck
