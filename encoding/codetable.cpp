#include "encoding/codetable.h"

qint16 FreeWordRun = 0;

QString CharToCode(const QString &)
{
    return {};
}

QStringList messagePieces(const QString &, int)
{
    return {};
}

DecodeResult decodeDigits(const QString &)
{
    return {};
}
