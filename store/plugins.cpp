#include "store/plugins.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPluginLoader>

QStringList pluginPaths(const QString &fileName)
{
    const QString dir = QCoreApplication::applicationDirPath();
    return {dir + u'/' + fileName, dir + QStringLiteral("/../lib/fumidori/plugins/") + fileName};
}

QObject *loadPlugin(const QString &fileName, QStringList *problems)
{
    for (const QString &path : pluginPaths(fileName)) {
        if (!QFileInfo::exists(path))
            continue;
        QPluginLoader loader(path);
        if (QObject *instance = loader.instance())
            return instance;
        problems->append(loader.errorString());
    }
    return nullptr;
}
