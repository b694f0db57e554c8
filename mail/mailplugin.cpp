#include "mailparser.h"

#include <QObject>

// The mail reader as the plugin the mail intake loads.
class MailPlugin : public QObject, public MailReader
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID MailReader_iid)
    Q_INTERFACES(MailReader)

public:
    MailContent read(const QByteArray &raw) override { return parseMail(raw); }
};

#include "mailplugin.moc"
