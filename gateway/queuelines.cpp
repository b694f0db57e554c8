#include "gateway/queuelines.h"

#include "gateway/values.h"

#include "modem/comport.h"
#include "modem/devicekind.h"
#include "store/inifile.h"
#include "store/locks.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>

namespace
{

const QString LinePrefix = QStringLiteral("Line ");
const QString StatusFile = QStringLiteral("lines.json");

QStringList lineKeys()
{
    return settingsfile::deviceKeys() +
           QStringList{"Device", "SipPasswordFile", "Centers", "AnswerLimit", "CheckEvery", "TestPage", "TestAt"};
}

// What makes two lines one device: a serial device by its real path, a SIP account by
// user and server, a kind whose settings name its device by the device they find, any
// other kind (the sound card) by its number. Settings that find no one device: *problem.
QString deviceIdentity(const QString &folder, const Settings &s, const QString &device, QString *problem)
{
    const DeviceKindRow *row = deviceKind(s.ModemKind);
    if (row && row->usesPort) {
        const QString path = ComPort::devicePath(folder, s.PortNumber, device);
        const QString real = QFileInfo(path).canonicalFilePath();
        return real.isEmpty() ? path : real;
    }
    if (row && row->usesAccount)
        return QStringLiteral("SIP の口座 %1@%2").arg(s.SipUser.trimmed(), s.SipServer.trimmed().toLower());
    if (row && row->namedDevice)
        return row->namedDevice(s, problem);
    return QStringLiteral("機器の種類 %1").arg(s.ModemKind);
}

} // namespace

bool QueueLine::validName(const QString &name)
{
    if (name.isEmpty() || name.size() > MaxNameLength)
        return false;
    return std::all_of(name.cbegin(), name.cend(), [](QChar c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_' ||
               c == u'-';
    });
}

std::optional<QString> QueueLine::sectionName(const QString &section)
{
    if (!section.startsWith(LinePrefix, Qt::CaseInsensitive))
        return std::nullopt;
    return section.mid(LinePrefix.size()).trimmed();
}

QList<QueueLine> QueueLine::read(const IniFile &ini, QStringList *problems)
{
    QList<QueueLine> lines;
    QStringList seen;
    for (const QString &section : ini.sections()) {
        const std::optional<QString> name = sectionName(section);
        if (!name)
            continue;
        const auto problem = [&](const QString &text) {
            *problems << QStringLiteral("queue.ini の [%1]: ").arg(section) + text;
        };
        if (!validName(*name)) {
            problem(QStringLiteral("回線の名前は英数字と _ - の 1～%1 文字にしてください。").arg(MaxNameLength));
            continue;
        }
        if (seen.contains(*name, Qt::CaseInsensitive)) {
            problem(QStringLiteral("同じ名前の回線が二つあります。"));
            continue;
        }
        seen << *name;
        for (const QString &p : ini.unknownKeys(section, lineKeys()))
            *problems << QStringLiteral("queue.ini の ") + p;
        QueueLine line;
        line.name = *name;
        for (const IniFile::Entry &e : ini.entries()) {
            if (e.section.compare(section, Qt::CaseInsensitive) == 0 &&
                settingsfile::deviceKeys().contains(e.key, Qt::CaseInsensitive))
                line.deviceKeys.append({e.key, e.value});
        }
        line.device = ini.value(section, "Device");
        if (!line.device.isEmpty() && !line.device.startsWith(u'/'))
            problem(QStringLiteral("Device=%1 は / で始まる機器のパスにしてください。").arg(line.device));
        if (ini.has(section, "SipPasswordFile")) {
            line.sipPasswordFile = ini.value(section, "SipPasswordFile");
            if (line.sipPasswordFile.isEmpty())
                problem(QStringLiteral("SipPasswordFile が空です。パスワードのファイルを指定してください。"));
        }
        for (const QString &c : ini.value(section, "Centers").split(u',', Qt::SkipEmptyParts)) {
            if (!c.trimmed().isEmpty())
                line.centers << c.trimmed();
        }
        if (ini.has(section, "AnswerLimit")) {
            line.answerLimitS = parseDuration(ini.value(section, "AnswerLimit"), DeviceAccess::MinAnswerLimitS,
                                              DeviceAccess::MaxAnswerLimitS);
            if (!line.answerLimitS)
                problem(QStringLiteral("AnswerLimit=%1 は使えません（%2 秒から %3 秒までの時間）。")
                            .arg(sendqueue::capped(ini.value(section, "AnswerLimit"), 80))
                            .arg(DeviceAccess::MinAnswerLimitS)
                            .arg(DeviceAccess::MaxAnswerLimitS));
        }
        if (ini.has(section, "CheckEvery")) {
            line.checkEveryS = parseCheckEvery(ini.value(section, "CheckEvery"));
            if (!line.checkEveryS)
                problem(QStringLiteral("CheckEvery=%1 は使えません（0 か、%2 秒から 24 時間までの時間）。")
                            .arg(sendqueue::capped(ini.value(section, "CheckEvery"), 80))
                            .arg(MinCheckEveryS));
        }
        QStringList bad;
        line.testPage = TestPage::read(ini, section, &bad);
        for (const QString &text : std::as_const(bad))
            problem(text);
        lines << line;
    }
    return lines;
}

std::optional<TestPage> TestPage::read(const IniFile &ini, const QString &section, QStringList *problems)
{
    const bool hasPage = ini.has(section, "TestPage"), hasAt = ini.has(section, "TestAt");
    if (!hasPage && !hasAt)
        return std::nullopt;
    TestPage t;
    t.to = ini.value(section, "TestPage").trimmed();
    const QString at = ini.value(section, "TestAt").simplified();
    if (t.to.isEmpty() || !hasAt) {
        *problems << QStringLiteral("TestPage= と TestAt= は二つ揃えて書いてください（試験送信の宛先と日時）。");
        return std::nullopt;
    }
    static const QStringList days{"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    const QStringList parts = at.split(u' ');
    const QTime time = QTime::fromString(parts.last(), QStringLiteral("H:mm"));
    const qsizetype day = parts.size() == 2 ? days.indexOf(parts.first().left(3).toLower()) : -1;
    if (parts.size() > 2 || !time.isValid() || (parts.size() == 2 && (day < 0 || parts.first().size() > 3))) {
        *problems << QStringLiteral("TestAt=%1 は使えません（Mon 09:00 のような曜日と時刻か、毎日なら 09:00）。")
                         .arg(sendqueue::capped(at, 80));
        return std::nullopt;
    }
    t.weekday = int(day + 1);
    t.minutes = time.hour() * 60 + time.minute();
    return t;
}

qint64 TestPage::next(qint64 nowMs) const
{
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(nowMs);
    for (int d = 0; d <= 8; ++d) {
        const QDate date = now.date().addDays(d);
        const QDateTime at(date, QTime(minutes / 60, minutes % 60));
        if ((weekday == 0 || date.dayOfWeek() == weekday) && at.toMSecsSinceEpoch() > nowMs)
            return at.toMSecsSinceEpoch();
    }
    return nowMs + 7 * 24 * 3600 * 1000LL; // not reached
}

QString TestPage::text(const QString &line, qint64 dueMs) const
{
    return QStringLiteral("回線 %1 の試験送信です %2")
        .arg(line, QDateTime::fromMSecsSinceEpoch(dueMs).toString(QStringLiteral("M月d日H時mm分")));
}

std::optional<int> QueueLine::parseCheckEvery(const QString &value)
{
    const std::optional<int> s = parseDuration(value, 0, MaxCheckEveryS);
    if (!s || (*s > 0 && *s < MinCheckEveryS))
        return std::nullopt;
    return s;
}

QList<ReadyLine> readyLines(const QString &folder, const QList<QueueLine> &lines, const DeviceAccess &base,
                            QStringList *problems)
{
    if (lines.isEmpty())
        return {{windowLineName(folder), base, std::nullopt, std::nullopt}};
    AppData data;
    if (const std::optional<Outcome> refusal = loadFolder(folder, data)) {
        *problems << refusal->message;
        return {};
    }
    QList<ReadyLine> ready;
    QHash<QString, QString> devices; // identity -> the line that has it
    for (const QueueLine &line : lines) {
        const auto problem = [&](const QString &text) {
            *problems << QStringLiteral("queue.ini の [Line %1]: ").arg(line.name) + text;
        };
        Settings s = data.settings;
        if (const auto bad = settingsfile::applyDeviceKeys(s, line.deviceKeys)) {
            problem(*bad);
            continue;
        }
        DeviceAccess access = base;
        access.onTerminal = false; // a queue's line has nobody at it
        if (const QString kind = deviceKindProblem(s.ModemKind, access); !kind.isEmpty()) {
            problem(kind + QStringLiteral("キューの回線にはできません。"));
            continue;
        }
        QString unusable;
        const QString identity = deviceIdentity(folder, s, line.device, &unusable);
        if (!unusable.isEmpty()) {
            problem(unusable);
            continue;
        }
        if (const QString other = devices.value(identity); !other.isEmpty()) {
            problem(QStringLiteral("[Line %1] と同じ機器（%2）です。").arg(other, identity));
            continue;
        }
        devices.insert(identity, line.name);
        access.line = line.name;
        access.deviceKeys = line.deviceKeys;
        access.device = line.device;
        access.centers = line.centers;
        if (line.answerLimitS)
            access.answerLimitMs = qint64(*line.answerLimitS) * 1000;
        if (!line.sipPasswordFile.isEmpty()) {
            QString bad;
            const std::optional<QString> password = readPrivateFile(line.sipPasswordFile, &bad);
            if (!password) {
                problem(bad);
                continue;
            }
            access.sipPasswordFile = line.sipPasswordFile;
            access.sipPassword = *password;
        }
        for (const QString &center : line.centers) {
            if (std::none_of(data.centers.cbegin(), data.centers.cend(),
                             [&](const MessageCenter &c) { return c.name == center; }))
                problem(QStringLiteral("Centers のセンター「%1」はアドレス帳にありません。").arg(center));
        }
        ready << ReadyLine{line.name, access, line.checkEveryS, line.testPage};
    }
    return ready;
}

QString windowLineName(const QString &folder)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    {
        const FolderLock lock(folder, FolderLock::Shared);
        LoadSettingsFile(data); // unreadable: the defaults, as the first call will say
    }
    const DeviceKindRow *row = deviceKind(data.settings.ModemKind);
    if (row && row->usesPort)
        return QStringLiteral("COM%1").arg(data.settings.PortNumber);
    return QStringLiteral("kind %1").arg(data.settings.ModemKind);
}

namespace linestatus
{

QString path(const QString &dataFolder)
{
    return sendqueue::queueFolder(dataFolder) + StatusFile;
}

std::optional<QString> write(const QString &dataFolder, const QJsonObject &status)
{
    const sendqueue::Result r =
        sendqueue::writeSide(dataFolder, StatusFile, QJsonDocument(status).toJson(QJsonDocument::Compact) + '\n');
    if (r.ok())
        return std::nullopt;
    return r.text;
}

std::optional<QJsonObject> read(const QString &dataFolder)
{
    QString problem;
    const std::optional<QByteArray> bytes = sendqueue::readSide(dataFolder, StatusFile, &problem);
    if (!bytes)
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(*bytes);
    if (!doc.isObject() || !doc.object().value(QStringLiteral("lines")).isArray())
        return std::nullopt;
    return doc.object();
}

} // namespace linestatus
