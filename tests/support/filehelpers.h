#pragma once

#include "store/locks.h"

#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Whole-file helpers for tests that work on real files in temporary folders.
inline QByteArray readFileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFileBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The files under root (hidden ones and those in sub-folders too) that hold bytes.
inline QStringList filesHolding(const QString &root, const QByteArray &bytes)
{
    QStringList out;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        if (readFileBytes(path).contains(bytes))
            out << path;
    }
    return out;
}

// A file of the store's test data (tests/data/store).
inline QByteArray storeTestData(const char *name)
{
    return readFileBytes(QStringLiteral(FUMIDORI_TEST_DATA "/store/") + QLatin1String(name));
}

// The bytes a first start writes to a new settings file: the built-in settings, no address book.
inline const QByteArray &defaultSettingsBytes()
{
    static const QByteArray bytes =
        "[Option]\r\nCentorCount=0\r\nNumberCount=0\r\nPortNumber=1\r\nModemKind=0\r\n"
        "TonePulse=T\r\nDialSpeed=20\r\nSpeakerOff=0\r\nSpeakerVolume=3\r\nSendStrings=8\r\n"
        "AutoTransmit=0\r\nIME=0\r\nOutSide=\r\nOutsideOn=0\r\nHistory=1\r\n"
        "HistoryCount=20\r\nOkCheckNo=0\r\nExCommand=\r\nReturnStart=1\r\n"
        "MailInterval=2\r\n\r\n[Information]\r\n";
    return bytes;
}

// A temporary folder that takes along the line locks of the devices inside it: those
// are kept in the system's lock folder (/run/lock), which would outlive the folder.
struct TempDir : QTemporaryDir {
    ~TempDir()
    {
        for (const QString &folder : {path(), QFileInfo(path()).canonicalFilePath()}) {
            // The lock of a device named "<folder>/x" is "<prefix>x.lock".
            const QFileInfo prefix(PortLock::pathFor(folder + u'/', folder + u'/').chopped(5));
            for (const QString &name : prefix.dir().entryList({prefix.fileName() + u'*'}, QDir::Files | QDir::System))
                QFile::remove(prefix.dir().filePath(name));
        }
    }
};
