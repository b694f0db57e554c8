#include "modem/modemmanagerline.h"

#include "modem/linelog.h"
#include "store/appdata.h"
#include "store/apperror.h"
#include "store/filestore.h"
#include "store/plugins.h"
#include "store/sendqueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using namespace modemmanager;

const QString Source = QStringLiteral("ModemManagerLine");
const QString CallIface = QStringLiteral("org.freedesktop.ModemManager1.Call");
const QString Bus = QStringLiteral("org.freedesktop.DBus");
// What a co_await passes is made beforehand: GCC 12 cannot place the array behind a
// braced list in the coroutine frame ("array used as initializer"), and a wait made in
// the co_await itself resumes at once in a coroutine that returns a value.
const QString BusObject = QStringLiteral("/org/freedesktop/DBus");
const QString MethodCreateCall = QStringLiteral("CreateCall");
const QString MethodDeleteCall = QStringLiteral("DeleteCall");
const QString MethodEnable = QStringLiteral("Enable");
const QString MethodGet = QStringLiteral("Get");
const QString MethodGetManagedObjects = QStringLiteral("GetManagedObjects");
const QString MethodGetNameOwner = QStringLiteral("GetNameOwner");
const QString MethodHangup = QStringLiteral("Hangup");
const QString PropertiesIface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString KeyModem = QStringLiteral("modem");
const QString KeyNumber = QStringLiteral("number");
const QString MethodSendDtmf = QStringLiteral("SendDtmf");
const QString MethodStart = QStringLiteral("Start");
const QString PropState = QStringLiteral("State");
const char RecordPrefix[] = "modemmanager-call-";
constexpr int ReleaseTimeoutMs = 10000;

// ModemManager's states of a modem and a call, as far as the line needs them.
enum ModemState { ModemFailed = -1, ModemLocked = 2, ModemDisabled = 3, ModemDisabling = 4, ModemRegistered = 8 };
enum CallState { CallActive = 4, CallTerminated = 7 };
enum CallReason { ReasonRefusedOrBusy = 5, ReasonError = 6 };

// A value as the line log shows it, cut short.
QString shown(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QVariantMap>()) {
        QStringList parts;
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            parts << it.key() + QStringLiteral(": ") + shown(*it);
        return u'{' + parts.join(QStringLiteral(", ")) + u'}';
    }
    if (value.metaType() == QMetaType::fromType<QVariantList>()) {
        QStringList parts;
        for (const QVariant &v : value.toList())
            parts << shown(v);
        return u'[' + parts.join(QStringLiteral(", ")) + u']';
    }
    if (value.metaType() == QMetaType::fromType<BusPath>())
        return value.value<BusPath>().path;
    if (value.metaType() == QMetaType::fromType<QString>())
        return u'"' + value.toString() + u'"';
    return value.toString();
}

QString shown(const QVariantList &values)
{
    const QString text = shown(QVariant(values)).mid(1).chopped(1);
    return text.size() > 400 ? text.left(400) + QStringLiteral("…") : text;
}

// The short name of an interface in the log: Modem.Voice, Call.
QString shortName(const QString &interface)
{
    return interface.startsWith(Service + u'.') ? interface.mid(Service.size() + 1) : interface;
}

// Why a call ended before it turned active.
QString endedText(uint reason)
{
    if (reason == ReasonRefusedOrBusy)
        return QStringLiteral("話し中か、センターが通話を断りました。");
    return QStringLiteral("通話が始まらずに終わりました（ModemManager の理由 %1）。").arg(reason);
}

bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

} // namespace

SystemBus *systemBus(QString *error)
{
    static SystemBus *bus = nullptr;
    if (bus)
        return bus;
    const QString file = QStringLiteral("fumidori-systembus.so");
    QStringList problems;
    auto *factory = qobject_cast<SystemBusFactory *>(loadPlugin(file, &problems));
    if (!factory) {
        *error = QStringLiteral("D-Bus を使えません：") + pluginProblem(file, problems);
        return nullptr;
    }
    bus = factory->connect(error);
    return bus;
}

ModemManagerLine::ModemManagerLine(const Settings &settings, QString dataFolder, Waiter &waiter, QObject *parent)
    : Line(waiter, parent), m_settings(settings), m_dataFolder(std::move(dataFolder))
{
}

ModemManagerLine::~ModemManagerLine()
{
    m_open = false;
    release();
    dropWatches();
}

void ModemManagerLine::note(const QString &text)
{
    if (m_log)
        m_log->event(text);
}

void ModemManagerLine::noteReply(const QString &method, const BusReply &reply)
{
    if (reply.ok())
        note(QStringLiteral("answer %1: %2").arg(shortName(method), shown(reply.values)));
    else
        note(QStringLiteral("error %1: %2: %3").arg(shortName(method), reply.error, reply.message));
}

qint64 ModemManagerLine::limit(qsizetype digits) const
{
    return unattended() ? answerLimitMs(digits) : AttendedLimitMs;
}

QString ModemManagerLine::stateFolder() const
{
    return sendqueue::stateFolder(m_dataFolder);
}

QString ModemManagerLine::recordName() const
{
    return QLatin1String(RecordPrefix) + QString::number(::getpid()) + u'-' + m_call.section(u'/', -1);
}

void ModemManagerLine::dropWatches()
{
    if (m_bus)
        for (int id : std::as_const(m_watches))
            m_bus->unwatch(id);
    m_watches.clear();
}

void ModemManagerLine::fail(const QString &text, bool deviceFault)
{
    note(QStringLiteral("failed: ") + text);
    m_open = false;
    m_up = false;
    release();
    throw AppError(deviceFault ? Failure::DeviceFailed : Failure::CallFailed, Source, text);
}

void ModemManagerLine::failReply(const BusReply &reply, const QString &what)
{
    const QString &name = reply.error;
    const auto is = [&](const char *suffix) { return name.endsWith(QLatin1String(suffix)); };
    if (is(".Connection.NoDialtone"))
        fail(QStringLiteral("話し中か、発信音がありません（ModemManager：%1）").arg(reply.message), false);
    if (is(".Connection.Busy"))
        fail(QStringLiteral("話し中です（ModemManager：%1）").arg(reply.message), false);
    if (is(".Connection.NoAnswer"))
        fail(QStringLiteral("センターが応答しません（ModemManager：%1）").arg(reply.message), false);
    if (is(".Connection.NoCarrier"))
        fail(QStringLiteral("回線がつながりません（ModemManager：%1）").arg(reply.message), false);
    if (is(".Error.Core.Unauthorized") || is(".DBus.Error.AccessDenied"))
        fail(QStringLiteral("%1：ModemManager がこの操作を許しません（polkit の許可がありません：%2）")
                 .arg(what, reply.message),
             true);
    if (is(".DBus.Error.ServiceUnknown") || is(".DBus.Error.NameHasNoOwner"))
        fail(QStringLiteral("ModemManager が動いていません（%1）。").arg(reply.message), true);
    if (name == u"timeout")
        fail(QStringLiteral("%1：ModemManager が %2 秒以内に答えませんでした。").arg(what, reply.message), true);
    fail(QStringLiteral("%1：%2（%3）").arg(what, reply.message, name), true);
}

QCoro::Task<BusReply> ModemManagerLine::request(const QString &path, const QString &interface, const QString &method,
                                                const QVariantList &args, qint64 limitMs)
{
    const bool creates = method == u"CreateCall";
    const QString service = interface == Bus ? Bus : Service;
    note(QStringLiteral("call %1.%2(%3) %4").arg(shortName(interface), method, shown(args), path));
    auto answer = std::make_shared<std::optional<BusReply>>();
    QPointer<ModemManagerLine> self(this);
    const int generation = m_generation;
    SystemBus *bus = m_bus;
    const int busLimit = int(limitMs < 0 ? AttendedLimitMs : limitMs + 1000);
    m_bus->call(service, path, interface, method, args, busLimit,
                [answer, self, generation, bus, creates, path](const BusReply &reply) {
                    *answer = reply;
                    if (self && self->m_generation == generation && self->m_open) {
                        self->wake();
                        return;
                    }
                    // A call made for a send that has ended meanwhile: nobody will start it.
                    if (creates && reply.ok() && !reply.values.isEmpty())
                        bus->call(Service, path, VoiceIface, QStringLiteral("DeleteCall"),
                                  {QVariant::fromValue(BusPath{reply.values.first().toString()})}, ReleaseTimeoutMs,
                                  [](const BusReply &) {});
                });
    auto answered = m_waiter.wait(this, limitMs, [answer] { return answer->has_value(); });
    co_await answered;
    if (!answer->has_value()) {
        note(QStringLiteral("no answer to %1.%2").arg(shortName(interface), method));
        co_return BusReply{{}, QStringLiteral("timeout"), QString::number(double(limitMs) / 1000)};
    }
    const BusReply &reply = **answer;
    noteReply(interface + u'.' + method, reply);
    co_return reply;
}

void ModemManagerLine::watchState(const QString &path, const QString &interface,
                                  void (ModemManagerLine::*changed)(const QVariantList &))
{
    QPointer<ModemManagerLine> self(this);
    m_watches << m_bus->watch(
        Service, path, interface, QStringLiteral("StateChanged"),
        [self, changed, interface](const QString &from, const QVariantList &args) {
            if (!self)
                return;
            self->note(QStringLiteral("signal %1.StateChanged(%2) %3").arg(shortName(interface), shown(args), from));
            (self->*changed)(args);
        });
}

void ModemManagerLine::modemStateChanged(const QVariantList &args)
{
    m_modemState = args.value(1).toInt();
    ++m_modemSignals;
    wake();
}

void ModemManagerLine::callStateChanged(const QVariantList &args)
{
    m_callState = args.value(1).toInt();
    m_callReason = args.value(2).toUInt();
    if (m_callState == CallTerminated && m_up && m_open) {
        m_dropped = QStringLiteral("通話が切れました（ModemManager の理由 %1）。").arg(m_callReason);
        emit noCarrier();
    }
    wake();
}

// Records the call while it exists, so that a run killed meanwhile has it ended by the next.
void ModemManagerLine::recordCall()
{
    const QString folder = stateFolder();
    ::mkdir(QFile::encodeName(sendqueue::queueFolder(m_dataFolder)).constData(), 0700);
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    const QByteArray record =
        QStringLiteral("path=%1\nmodem=%2\nowner=%3\npid=%4\n").arg(m_call, m_modem, m_owner).arg(::getpid()).toUtf8();
    if (const auto problem = filestore::writeAtomically(folder, recordName(), record))
        note(QStringLiteral("the call cannot be recorded: ") + problem->detail);
}

// The line opened on the modem, found and registered; empty when hung up meanwhile.
QCoro::Task<QString> ModemManagerLine::registeredModem(bool clearLeft)
{
    const int generation = ++m_generation;
    m_open = true;
    m_up = false;
    m_dropped.clear();
    m_callState = 0;
    dropWatches();
    QString error;
    if (!m_bus && !(m_bus = systemBus(&error)))
        fail(error, true);
    const QVariantList name{Service};
    const BusReply owner = co_await request(BusObject, Bus, MethodGetNameOwner, name, limit(0));
    if (!m_open || generation != m_generation)
        co_return QString();
    if (!owner.ok())
        failReply(owner, QStringLiteral("ModemManager を探せません"));
    m_owner = owner.values.value(0).toString();
    if (clearLeft)
        co_await clearLeftCalls();
    const QString modem = co_await findModem();
    if (!m_open || generation != m_generation)
        co_return QString();
    co_await ensureRegistered(modem);
    if (!m_open || generation != m_generation)
        co_return QString();
    co_return modem;
}

QCoro::Task<> ModemManagerLine::check()
{
    std::optional<AppError> failed;
    try {
        co_await registeredModem(false);
    } catch (const AppError &error) {
        failed = error;
    }
    hangUp();
    if (failed)
        throw *failed;
}

QCoro::Task<> ModemManagerLine::call(const QString &number)
{
    const QString modem = co_await registeredModem(true);
    if (modem.isEmpty())
        co_return;
    const int generation = m_generation;

    const QString outside = m_settings.OutsideOn == 1 ? m_settings.OutSide : QString();
    const QVariantList properties{QVariantMap{{KeyNumber, outside + number}}};
    const BusReply created = co_await request(modem, VoiceIface, MethodCreateCall, properties, limit(0));
    if (!m_open || generation != m_generation)
        co_return;
    if (!created.ok())
        failReply(created, QStringLiteral("通話を作れません"));
    m_call = created.values.value(0).toString();
    m_modem = modem;
    recordCall();
    watchState(m_call, CallIface, &ModemManagerLine::callStateChanged);
    const qint64 callLimit = limit(digitCount((outside + number).toLatin1()));
    const BusReply started = co_await request(m_call, CallIface, MethodStart, QVariantList(), callLimit);
    if (!m_open || generation != m_generation)
        co_return;
    if (!started.ok())
        failReply(started, QStringLiteral("発信できません"));
    auto active =
        m_waiter.wait(this, callLimit, [this] { return m_callState == CallActive || m_callState == CallTerminated; });
    co_await active;
    if (!m_open || generation != m_generation)
        co_return;
    if (m_callState == CallTerminated)
        fail(endedText(m_callReason), m_callReason == ReasonError);
    if (m_callState != CallActive)
        fail(QStringLiteral("センターが %1 秒以内に応答しませんでした。").arg(double(callLimit) / 1000), false);
    m_up = true;
}

QCoro::Task<QString> ModemManagerLine::findModem()
{
    const BusReply reply =
        co_await request(Root, ObjectManagerIface, MethodGetManagedObjects, QVariantList(), limit(0));
    if (!m_open)
        co_return QString();
    if (!reply.ok())
        failReply(reply, QStringLiteral("モジュールの一覧を読めません"));
    VoiceModem found;
    const QString why =
        chooseModem(voiceModems(reply.values.value(0).toMap()), m_settings.VoiceModem.trimmed(), &found);
    if (!why.isEmpty())
        fail(why, true);
    m_modemState = found.state;
    watchState(found.path, ModemIface, &ModemManagerLine::modemStateChanged);
    co_return found.path;
}

QCoro::Task<> ModemManagerLine::ensureRegistered(const QString &modem)
{
    if (m_modemState == ModemFailed)
        fail(QStringLiteral("ModemManager はこのモジュールを使えない（failed）としています。"), true);
    if (m_modemState == ModemLocked)
        fail(QStringLiteral("モジュールの SIM がロックされています（PIN）。"), true);
    if (m_modemState == ModemDisabled || m_modemState == ModemDisabling) {
        const QVariantList on{true};
        const BusReply enabled = co_await request(modem, ModemIface, MethodEnable, on, limit(0));
        if (!m_open)
            co_return;
        if (!enabled.ok())
            failReply(enabled, QStringLiteral("モジュールを有効にできません"));
        // Its state may have changed before the signal was watched.
        const int seen = m_modemSignals;
        const QVariantList property{ModemIface, PropState};
        const BusReply state = co_await request(modem, PropertiesIface, MethodGet, property, limit(0));
        if (!m_open)
            co_return;
        // A signal that came meanwhile is newer than the answer, which may arrive after it.
        if (state.ok() && seen == m_modemSignals)
            m_modemState = state.values.value(0).toInt();
    }
    auto registered = m_waiter.wait(this, limit(0), [this] { return m_modemState >= ModemRegistered; });
    co_await registered;
    if (m_open && m_modemState < ModemRegistered)
        fail(QStringLiteral("モジュールが携帯電話網に登録されていません（ModemManager の状態 %1）。").arg(m_modemState),
             true);
}

// Hangs up and deletes the calls recorded by runs that are gone, on the ModemManager
// that made them; a record of another ModemManager (restarted since) is only removed.
QCoro::Task<> ModemManagerLine::clearLeftCalls()
{
    const QString folder = stateFolder();
    const QStringList names = QDir(folder).entryList({QLatin1String(RecordPrefix) + u'*'}, QDir::Files);
    for (const QString &name : names) {
        QByteArray bytes;
        if (filestore::readAll(folder, name, &bytes))
            continue;
        QMap<QString, QString> fields;
        for (const QString &line : QString::fromUtf8(bytes).split(u'\n'))
            fields.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
        const qint64 pid = fields.value(QStringLiteral("pid")).toLongLong();
        if (pid != ::getpid() && processAlive(pid))
            continue; // a call of a run still going
        const QString path = fields.value(QStringLiteral("path"));
        if (fields.value(QStringLiteral("owner")) == m_owner && path.startsWith(Root + u'/')) {
            note(QStringLiteral("a call left by process %1: %2").arg(pid).arg(path));
            co_await request(path, CallIface, MethodHangup, QVariantList(), limit(0));
            const QVariantList call{QVariant::fromValue(BusPath{path})};
            co_await request(fields.value(KeyModem), VoiceIface, MethodDeleteCall, call, limit(0));
        }
        QFile::remove(folder + name);
        if (!m_open)
            co_return;
    }
}

QCoro::Task<> ModemManagerLine::dial(const QString &digits)
{
    for (QChar key : digits) {
        if (!m_dropped.isEmpty())
            afterPause();
        if (!m_open)
            throw AppError(Failure::PortNotOpen, Source, QStringLiteral("回線が切れています。"));
        if (!((key >= u'0' && key <= u'9') || key == u'*' || key == u'#'))
            continue;
        const int generation = m_generation;
        const QVariantList tone{QString(key)};
        const BusReply sent = co_await request(m_call, CallIface, MethodSendDtmf, tone, limit(1));
        if (!m_dropped.isEmpty())
            afterPause();
        if (!m_open || generation != m_generation)
            throw AppError(Failure::PortNotOpen, Source, QStringLiteral("回線が切れています。"));
        // The far end hung up as the key went: its NO CARRIER may come before the signal.
        if (!sent.ok() && sent.error.endsWith(QLatin1String(".Connection.NoCarrier")))
            fail(QStringLiteral("通話が切れました（ModemManager：%1）。").arg(sent.message), false);
        if (!sent.ok())
            failReply(sent, QStringLiteral("数字 %1 を送れません").arg(key));
        co_await pause(m_settings.ToneGap / 1000.0);
    }
}

QCoro::Task<> ModemManagerLine::awaitOk(double seconds)
{
    co_await pause(seconds);
}

void ModemManagerLine::afterPause()
{
    if (!m_dropped.isEmpty()) {
        const QString text = std::exchange(m_dropped, QString());
        fail(text, false);
    }
}

void ModemManagerLine::hangUp()
{
    ++m_generation;
    const bool wasOpen = std::exchange(m_open, false);
    m_up = false;
    if (wasOpen)
        note(QStringLiteral("hang up"));
    release();
    if (wasOpen)
        emit closed();
}

// Hangs the call up and deletes it, then removes its record; released() follows.
void ModemManagerLine::release()
{
    if (m_call.isEmpty() || !m_bus)
        return;
    const QString call = std::exchange(m_call, QString());
    const QString record =
        stateFolder() + QLatin1String(RecordPrefix) + QString::number(::getpid()) + u'-' + call.section(u'/', -1);
    dropWatches();
    ++m_releasing;
    QPointer<ModemManagerLine> self(this);
    SystemBus *bus = m_bus;
    const QString modem = m_modem;
    const auto told = [self](const QString &method, const BusReply &reply) {
        if (self)
            self->noteReply(method, reply);
    };
    note(QStringLiteral("call Call.Hangup() ") + call);
    bus->call(Service, call, CallIface, QStringLiteral("Hangup"), {}, ReleaseTimeoutMs, [=](const BusReply &hungUp) {
        told(CallIface + QStringLiteral(".Hangup"), hungUp);
        if (self)
            self->note(QStringLiteral("call Modem.Voice.DeleteCall(%1) %2").arg(call, modem));
        bus->call(Service, modem, VoiceIface, QStringLiteral("DeleteCall"), {QVariant::fromValue(BusPath{call})},
                  ReleaseTimeoutMs, [=](const BusReply &deleted) {
                      told(VoiceIface + QStringLiteral(".DeleteCall"), deleted);
                      QFile::remove(record);
                      if (self && --self->m_releasing == 0)
                          emit self->released();
                  });
    });
}
