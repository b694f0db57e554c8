#include "gateway/oncall.h"

#include "gateway/values.h"
#include "store/appdata.h"
#include "store/inifile.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>

#include <algorithm>
#include <mutex>

namespace
{

// The copies kept in use, by folder; the HTTP listener's thread reads them too.
std::mutex keptMutex;
QHash<QString, OnCall> kept;

const QString Arrow = QStringLiteral(" → ");

QStringList listOf(const QString &value)
{
    QStringList out;
    for (const QString &piece : value.split(QRegularExpression(QStringLiteral("[,、]"))))
        if (!piece.trimmed().isEmpty())
            out << piece.trimmed();
    return out;
}

// "22:00" as minutes of the day.
std::optional<int> minutesOf(const QString &text)
{
    const QTime t = QTime::fromString(text.trimmed(), QStringLiteral("H:mm"));
    if (!t.isValid())
        return std::nullopt;
    return t.hour() * 60 + t.minute();
}

} // namespace

QList<OnCall::DueStep> OnCall::schedule(const Escalation &escalation)
{
    QList<DueStep> out;
    const auto &steps = escalation.steps;
    if (steps.isEmpty())
        return out;
    const int round = steps.size() > 1 ? steps.last().delay + steps[1].delay - steps[0].delay : 0;
    for (int r = 0; r <= (round > 0 ? escalation.repeat : 0); ++r)
        for (int i = 0; i < steps.size(); ++i)
            out << DueStep{r * round + steps[i].delay, i + 1, steps[i].name};
    return out;
}

void OnCall::keep(const QString &folder, std::optional<OnCall> copy)
{
    const std::lock_guard lock(keptMutex);
    if (copy)
        kept.insert(QDir::cleanPath(folder), std::move(*copy));
    else
        kept.remove(QDir::cleanPath(folder));
}

QStringList OnCall::calendarFiles(const QString &folder) const
{
    QStringList out;
    for (const Rota &r : m_rotas)
        for (const QString &file : {r.calendarFile, r.overridesFile})
            if (!file.isEmpty())
                out << QDir(folder).absoluteFilePath(file);
    return out;
}

OnCall OnCall::load(const QString &folder, const QStringList &book)
{
    {
        const std::lock_guard lock(keptMutex);
        if (const auto k = kept.constFind(QDir::cleanPath(folder)); k != kept.cend())
            return *k;
    }
    return read(folder, book);
}

OnCall OnCall::read(const QString &folder, const QStringList &book)
{
    const IniFile ini = IniFile::load(QDir(folder).filePath(QString::fromLatin1(FileName)));
    if (!ini.ok()) {
        OnCall o;
        o.m_error = ini.error();
        return o;
    }
    return parse(ini, folder, book);
}

QStringList OnCall::bookNames(const AppData &data)
{
    QStringList book;
    for (const Recipient &r : data.recipients)
        book << r.name;
    return book;
}

OnCall OnCall::load(const QString &folder, const AppData &data)
{
    return load(folder, bookNames(data));
}

OnCall OnCall::parse(const IniFile &ini, const QString &folder, const QStringList &book)
{
    OnCall o;
    o.m_book = book;
    o.m_problems = ini.problems();
    QStringList errors;
    // Where each name is defined, to name both sides of a clash.
    QHash<QString, QString> defined;
    for (const QString &name : book)
        defined.insert(name.toCaseFolded(), QStringLiteral("アドレス帳の「%1」").arg(name));
    auto define = [&](const QString &name, const QString &where) {
        if (name.isEmpty()) {
            errors << QStringLiteral("%1 に名前がありません").arg(where);
            return false;
        }
        const QString key = name.toCaseFolded();
        if (defined.contains(key)) {
            errors << QStringLiteral("名前「%1」が %2 と %3 で重なっています").arg(name, defined.value(key), where);
            return false;
        }
        defined.insert(key, where);
        return true;
    };

    QList<std::pair<QString, QString>> persons; // [Person NAME] sections, checked once names are known
    for (const QString &section : ini.sections()) {
        const QString kind = section.section(QLatin1Char(' '), 0, 0).toLower();
        const QString name = section.section(QLatin1Char(' '), 1).trimmed();
        const QString where = QStringLiteral("[%1]").arg(section);
        if (kind == u"group") {
            if (define(name, where))
                o.m_groups.insert(name, Group{name, listOf(ini.value(section, QStringLiteral("Members")))});
            o.m_problems << ini.unknownKeys(section, {QStringLiteral("Members")});
        } else if (kind == u"rota") {
            Rota r{name,
                   ini.value(section, QStringLiteral("Calendar")),
                   ini.value(section, QStringLiteral("Overrides")),
                   ini.value(section, QStringLiteral("Default")),
                   {},
                   {}};
            if (r.calendarFile.isEmpty() || r.fallback.isEmpty())
                errors << QStringLiteral("%1 には Calendar= と Default= が要ります").arg(where);
            else if (define(name, where))
                o.m_rotas.insert(name, r);
            o.m_problems << ini.unknownKeys(
                section, {QStringLiteral("Calendar"), QStringLiteral("Overrides"), QStringLiteral("Default")});
        } else if (kind == u"escalation") {
            Escalation e{name, {}, 0};
            for (int n = 1; ini.has(section, QStringLiteral("Step%1").arg(n)); ++n) {
                const QString value = ini.value(section, QStringLiteral("Step%1").arg(n));
                const QString first = value.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
                const QString rest = value.section(QLatin1Char(' '), 1, -1, QString::SectionSkipEmpty).trimmed();
                const auto delay = rest.isEmpty() ? std::nullopt : parseDuration(first, 0, 7 * 24 * 3600);
                const Step step{delay.value_or(0), delay ? rest : value.trimmed()};
                if (n > 1 && !delay)
                    errors
                        << QStringLiteral("%1 Step%2 に待ち時間がありません（例：Step%2=10m 名前）").arg(where).arg(n);
                else if (n == 1 && delay && *delay != 0)
                    errors
                        << QStringLiteral("%1 Step1 はすぐに送ります。待ち時間は Step2 から書いてください").arg(where);
                else if (n > 1 && step.delay < e.steps.last().delay)
                    errors << QStringLiteral("%1 Step%2 が前の段より早くなっています").arg(where).arg(n);
                e.steps << step;
            }
            const QString repeat = ini.value(section, QStringLiteral("Repeat"), QStringLiteral("0"));
            bool number = false;
            e.repeat = repeat.toInt(&number);
            if (e.steps.isEmpty())
                errors << QStringLiteral("%1 に Step1= がありません").arg(where);
            else if (!number || e.repeat < 0 || e.repeat > 100)
                errors << QStringLiteral("%1 Repeat= は 0 から 100 までの数です").arg(where);
            else if (e.repeat > 0 && e.steps.size() < 2)
                errors << QStringLiteral("%1 Repeat= には二つ以上の段が要ります").arg(where);
            if (define(name, where))
                o.m_escalations.insert(name, e);
        } else if (kind == u"person") {
            persons << std::pair{name, ini.value(section, QStringLiteral("Mail"))};
            o.m_problems << ini.unknownKeys(section, {QStringLiteral("Mail")});
        } else if (kind == u"quiet" && name.isEmpty()) {
            const QString hours = ini.value(section, QStringLiteral("Hours"));
            const auto from = minutesOf(hours.section(QLatin1Char('-'), 0, 0));
            const auto to = minutesOf(hours.section(QLatin1Char('-'), 1));
            if (!hours.isEmpty() && (!from || !to || *from == *to))
                errors << QStringLiteral("[Quiet] Hours= は 22:00-07:00 のように書きます：%1").arg(hours);
            else if (!hours.isEmpty()) {
                o.m_quietFrom = *from;
                o.m_quietTo = *to;
            }
            for (const QString &s : listOf(ini.value(section, QStringLiteral("Hold"))))
                o.m_hold << s.toLower();
            o.m_problems << ini.unknownKeys(section, {QStringLiteral("Hours"), QStringLiteral("Hold")});
        } else if (kind == u"oncall" && name.isEmpty()) {
            const QString zone = ini.value(section, QStringLiteral("TimeZone"));
            if (!zone.isEmpty()) {
                o.m_zone = QTimeZone(zone.toUtf8());
                if (!o.m_zone.isValid())
                    errors << QStringLiteral("[OnCall] TimeZone=%1 を知りません（例：Asia/Tokyo）").arg(zone);
            }
            if (ini.has(section, QStringLiteral("AckSuffix"))) {
                QString suffix = ini.value(section, QStringLiteral("AckSuffix"));
                if (suffix.size() >= 2 && suffix.startsWith(u'"') && suffix.endsWith(u'"'))
                    suffix = suffix.mid(1, suffix.size() - 2);
                o.m_ackSuffix = suffix;
            }
            o.m_problems << ini.unknownKeys(section, {QStringLiteral("TimeZone"), QStringLiteral("AckSuffix")});
        } else if (kind == u"heartbeat") {
            continue; // read whole below
        } else {
            o.m_problems << QStringLiteral(
                                "[%1] は読みません（Group、Rota、Escalation、Person、Quiet、OnCall のどれか）")
                                .arg(section);
        }
    }
    for (const auto &[name, mail] : std::as_const(persons)) {
        if (!book.contains(name))
            errors << QStringLiteral("[Person %1] はアドレス帳にない名前です").arg(name);
        for (const QString &address : listOf(mail))
            o.m_mail[name] << address.toLower();
    }

    // Every name used must be known; an escalation only where its steps can be waited for.
    auto mayReach = [&](const QString &name) {
        const Kind k = o.kindOf(name);
        return k == Kind::Person || k == Kind::Group || k == Kind::Rota;
    };
    for (const Group &g : std::as_const(o.m_groups))
        for (const QString &m : g.members)
            if (!mayReach(m))
                errors << QStringLiteral("[Group %1] の「%2」は%3")
                              .arg(g.name, m,
                                   o.kindOf(m) == Kind::Escalation
                                       ? QStringLiteral("エスカレーションです（グループには入れられません）")
                                       : QStringLiteral("知らない名前です"));
    for (const Escalation &e : std::as_const(o.m_escalations))
        for (int i = 0; i < e.steps.size(); ++i)
            if (!mayReach(e.steps[i].name))
                errors << QStringLiteral("[Escalation %1] Step%2 の「%3」は使えない名前です")
                              .arg(e.name)
                              .arg(i + 1)
                              .arg(e.steps[i].name);
    o.m_heartbeats = heartbeats::read(ini, &errors, &o.m_problems);
    for (const Heartbeat &h : std::as_const(o.m_heartbeats))
        if (!h.page.isEmpty() && o.kindOf(h.page) == Kind::Unknown)
            errors << QStringLiteral("[Heartbeat %1] Page=%2 は知らない名前です").arg(h.name, h.page);
    const auto known = [&](const QString &name) { return book.contains(name) || o.m_groups.contains(name); };
    QStringList knownNames = book + o.m_groups.keys();
    knownNames.sort();
    const QByteArray knownKey = knownNames.join(u'\n').toUtf8();
    for (Rota &r : o.m_rotas) {
        if (!known(r.fallback))
            errors << QStringLiteral("[Rota %1] Default=%2 はアドレス帳の名前かグループではありません")
                          .arg(r.name, r.fallback);
        auto read = [&](const QString &file) {
            auto cal = Calendar::cached(QDir(folder).absoluteFilePath(file), o.m_zone, known, knownKey);
            if (!cal->ok())
                o.m_problems << QStringLiteral("[Rota %1]: %2 当番がいないときの %3 に送ります")
                                    .arg(r.name, cal->error(), r.fallback);
            o.m_problems << cal->problems();
            return cal;
        };
        r.calendar = read(r.calendarFile);
        if (!r.overridesFile.isEmpty())
            r.overrides = read(r.overridesFile);
    }

    // Loops: a group or rota that reaches itself through groups, rotas' events and defaults.
    QHash<QString, int> state; // 1: being followed, 2: done
    std::function<bool(const QString &, QStringList)> loops = [&](const QString &name, QStringList path) {
        if (state.value(name) == 2 || o.kindOf(name) == Kind::Person)
            return false;
        path << name;
        if (state.value(name) == 1) {
            errors << QStringLiteral("「%1」が自分自身に戻ります：%2").arg(name, path.join(Arrow));
            return true;
        }
        state[name] = 1;
        QStringList next;
        if (const auto g = o.m_groups.constFind(name); g != o.m_groups.cend())
            next = g->members;
        if (const auto r = o.m_rotas.constFind(name); r != o.m_rotas.cend()) {
            next << r->fallback << r->calendar->names();
            if (r->overrides)
                next << r->overrides->names();
        }
        for (const QString &n : std::as_const(next))
            if (mayReach(n) && loops(n, path))
                return true;
        state[name] = 2;
        return false;
    };
    QStringList names = o.m_groups.keys() + o.m_rotas.keys();
    names.sort();
    for (const QString &name : std::as_const(names))
        if (loops(name, {}))
            break;

    if (!errors.isEmpty())
        o.m_error = QStringLiteral("%1: %2。").arg(QString::fromLatin1(FileName), errors.join(QStringLiteral("。")));
    return o;
}

OnCall::Kind OnCall::kindOf(const QString &name) const
{
    if (m_groups.contains(name))
        return Kind::Group;
    if (m_rotas.contains(name))
        return Kind::Rota;
    if (m_escalations.contains(name))
        return Kind::Escalation;
    return m_book.contains(name) ? Kind::Person : Kind::Unknown;
}

const OnCall::Rota *OnCall::rota(const QString &name) const
{
    const auto r = m_rotas.constFind(name);
    return r == m_rotas.cend() ? nullptr : &*r;
}

const OnCall::Escalation *OnCall::escalation(const QString &name) const
{
    const auto e = m_escalations.constFind(name);
    return e == m_escalations.cend() ? nullptr : &*e;
}

QStringList OnCall::rotaNames() const
{
    QStringList names = m_rotas.keys();
    names.sort();
    return names;
}

QStringList OnCall::mailOf(const QString &person) const
{
    return m_mail.value(person);
}

QString OnCall::hoursOf(const Calendar &calendar, const Calendar::Duty &duty) const
{
    const QDateTime s = QDateTime::fromSecsSinceEpoch(duty.start, m_zone);
    const QDateTime e = QDateTime::fromSecsSinceEpoch(duty.end, m_zone);
    const QString format = s.date() == e.date()                 ? QStringLiteral("HH:mm")
                           : s.date().year() == e.date().year() ? QStringLiteral("M/d HH:mm")
                                                                : QStringLiteral("yyyy-MM-dd HH:mm");
    return QStringLiteral("%1 %2–%3").arg(calendar.name(), s.toString(format), e.toString(format));
}

QList<OnCall::Reached> OnCall::onDuty(const Rota &rota, qint64 time) const
{
    QList<Reached> out;
    const auto duties = ::onDuty(*rota.calendar, rota.overrides.get(), time);
    for (const auto &d : duties) {
        const bool over = rota.overrides && !rota.overrides->at(time).isEmpty();
        const Reached r{d.who, hoursOf(over ? *rota.overrides : *rota.calendar, d)};
        if (!out.contains(r))
            out << r;
    }
    if (out.isEmpty())
        out << Reached{rota.fallback, QStringLiteral("当番なし、Default")};
    return out;
}

void OnCall::expandInto(const QString &name, qint64 time, const QString &how, QList<Reached> &out, int depth) const
{
    if (depth > 32) // loops are refused at load; this only bounds a file changed since
        return;
    switch (kindOf(name)) {
    case Kind::Person: {
        if (std::none_of(out.cbegin(), out.cend(), [&](const Reached &r) { return r.person == name; }))
            out << Reached{name, how.isEmpty() ? QString() : how + Arrow + name};
        return;
    }
    case Kind::Group:
        for (const QString &m : m_groups.value(name).members)
            expandInto(m, time, how.isEmpty() ? name : how + Arrow + name, out, depth + 1);
        return;
    case Kind::Rota: {
        const QString chain = how.isEmpty() ? name : how + Arrow + name;
        for (const Reached &d : onDuty(m_rotas.value(name), time)) {
            QList<Reached> inner;
            expandInto(d.person, time, chain, inner, depth + 1);
            for (Reached r : inner)
                if (std::none_of(out.cbegin(), out.cend(), [&](const Reached &o) { return o.person == r.person; }))
                    out << Reached{r.person, r.why + QStringLiteral(", ") + d.why};
        }
        return;
    }
    case Kind::Escalation:
    case Kind::Unknown:
        return;
    }
}

QList<OnCall::Reached> OnCall::expand(const QString &name, qint64 time) const
{
    QList<Reached> out;
    expandInto(name, time, {}, out, 0);
    return out;
}

qint64 OnCall::quietUntil(const QString &severity, qint64 time) const
{
    if (m_quietFrom < 0 || !m_hold.contains(severity.toLower()))
        return time;
    const QDateTime local = QDateTime::fromSecsSinceEpoch(time, m_zone);
    const int m = local.time().hour() * 60 + local.time().minute();
    const bool wraps = m_quietFrom > m_quietTo;
    const bool quiet = wraps ? (m >= m_quietFrom || m < m_quietTo) : (m >= m_quietFrom && m < m_quietTo);
    if (!quiet)
        return time;
    const QDate day = wraps && m >= m_quietFrom ? local.date().addDays(1) : local.date();
    return QDateTime(day, QTime(m_quietTo / 60, m_quietTo % 60), m_zone).toSecsSinceEpoch();
}
