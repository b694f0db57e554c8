#pragma once

#include <QString>
#include <QStringList>

// The digit codes dialled for a message: two-digit free-word codes and four-digit
// JIS row/cell (kuten) codes, with "*2*2" opening each free-word run and "#" before
// each kuten code.

// The code of one character (a string holding exactly one character): two digits,
// four digits, or empty when it has none.
QString CharToCode(const QString &ch);

// The digits of one message, character by character. Its run counter is -1 after a
// kuten character, 0 for the first character of a free-word run, n > 0 for its
// (n + 1)-th character; it stops at 32767 instead of wrapping, so an endless run keeps
// dialling bare codes.
class DigitEncoder
{
public:
    // The code of the next character, with "*2*2" in front when it opens a free-word
    // run and "#" in front of a kuten code.
    QString next(const QString &ch);

private:
    qint16 m_run = -1;
};

// The digits the mail stage dials for a message, cut into pieces of sendStrings
// characters each (a line break counts as CR LF, two characters). The run goes on
// across pieces. The only builder of message digits. A sendStrings below 1 is
// taken as 1.
QStringList messagePieces(const QString &message, int sendStrings);

// The mark dialled after the last piece (the centre kind's row).
QString endMark(int centerKind);

// The JIS row * 100 + cell of a CP932 double-byte value when it lies in the set of
// characters the centres accept, else -1; and back (-1 when outside the set).
int kutenOfValue(int cp932Value);
int valueOfKuten(int kuten);

// The inverse: a digit string (a piece or a whole message, with or without its end
// mark) back to text. Line breaks between pieces are skipped. On digits it cannot
// place, errorPosition is their 0-based index.
struct DecodeResult {
    QString text;
    int errorPosition = -1;
    QString error;
    bool ok() const { return errorPosition < 0; }
};
DecodeResult decodeDigits(const QString &digits);
