#include "samplesettings.h"

#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QFileInfo>

bool writeSampleSettings(const QString &folder, int port, QString *error)
{
    AppData data;
    data.folder = QDir(folder).absolutePath() + QLatin1Char('/');
    if (QFileInfo::exists(data.settingsPath()))
        return true;
    data.settings = Settings::defaults();
    data.settings.PortNumber = qint16(port);
    data.centers << MessageCenter{QStringLiteral("模擬センター"), 0, QStringLiteral("0570000111"), 160, 3, 3, 3};
    data.recipients << Recipient{QStringLiteral("模擬ポケベル"), 0, QStringLiteral("09012345678")};
    if (const std::optional<StoreError> failure = SaveSettingsFile(data)) {
        *error = failure->message();
        return false;
    }
    return true;
}
