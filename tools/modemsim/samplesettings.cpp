#include "samplesettings.h"

#include "encoding/cp932.h"
#include "store/appdata.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace
{

QString optionLines(const Settings &s)
{
    const QList<QPair<const char *, QString>> keys = {
        {"PortNumber", QString::number(s.PortNumber)},
        {"ModemKind", QString::number(s.ModemKind)},
        {"TonePulse", s.TonePulse},
        {"DialSpeed", QString::number(s.DialSpeed)},
        {"SpeakerOff", QString::number(s.SpeakerOff)},
        {"SpeakerVolume", QString::number(s.SpeakerVolume)},
        {"SendStrings", QString::number(s.SendStrings)},
        {"AutoTransmit", QString::number(s.AutoTransmit)},
        {"IME", QString::number(s.IME)},
        {"OutSide", s.OutSide},
        {"OutsideOn", QString::number(s.OutsideOn)},
        {"History", QString::number(s.History)},
        {"HistoryCount", QString::number(s.HistoryCount)},
        {"OkCheckNo", QString::number(s.OkCheckNo)},
        {"ExCommand", s.ExCommand},
        {"ReturnStart", QString::number(s.ReturnStart)},
        {"MailInterval", QString::number(s.MailInterval)},
    };
    QString out;
    for (const auto &[key, value] : keys)
        out += QLatin1String(key) + QLatin1Char('=') + value + QStringLiteral("\r\n");
    return out;
}

} // namespace

bool writeSampleSettings(const QString &folder, int port, QString *error)
{
    const QString path = QDir(folder).filePath(QStringLiteral("Fumidori.ini"));
    if (QFileInfo::exists(path))
        return true;
    Settings s = Settings::defaults();
    s.PortNumber = qint16(port);
    const QString text = QStringLiteral("[Option]\r\nCentorCount=1\r\nNumberCount=1\r\n") + optionLines(s) +
                         QStringLiteral("\r\n[Information]\r\n"
                                        "模擬センター,0\r\n0570000111\r\n 160 \r\n3,3,3\r\n"
                                        "模擬ポケベル,0\r\n09012345678\r\n");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(cp932::encode(text)) < 0 || !file.commit()) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}
