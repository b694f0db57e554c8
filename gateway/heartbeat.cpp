#include "gateway/heartbeat.h"

#include "gateway/queueintake.h"
#include "gateway/reporter.h"
#include "gateway/values.h"
#include "store/inifile.h"
#include "store/sendqueue.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>

#include <algorithm>

namespace
{

const QString SilentFile = QStringLiteral("heartbeats.silent");
constexpr int MaxNameLength = 100;

// A heartbeat's file in queue/state/: its name hashed, whatever characters it has.
QString keyOf(const QString &name)
{
    return QString::fromLatin1(QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex());
}

QString beatFile(const QString &name)
{
    return QStringLiteral("heartbeat-") + keyOf(name);
}

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

QHash<QString, Heartbeat> heartbeats::read(const IniFile &ini, QStringList *errors, QStringList *problems)
{
    QHash<QString, Heartbeat> out;
    for (const QString &section : ini.sections()) {
        if (section.section(QLatin1Char(' '), 0, 0).toLower() != u"heartbeat")
            continue;
        Heartbeat h;
        h.name = section.section(QLatin1Char(' '), 1).trimmed();
        const QString where = QStringLiteral("[%1]").arg(section);
        if (h.name.isEmpty() || h.name.size() > MaxNameLength || h.name.contains(u'/')) {
            *errors << QStringLiteral("%1 の名前は 1 文字から %2 文字まで（/ なし）です").arg(where).arg(MaxNameLength);
            continue;
        }
        if (out.contains(h.name)) {
            *errors << QStringLiteral("%1 が二つあります").arg(where);
            continue;
        }
        const auto duration = [&](const char *key, int minS, int *into) {
            if (!ini.has(section, QLatin1String(key)))
                return;
            if (const auto s = parseDuration(ini.value(section, QLatin1String(key)), minS, 7 * 24 * 3600))
                *into = *s;
            else
                *errors << QStringLiteral("%1 %2=%3 は %4 秒から 7 日までの時間です")
                               .arg(where, QLatin1String(key), ini.value(section, QLatin1String(key)))
                               .arg(minS);
        };
        duration("Every", 1, &h.everyS);
        duration("Grace", 0, &h.graceS);
        h.page = ini.value(section, QStringLiteral("Page"));
        h.text = ini.value(section, QStringLiteral("Text"), QString::fromUtf8(Heartbeat::DefaultText));
        h.restored = ini.value(section, QStringLiteral("Restored"));
        if (h.page.isEmpty())
            *errors << QStringLiteral("%1 には Page= が要ります").arg(where);
        *problems << ini.unknownKeys(section, {QStringLiteral("Every"), QStringLiteral("Grace"), QStringLiteral("Page"),
                                               QStringLiteral("Text"), QStringLiteral("Restored")});
        out.insert(h.name, h);
    }
    return out;
}

QStringList heartbeats::names(const QString &folder)
{
    QStringList errors, problems;
    QStringList out =
        read(IniFile::load(QDir(folder).filePath(QStringLiteral("oncall.ini"))), &errors, &problems).keys();
    out.sort();
    return out;
}

std::optional<qint64> heartbeats::lastBeat(const QString &folder, const QString &name)
{
    QString problem;
    const std::optional<QByteArray> bytes = sendqueue::readState(folder, beatFile(name), &problem);
    bool ok = false;
    const qint64 ms = bytes ? bytes->trimmed().toLongLong(&ok) : 0;
    return ok ? std::optional(ms) : std::nullopt;
}

QString heartbeats::beat(const QString &folder, const QString &name, qint64 nowMs)
{
    // A storm of beats writes once a second: a beat at most that old says as much.
    if (const auto last = lastBeat(folder, name); last && *last <= nowMs && nowMs - *last < 1000)
        return {};
    // Not synced: a beat lost in a system crash is made up for by the next one.
    const sendqueue::Result r = sendqueue::writeState(folder, beatFile(name), QByteArray::number(nowMs) + '\n', false);
    return r.ok() ? QString() : r.text;
}

HeartbeatWatch::HeartbeatWatch(QString folder, Rules rules, Pager pager, Reporter &reporter, RunnerClock &clock,
                               QObject *parent)
    : QObject(parent), m_folder(std::move(folder)), m_rules(std::move(rules)), m_pager(std::move(pager)),
      m_reporter(reporter), m_clock(clock), m_timer(clock.timer([this] { check(); }))
{
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this](const QString &path) {
        if (QDir(path) == QDir(m_folder))
            reload();
        else
            check();
    });
}

void HeartbeatWatch::start()
{
    m_startMs = m_clock.now();
    QString problem;
    const QByteArray saved = sendqueue::readState(m_folder, SilentFile, &problem).value_or(QByteArray());
    for (const QByteArray &line : saved.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        bool ok = false;
        const qint64 beat = words.size() == 2 ? words[1].toLongLong(&ok) : 0;
        if (ok)
            m_silent.insert(QString::fromLatin1(words[0]), beat);
    }
    if (sendqueue::checkFolders(m_folder).ok())
        m_watcher.addPaths({sendqueue::stateFolder(m_folder), m_folder});
    reload();
}

void HeartbeatWatch::reload()
{
    if (std::optional<QList<Heartbeat>> rules = m_rules())
        m_heartbeats = std::move(*rules);
    check();
}

void HeartbeatWatch::check()
{
    const qint64 now = m_clock.now();
    std::optional<qint64> next;
    const auto wake = [&](qint64 at) { next = next ? qMin(*next, at) : at; };
    bool changed = false;
    QSet<QString> known;
    for (const Heartbeat &h : std::as_const(m_heartbeats)) {
        const QString key = keyOf(h.name);
        known.insert(key);
        std::optional<qint64> last = heartbeats::lastBeat(m_folder, h.name);
        if (!last) { // never beat: its clock starts now
            if (const QString problem = heartbeats::beat(m_folder, h.name, now); !problem.isEmpty())
                m_reporter.warn(QStringLiteral("heartbeat"), problem, {{QStringLiteral("heartbeat"), h.name}});
            last = now;
        }
        const QJsonObject fields{{QStringLiteral("heartbeat"), h.name}, {QStringLiteral("page"), h.page}};
        if (*last > m_startMs && !m_heard.contains(h.name)) {
            m_heard.insert(h.name);
            m_reporter.note(QStringLiteral("heartbeat-heard"), QStringLiteral("%1 から連絡がありました。").arg(h.name),
                            fields);
        }
        if (const auto silent = m_silent.constFind(key); silent != m_silent.cend()) {
            if (*last <= *silent)
                continue; // paged already: the next beat ends it
            m_silent.remove(key);
            changed = true;
            m_reporter.note(QStringLiteral("heartbeat-restored"),
                            QStringLiteral("%1 からの連絡が戻りました。").arg(h.name), fields);
            if (!h.restored.isEmpty())
                if (const QString problem = m_pager(h.page, Heartbeat::filled(h.restored, h.name)); !problem.isEmpty())
                    m_reporter.warn(QStringLiteral("heartbeat"), problem, fields);
        }
        const qint64 deadline = *last + h.limitMs();
        if (now < deadline) {
            wake(deadline);
            continue;
        }
        if (const QString problem = m_pager(h.page, Heartbeat::filled(h.text, h.name)); !problem.isEmpty()) {
            m_reporter.warn(QStringLiteral("heartbeat"), problem, fields);
            wake(now + RetryMs);
            continue;
        }
        m_silent.insert(key, *last);
        changed = true;
        m_reporter.warn(QStringLiteral("heartbeat-silent"),
                        QStringLiteral("%1 からの連絡が %2 から途絶えています。%3 に知らせました。")
                            .arg(h.name, timeText(*last), h.page),
                        fields);
    }
    // Silences of heartbeats no longer in oncall.ini are forgotten.
    changed |= m_silent.removeIf([&](const auto &it) { return !known.contains(it.key()); }) > 0;
    if (changed)
        saveSilences();
    m_timer->stop();
    if (next)
        m_timer->start(std::clamp<qint64>(*next - now, 1, 24 * 3600 * 1000));
}

void HeartbeatWatch::saveSilences()
{
    QByteArray out;
    for (auto it = m_silent.cbegin(); it != m_silent.cend(); ++it)
        out += it.key().toLatin1() + ' ' + QByteArray::number(it.value()) + '\n';
    if (const sendqueue::Result r = sendqueue::writeState(m_folder, SilentFile, out); !r.ok())
        m_reporter.warn(QStringLiteral("heartbeat"), r.text);
}

HeartbeatWatch::Pager heartbeats::pager(const QString &folder, const DeviceAccess &access,
                                        const QueuedMessage &defaults)
{
    return [=](const QString &to, const QString &text) {
        const IntakeMessage m{Target{to, {}, {}, false}, text, true, QStringLiteral("critical"), {}, false, true};
        const IntakeAnswer a = addIntakeMessage(folder, access, defaults, m);
        return a.kind == IntakeAnswer::Queued ? QString() : a.reason.isEmpty() ? a.refusal.text : a.reason;
    };
}
