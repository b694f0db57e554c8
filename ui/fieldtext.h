#pragma once

#include <QString>
#include <optional>

// How the dialogs read what the user typed into a number or name field.
namespace fieldtext
{

// The whole text as a number: blanks around it are allowed, nothing else. Empty text,
// "3a" or "1e2" give nothing.
std::optional<double> parseNumber(const QString &text);

// The whole text as a 16-bit value in [minimum, maximum]: the number is checked against the
// range as typed, then rounded to the nearest whole number, halves to the even neighbour.
std::optional<qint16> parseInt16(const QString &text, int minimum, int maximum);

// The leading decimal number of the text (blanks skipped), 0 when it starts with none: the
// reading the address book editor's advice uses ("12abc" counts as 12).
double leadingNumber(const QString &text);

// The first character of a name or number that the settings file cannot carry (a comma, a double
// quotation mark, a line break or other control character, or a character outside code page 932),
// described for a message; empty when every character can be stored.
QString unstorableCharacter(const QString &text);

} // namespace fieldtext
