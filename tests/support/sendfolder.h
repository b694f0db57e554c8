#pragma once

#include "support/filehelpers.h"

#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// A data folder for fumidori-send's tests: one centre "C" (kind 0, maxChars characters) and
// recipients R0..R(n-1), each with the number 0900000000i. Its port 1 is a file of its
// own, so that its line lock is nobody else's. Empty when it cannot be made.
inline QString makeSendFolder(const QTemporaryDir &dir, int recipients = 3, int maxChars = 20)
{
    AppData data;
    data.folder = dir.path() + u'/';
    if (!QDir(data.folder).mkpath("ports") || !writeFileBytes(data.folder + "line", "") ||
        !QFile::link(data.folder + "line", data.folder + "ports/COM1"))
        return {};
    data.settings = Settings::defaults();
    data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), qint16(maxChars), 1, 1, 1};
    for (int i = 0; i < recipients; ++i)
        data.recipients << Recipient{QStringLiteral("R%1").arg(i), 0, QStringLiteral("0900000000%1").arg(i)};
    return SaveSettingsFile(data) ? QString() : data.folder;
}
