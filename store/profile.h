#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// One key of an ini-style file, read the way the settings have always been read:
// section and key names match without regard to letter case (the first matching
// section and key count), the value is the text after "=" with blanks removed at
// both ends and then one pair of double quotation marks around it removed, a
// missing file, section or key gives empty text, and at most 254 bytes come back
// (cut before a double-byte character that would not fit, and at a NUL byte).
QByteArray profileString(QByteArrayView fileBytes, QByteArrayView section, QByteArrayView key);

// The value of one key of the settings file in folder, as text.
QString ReadOption(const QString &folder, const QString &section, const QString &key);
