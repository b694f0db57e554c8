#include "store/plugins.h"

#include "store/datafolder.h"

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

QString pluginProblem(const QString &fileName, const QStringList &problems)
{
    if (!problems.isEmpty())
        return QStringLiteral("%1 を読み込めません：%2").arg(fileName, problems.join(u'；'));
    const QString missing = QStringLiteral("%1 がありません（%2）。").arg(fileName, pluginPaths(fileName).join(u'、'));
    if (datafolder::isInstalledLayout(QCoreApplication::applicationDirPath()))
        return missing;
    // A build folder: the plugins are built with the program by scripts/run, not by a
    // build of the program's target alone.
    return missing + QStringLiteral("ソースのフォルダーで scripts/run（ウィンドウを開かずに作るなら "
                                    "TARGETS=fumidori_run scripts/build build）を実行すると作られます。");
}
