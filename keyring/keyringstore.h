#pragma once

#include "store/passwordstore.h"

// The password store on the desktop's keyring (Secret Service, KWallet) through QtKeychain.
class KeyringStore : public PasswordStore
{
public:
    static constexpr char Service[] = "Fumidori";

    void readPassword(const QString &key, std::function<void(QString password, QString error)> done) override;
    void writePassword(const QString &key, const QString &password, std::function<void(QString error)> done) override;
};
