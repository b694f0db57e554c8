#include "samplesettings.h"

#include "store/appdata.h"
#include "store/filestore.h"
#include "store/historyfile.h"
#include "store/settingsfile.h"

#include <QDir>

bool writeSampleSettings(const QString &folder, int port, QString *error)
{
    AppData data;
    data.folder = QDir(folder).absolutePath() + QLatin1Char('/');
    if (filestore::exists(data.folder, QString::fromLatin1(settingsfile::FileName)))
        return true;
    data.settings = Settings::defaults();
    data.settings.PortNumber = qint16(port);
    // 030 is assigned to no service: a real exchange answers both numbers with the
    // unassigned-number announcement, so a sample left in place costs nothing.
    data.centers << MessageCenter{QStringLiteral("模擬センター"), 0, QStringLiteral("03000000111"), 160, 3, 3, 3};
    data.recipients << Recipient{QStringLiteral("模擬ポケベル"), 0, QStringLiteral("03012345678")};
    std::optional<StoreError> failure = SaveSettingsFile(data);
    // An empty history with it, so that the first start asks nothing.
    const QString history = QString::fromLatin1(historyfile::FileName);
    if (!failure && !filestore::exists(data.folder, history))
        failure = filestore::writeAtomically(data.folder, history, QByteArray());
    if (failure) {
        *error = failure->message();
        return false;
    }
    return true;
}
