#include "keyring/keyringstore.h"

#include <qt6keychain/keychain.h>

void KeyringStore::readPassword(const QString &key, std::function<void(QString, QString)> done)
{
    auto *job = new QKeychain::ReadPasswordJob(QLatin1String(Service));
    job->setKey(key);
    QObject::connect(job, &QKeychain::Job::finished, [done = std::move(done)](QKeychain::Job *finished) {
        auto *read = static_cast<QKeychain::ReadPasswordJob *>(finished);
        if (read->error() == QKeychain::EntryNotFound)
            done({}, {});
        else if (read->error() != QKeychain::NoError)
            done({}, QStringLiteral("キーリングからパスワードを読めません: %1").arg(read->errorString()));
        else
            done(read->textData(), {});
    });
    job->start(); // the job deletes itself once finished
}

void KeyringStore::writePassword(const QString &key, const QString &password, std::function<void(QString)> done)
{
    QKeychain::Job *job = nullptr;
    if (password.isEmpty()) {
        auto *remove = new QKeychain::DeletePasswordJob(QLatin1String(Service));
        remove->setKey(key);
        job = remove;
    } else {
        auto *write = new QKeychain::WritePasswordJob(QLatin1String(Service));
        write->setKey(key);
        write->setTextData(password);
        job = write;
    }
    QObject::connect(job, &QKeychain::Job::finished, [done = std::move(done)](QKeychain::Job *finished) {
        const bool ok = finished->error() == QKeychain::NoError || finished->error() == QKeychain::EntryNotFound;
        done(ok ? QString()
                : QStringLiteral("キーリングにパスワードを保存できません: %1").arg(finished->errorString()));
    });
    job->start();
}
