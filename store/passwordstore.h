#pragma once

#include <QString>
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

// The key of the SIP account's password: the user and the server.
inline QString sipPasswordKey(const QString &user, const QString &server)
{
    return QStringLiteral("sip:%1@%2").arg(user.trimmed(), server.trimmed());
}
