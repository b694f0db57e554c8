#pragma once

#include <QString>
#include <optional>

// How the dialogs read what the user typed into a number or name field.
namespace fieldtext
{

// The whole text as a 16-bit value in [minimum, maximum], read as the settings file reads its
// numbers: blanks around it allowed, a fraction rounded to the nearest whole number (halves to
// the even neighbour). Empty text, "3a" or "1e2" give nothing.
std::optional<qint16> parseInt16(const QString &text, int minimum, int maximum);

// Whether the leading decimal number of the text (blanks skipped, 0 when it starts with none,
// not rounded) is below limit: the reading the address book editor's advice uses ("12abc"
// counts as 12, "0.5" is below 1).
bool leadingBelow(const QString &text, int limit);

// The first character of a name or number that the settings file cannot carry (a comma, a double
// quotation mark, a line break or other control character, a character outside code page 932, or
// a leading blank, which reading skips), described for a message; empty when every character can
// be stored.
QString unstorableCharacter(const QString &text);

} // namespace fieldtext
