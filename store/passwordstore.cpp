#include "store/passwordstore.h"

#include "store/inifile.h"
#include "store/plugins.h"
#include "store/sendqueue.h"

#include <QTimer>

namespace
{
constexpr char PluginFile[] = "fumidori-keyring.so";
}

PasswordStore *KeyringPasswords::store(QString *error)
{
    if (m_store)
        return m_store;
    QStringList problems;
    m_store = qobject_cast<PasswordStore *>(loadPlugin(QLatin1String(PluginFile), &problems));
    if (!m_store)
        *error = QStringLiteral("キーリングを使えません：") + pluginProblem(QLatin1String(PluginFile), problems);
    return m_store;
}

void KeyringPasswords::readPassword(const QString &key, std::function<void(QString, QString)> done)
{
    QString error;
    if (PasswordStore *keyring = store(&error))
        keyring->readPassword(key, std::move(done));
    else
        QTimer::singleShot(0, [done = std::move(done), error] { done({}, error); });
}

void KeyringPasswords::writePassword(const QString &key, const QString &password, std::function<void(QString)> done)
{
    QString error;
    if (PasswordStore *keyring = store(&error))
        keyring->writePassword(key, password, std::move(done));
    else
        QTimer::singleShot(0, [done = std::move(done), error] { done(error); });
}

bool queueLineUsesAccount(const QString &dataFolder, const QString &key)
{
    const IniFile ini = IniFile::load(sendqueue::queueFolder(dataFolder) + QStringLiteral("queue.ini"));
    // A file that cannot be read may name it: the entry is kept.
    if (!ini.ok())
        return true;
    for (const QString &section : ini.sections()) {
        if (!section.startsWith(QLatin1String("Line "), Qt::CaseInsensitive))
            continue;
        if (sipPasswordKey(ini.value(section, QStringLiteral("SipUser")),
                           ini.value(section, QStringLiteral("SipServer"))) == key)
            return true;
    }
    return false;
}
