#pragma once

#include <QString>
#include <QtPlugin>
#include <functional>

// Where the SIP password is kept: the desktop's keyring, never a file of ours. The
// calls answer through done, from the event loop; error is empty on success, and a
// password that was never stored reads as empty without an error.
class PasswordStore
{
public:
    virtual ~PasswordStore() = default;
    virtual void readPassword(const QString &key, std::function<void(QString password, QString error)> done) = 0;
    // An empty password removes the entry.
    virtual void writePassword(const QString &key, const QString &password,
                               std::function<void(QString error)> done) = 0;
};

// The keyring's plugin (keyring/) implements the store behind this name.
#define PasswordStore_iid "org.fumidori.PasswordStore/1"
Q_DECLARE_INTERFACE(PasswordStore, PasswordStore_iid)

// The desktop's keyring, loaded from its plugin at the first read or write, so the
// keyring's libraries (QtKeychain, D-Bus, the Secret Service) are loaded only by a
// run that uses the SIP password. Without the plugin each call answers with why.
class KeyringPasswords : public PasswordStore
{
public:
    void readPassword(const QString &key, std::function<void(QString password, QString error)> done) override;
    void writePassword(const QString &key, const QString &password, std::function<void(QString error)> done) override;

private:
    PasswordStore *store(QString *error);
    PasswordStore *m_store = nullptr;
};

// The key of the SIP account's password: the user and the server.
inline QString sipPasswordKey(const QString &user, const QString &server)
{
    return QStringLiteral("sip:%1@%2").arg(user.trimmed(), server.trimmed());
}

// True when a line section of the data folder's queue ("[Line NAME]" in queue/queue.ini)
// calls through the account of that key: its keyring entry is still needed there.
bool queueLineUsesAccount(const QString &dataFolder, const QString &key);
