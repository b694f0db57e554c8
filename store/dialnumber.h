#pragma once

#include <QString>

// Telephone numbers as typed (in the address book, on a command line) and as keyed.
// What a person writes to make a number readable is dropped: spaces, hyphens (the long
// vowel mark ー among them), parentheses and dots, in their ASCII and full-width forms.
// Full-width digits, ＊ and ＃ are keyed as the ASCII ones. Any other character stops
// the number: no digit of another script, no letter is guessed at, so nothing is ever
// keyed that differs from what the person sees.
namespace dialnumber
{

enum class Kind {
    Keyed,     // keyed as touch-tones: 0-9, *, #
    AtCenter,  // a centre number dialled by an AT device: a comma (pause) and W (wait for
               // the dial tone) as well
    Recipient, // a recipient's number, keyed at the centre and ended by the # keyed after
               // it: a # of its own would end it early, so it has none
};

// The most keys a number holds: more than any centre or pager takes, and what a device's
// dial command holds with room to spare.
constexpr qsizetype MaxDigits = 32;

struct Number {
    QString digits;  // what is keyed; empty when refused
    QString problem; // why the number cannot be keyed, for a message; empty when it can
    bool ok() const { return problem.isEmpty(); }
};

Number normalized(const QString &typed, Kind kind = Kind::Keyed);

// The number field of the address book as it is stored: full-width digits, ＊ and ＃
// typed with the input method on become the ASCII ones, one character for one, and
// nothing else changes.
QString asciiDigits(const QString &typed);

} // namespace dialnumber
