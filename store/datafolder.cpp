#include "store/datafolder.h"

#include "store/filestore.h"
#include "store/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace datafolder
{
namespace
{

QString withSlash(const QString &path)
{
    return path.endsWith(u'/') ? path : path + u'/';
}

QString installedShare(const QString &programDir)
{
    return QDir::cleanPath(programDir + QStringLiteral("/../share/fumidori"));
}

} // namespace

bool isInstalledLayout(const QString &programDir)
{
    return QDir(programDir).dirName() == u"bin" && QFileInfo(installedShare(programDir)).isDir();
}

QString appFolder(const QString &programDir, const QString &xdgDataHome, const QString &home)
{
    const QString own = withSlash(programDir);
    if (filestore::exists(own, QString::fromLatin1(settingsfile::FileName)) || !isInstalledLayout(programDir))
        return own;
    // Only an absolute XDG_DATA_HOME counts; anything else means the default.
    const QString base = QDir::isAbsolutePath(xdgDataHome) ? xdgDataHome : home + QStringLiteral("/.local/share");
    return withSlash(QDir::cleanPath(base + QStringLiteral("/fumidori")));
}

QString locate()
{
    return appFolder(QCoreApplication::applicationDirPath(), qEnvironmentVariable("XDG_DATA_HOME"), QDir::homePath());
}

QString forThisProgram()
{
    const QString folder = locate();
    if (folder != withSlash(QCoreApplication::applicationDirPath()))
        make(folder);
    return folder;
}

void make(const QString &folder)
{
    const QString clean = QDir::cleanPath(folder);
    if (QFileInfo::exists(clean))
        return;
    QDir().mkpath(QFileInfo(clean).path());
    ::mkdir(QFile::encodeName(clean).constData(), 0700);
}

QString sharedFolder(const QString &programDir)
{
    return withSlash(isInstalledLayout(programDir) ? installedShare(programDir) : programDir);
}

} // namespace datafolder
