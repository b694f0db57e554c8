#pragma once

// A data folder as fumidori-send reads it, for the tests that run the program or its
// checks on real files.
#include "support/filehelpers.h"

#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QFile>

// One centre "C" and one recipient "R" of it with the numbers given, the device kind
// given, and port 1 a file of the folder's own, so that its line lock is nobody else's.
// The folder ending in '/'; empty when it could not be made.
inline QString makeSendFolder(const QString &path, const QString &centerNumber = QStringLiteral("0570000111"),
                              const QString &recipientNumber = QStringLiteral("09000000000"), int modemKind = 0)
{
    AppData data;
    data.folder = path + u'/';
    if (!QDir(data.folder).mkpath(QStringLiteral("ports")) ||
        !writeFileBytes(data.folder + QStringLiteral("line"), "") ||
        !QFile::link(data.folder + QStringLiteral("line"), data.folder + QStringLiteral("ports/COM1")))
        return {};
    data.settings = Settings::defaults();
    data.settings.ModemKind = qint16(modemKind);
    data.centers << MessageCenter{QStringLiteral("C"), 0, centerNumber, 20, 1, 1, 1};
    data.recipients << Recipient{QStringLiteral("R"), 0, recipientNumber};
    return SaveSettingsFile(data) ? QString() : data.folder;
}
