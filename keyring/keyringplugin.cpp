#include "keyring/keyringstore.h"

#include <QObject>

// The keyring store as the plugin the program loads at the first use of a password.
class KeyringPlugin : public QObject, public KeyringStore
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID PasswordStore_iid)
    Q_INTERFACES(PasswordStore)
};

#include "keyringplugin.moc"
