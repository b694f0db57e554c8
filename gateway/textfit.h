#pragma once

#include "store/appdata.h"

#include <QStringList>

// White space runs (line breaks, full-width spaces, tabs) as one space; controls dropped.
QString squeezeSpaces(const QString &text);

// The text as the centre can take it, for the intakes that never refuse a text for its
// characters or length (mail, Alertmanager): optimised for its kind, a character
// without a code made its compatible form where that has codes (① 1, ㈱ (株)) else
// dropped, white space squeezed, and when still too long cut at its limit with a mark, or with split
// made into numbered parts ("1/2 …") of at most maxParts, the last one cut. Empty
// when nothing is left. tail (an escalation's " #123456") is kept whole at the end of
// one page: the text before it is cut instead (unless the tail alone leaves no room).
QStringList fitToCenter(const QString &text, const MessageCenter &center, bool split, int maxParts,
                        const QString &tail = {});
