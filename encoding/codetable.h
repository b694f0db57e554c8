#pragma once

#include <QString>
#include <QStringList>

// The digit codes dialled for a message: two-digit free-word codes and four-digit
// JIS row/cell (kuten) codes, with "*2*2" opening each free-word run and "#" before
// each kuten code.

// The run counter: -1 after a kuten character, 0 for the first character of a
// free-word run, n > 0 for its (n + 1)-th character.
extern qint16 FreeWordRun;

// The code of one character (a string holding exactly one character): two digits,
// four digits, or empty when it has none. Updates FreeWordRun.
QString CharToCode(const QString &ch);

// The digits the mail stage dials for a message, cut into pieces of sendStrings
// characters each (a line break counts as CR LF, two characters). FreeWordRun runs
// on across pieces. The only builder of message digits.
QStringList messagePieces(const QString &message, int sendStrings);

// The inverse: a digit string (a piece or a whole message, with or without its end
// mark) back to text. On digits it cannot place, errorPosition is their 0-based index.
struct DecodeResult {
    QString text;
    int errorPosition = -1;
    QString error;
    bool ok() const { return errorPosition < 0; }
};
DecodeResult decodeDigits(const QString &digits);
