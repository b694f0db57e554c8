#include "store/sendqueue.h"

#include "store/filestore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <atomic>
#include <cstdio>

namespace sendqueue
{
namespace
{

const QString Suffix = QStringLiteral(".msg");

QString fileName(const QString &id)
{
    return id + Suffix;
}

QString folderOf(const QString &dataFolder, State state)
{
    switch (state) {
    case State::Sending:
        return workFolder(dataFolder);
    case State::Failed:
        return failedFolder(dataFolder);
    default:
        return queueFolder(dataFolder);
    }
}

bool moveFile(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

QStringList idsIn(const QString &folder)
{
    QStringList ids;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.msg")}, QDir::Files, QDir::Name)) {
        if (!name.startsWith(QLatin1Char('.')))
            ids << name.chopped(Suffix.size());
    }
    return ids;
}

std::optional<QString> write(const QString &folder, const QueuedMessage &m)
{
    if (!QDir().mkpath(folder))
        return QStringLiteral("フォルダー %1 を作れません。").arg(folder);
    if (auto error = filestore::writeAtomically(folder, fileName(m.id), toJson(m)))
        return error->fileName + QStringLiteral(" を書けません: ") + error->detail;
    return std::nullopt;
}

bool validId(const QString &id)
{
    static const QString allowed = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzT-");
    if (id.isEmpty() || id.size() > 64)
        return false;
    for (QChar c : id) {
        if (!allowed.contains(c))
            return false;
    }
    return true;
}

} // namespace

QString queueFolder(const QString &dataFolder)
{
    return dataFolder + QStringLiteral("queue/");
}

QString workFolder(const QString &dataFolder)
{
    return queueFolder(dataFolder) + QStringLiteral("work/");
}

QString failedFolder(const QString &dataFolder)
{
    return queueFolder(dataFolder) + QStringLiteral("failed/");
}

QByteArray toJson(const QueuedMessage &m)
{
    QJsonObject o;
    o[QStringLiteral("to")] = m.to;
    if (!m.number.isEmpty())
        o[QStringLiteral("number")] = m.number;
    if (!m.center.isEmpty())
        o[QStringLiteral("center")] = m.center;
    o[QStringLiteral("optimize")] = m.optimize;
    o[QStringLiteral("message")] = m.text;
    o[QStringLiteral("attempts")] = m.attempts;
    QJsonArray delays;
    for (int d : m.delays)
        delays.append(d);
    o[QStringLiteral("delays")] = delays;
    o[QStringLiteral("tried")] = m.tried;
    o[QStringLiteral("notBefore")] = QDateTime::fromMSecsSinceEpoch(m.notBefore, Qt::UTC).toString(Qt::ISODateWithMs);
    o[QStringLiteral("added")] = QDateTime::fromMSecsSinceEpoch(m.added, Qt::UTC).toString(Qt::ISODateWithMs);
    if (!m.onSent.isEmpty())
        o[QStringLiteral("onSent")] = m.onSent;
    if (!m.onFailed.isEmpty())
        o[QStringLiteral("onFailed")] = m.onFailed;
    if (!m.lastError.isEmpty())
        o[QStringLiteral("lastError")] = m.lastError;
    if (!m.failure.isEmpty())
        o[QStringLiteral("failure")] = m.failure;
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

std::optional<QString> fromJson(const QByteArray &bytes, QueuedMessage *m)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (!doc.isObject())
        return QStringLiteral("JSON として読めません（%1）").arg(error.errorString());
    const QJsonObject o = doc.object();
    const QString id = m->id;
    *m = QueuedMessage{};
    m->id = id;
    m->to = o.value(QStringLiteral("to")).toString();
    m->number = o.value(QStringLiteral("number")).toString();
    m->center = o.value(QStringLiteral("center")).toString();
    m->optimize = o.value(QStringLiteral("optimize")).toBool();
    m->text = o.value(QStringLiteral("message")).toString();
    m->attempts = qBound(0, o.value(QStringLiteral("attempts")).toInt(3), 1000);
    for (const QJsonValue &d : o.value(QStringLiteral("delays")).toArray())
        m->delays << qMax(0, d.toInt());
    m->tried = qMax(0, o.value(QStringLiteral("tried")).toInt());
    const auto time = [&](const char *key) {
        const QDateTime t = QDateTime::fromString(o.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
        return t.isValid() ? t.toMSecsSinceEpoch() : 0;
    };
    m->notBefore = time("notBefore");
    m->added = time("added");
    m->onSent = o.value(QStringLiteral("onSent")).toString();
    m->onFailed = o.value(QStringLiteral("onFailed")).toString();
    m->lastError = o.value(QStringLiteral("lastError")).toString();
    m->failure = o.value(QStringLiteral("failure")).toString();
    if (m->to.isEmpty() && (m->number.isEmpty() || m->center.isEmpty()))
        return QStringLiteral("宛先（to、または number と center）がありません");
    return std::nullopt;
}

int retryDelay(const QList<int> &delays, int tried)
{
    if (delays.isEmpty() || tried < 1)
        return 0;
    return delays[qMin<qsizetype>(tried, delays.size()) - 1];
}

std::optional<QString> add(const QString &dataFolder, QueuedMessage &m)
{
    // Ids sort in the order of adding: within one process two adds in one millisecond
    // get successive ones, from whichever thread they come.
    static std::atomic<qint64> last = 0;
    qint64 previous = last.load();
    qint64 mine = 0;
    do
        mine = qMax(previous + 1, QDateTime::currentMSecsSinceEpoch());
    while (!last.compare_exchange_weak(previous, mine));
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(mine, Qt::UTC);
    if (m.added == 0)
        m.added = mine;
    const QString random = QString::number(QRandomGenerator::global()->bounded(0x100000), 16).rightJustified(5, u'0');
    m.id = now.toString(QStringLiteral("yyyyMMddTHHmmsszzz")) + QLatin1Char('-') + random;
    return write(queueFolder(dataFolder), m);
}

QStringList waitingIds(const QString &dataFolder)
{
    return idsIn(queueFolder(dataFolder));
}

std::optional<QueuedMessage> read(const QString &folder, const QString &id, QString *problem)
{
    QFile file(folder + fileName(id));
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        return std::nullopt;
    }
    QueuedMessage m;
    m.id = id;
    if (auto error = fromJson(file.readAll(), &m)) {
        *problem = *error;
        return std::nullopt;
    }
    return m;
}

bool take(const QString &dataFolder, const QString &id)
{
    QDir().mkpath(workFolder(dataFolder));
    return moveFile(queueFolder(dataFolder) + fileName(id), workFolder(dataFolder) + fileName(id));
}

std::optional<QString> putBack(const QString &dataFolder, const QueuedMessage &m)
{
    if (auto error = write(workFolder(dataFolder), m))
        return error;
    if (!moveFile(workFolder(dataFolder) + fileName(m.id), queueFolder(dataFolder) + fileName(m.id)))
        return QStringLiteral("%1 を queue/ に戻せません。").arg(m.id);
    return std::nullopt;
}

std::optional<QString> fail(const QString &dataFolder, QueuedMessage m, const QString &reason, State from)
{
    m.failure = reason;
    const QString folder = folderOf(dataFolder, from);
    if (auto error = write(folder, m))
        return error;
    QDir().mkpath(failedFolder(dataFolder));
    if (!moveFile(folder + fileName(m.id), failedFolder(dataFolder) + fileName(m.id)))
        return QStringLiteral("%1 を failed/ に移せません。").arg(m.id);
    return std::nullopt;
}

void finish(const QString &dataFolder, const QString &id)
{
    QFile::remove(workFolder(dataFolder) + fileName(id));
}

int recover(const QString &dataFolder)
{
    int count = 0;
    for (const QString &id : idsIn(workFolder(dataFolder))) {
        QString problem;
        const std::optional<QueuedMessage> m = read(workFolder(dataFolder), id, &problem);
        const State to = m && !m->failure.isEmpty() ? State::Failed : State::Waiting;
        if (moveFile(workFolder(dataFolder) + fileName(id), folderOf(dataFolder, to) + fileName(id)))
            ++count;
    }
    // Files a writer that died left under their temporary names: never a message.
    const QDateTime old = QDateTime::currentDateTimeUtc().addSecs(-600);
    for (const QString &folder : {queueFolder(dataFolder), workFolder(dataFolder), failedFolder(dataFolder)}) {
        for (const QFileInfo &f : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
            if (f.fileName().contains(Suffix + QLatin1Char('.')) && f.lastModified().toUTC() < old)
                QFile::remove(f.filePath());
        }
    }
    return count;
}

std::optional<QString> retry(const QString &dataFolder, const QString &id)
{
    if (!validId(id))
        return QStringLiteral("ID「%1」の形が正しくありません。").arg(id);
    for (State state : {State::Failed, State::Waiting}) {
        const QString folder = folderOf(dataFolder, state);
        QString problem;
        std::optional<QueuedMessage> m = read(folder, id, &problem);
        if (!m)
            continue;
        m->tried = 0;
        m->notBefore = 0;
        m->failure.clear();
        if (auto error = write(folder, *m))
            return error;
        if (state == State::Failed && !moveFile(folder + fileName(id), queueFolder(dataFolder) + fileName(id)))
            return QStringLiteral("%1 を queue/ に戻せません。").arg(id);
        return std::nullopt;
    }
    if (QFileInfo::exists(workFolder(dataFolder) + fileName(id)))
        return QStringLiteral("%1 はいま送信中です。").arg(id);
    return QStringLiteral("ID %1 のメッセージはキューにありません。").arg(id);
}

std::optional<QString> drop(const QString &dataFolder, const QString &id)
{
    if (!validId(id))
        return QStringLiteral("ID「%1」の形が正しくありません。").arg(id);
    for (State state : {State::Waiting, State::Failed}) {
        if (QFile::remove(folderOf(dataFolder, state) + fileName(id)))
            return std::nullopt;
    }
    if (QFileInfo::exists(workFolder(dataFolder) + fileName(id)))
        return QStringLiteral("%1 はいま送信中です。終わってから消してください。").arg(id);
    return QStringLiteral("ID %1 のメッセージはキューにありません。").arg(id);
}

QList<Entry> list(const QString &dataFolder)
{
    QList<Entry> entries;
    for (State state : {State::Waiting, State::Sending, State::Failed}) {
        const QString folder = folderOf(dataFolder, state);
        for (const QString &id : idsIn(folder)) {
            Entry e;
            e.state = state;
            const std::optional<QueuedMessage> m = read(folder, id, &e.problem);
            if (m)
                e.message = *m;
            e.message.id = id;
            entries << e;
        }
    }
    return entries;
}

} // namespace sendqueue
