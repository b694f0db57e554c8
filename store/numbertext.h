#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// Numbers in stored text, held as 16-bit values. A decimal number is an optional
// sign, digits and an optional fraction; it is rounded to the nearest integer with
// halves going to the even neighbour (2.5 gives 2, 3.5 gives 4). Values outside
// -32768..32767 are reported as out of range rather than wrapped.
namespace numbertext
{

enum class Status { Ok, NotANumber, OutOfRange };

struct Result {
    qint16 value = 0;
    Status status = Status::Ok;
};

// The leading number of the text, blanks before it skipped; 0 when the text does
// not start with a number (never NotANumber).
Result leading(QByteArrayView text);

// Whether the leading number of the text, as written (not rounded: "0.5" is below 1),
// is below limit; blanks before it skipped, 0 when the text does not start with a number.
bool leadingBelow(QByteArrayView text, int limit);

// The whole text, blanks around it allowed, as a number; NotANumber otherwise.
Result whole(QByteArrayView text);

} // namespace numbertext
