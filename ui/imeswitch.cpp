#include "ui/imeswitch.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QHash>
#include <QInputMethod>
#include <QPointer>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace
{

const QString fcitxService = QStringLiteral("org.fcitx.Fcitx5");
const QString ibusService = QStringLiteral("org.freedesktop.IBus");
const QString ibusPath = QStringLiteral("/org/freedesktop/IBus");
const QString fcitxPath = QStringLiteral("/controller");
const QString fcitxController = QStringLiteral("org.fcitx.Fcitx.Controller1");
const QString ibusLinkName = QStringLiteral("fumidori-ibus");
const QStringList japaneseEngines{QStringLiteral("mozc-jp"), QStringLiteral("anthy"), QStringLiteral("kkc")};

// A session bus that is there already: without one, the D-Bus library would start one
// (autolaunch), which is not ours to do.
bool sessionBusRunning()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QLatin1String("/bus"));
}

// Where ibus-daemon listens: IBUS_ADDRESS, else the address file it writes for the display,
// <config>/ibus/bus/<machine id>-<host or "unix">-<display number>.
QString ibusAddress()
{
    QString address = qEnvironmentVariable("IBUS_ADDRESS");
    if (!address.isEmpty())
        return address;
    QString file = qEnvironmentVariable("IBUS_ADDRESS_FILE");
    if (file.isEmpty()) {
        const QString machine = QString::fromLatin1(QSysInfo::machineUniqueId());
        QString display = qEnvironmentVariable("DISPLAY");
        if (display.isEmpty())
            display = QLatin1Char(':') + qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("0"));
        QString host = display.section(QLatin1Char(':'), 0, 0);
        if (host.isEmpty())
            host = QStringLiteral("unix");
        const QString number = display.section(QLatin1Char(':'), 1).section(QLatin1Char('.'), 0, 0);
        QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        if (config.isEmpty())
            config = QDir::homePath() + QLatin1String("/.config");
        file = config + QLatin1String("/ibus/bus/") + machine + QLatin1Char('-') + host + QLatin1Char('-') + number;
    }
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    while (!f.atEnd()) {
        const QByteArray line = f.readLine(4096).trimmed();
        if (line.startsWith("IBUS_ADDRESS="))
            return QString::fromUtf8(line.mid(13));
    }
    return {};
}

// Opening a bus connection waits for the bus to greet us; that wait happens on a thread of
// its own so that a bus that does not answer never holds up the window. The connection is
// kept by name and used again while the address stays; 'then' runs on the window's thread
// with the connection, open or not.
void withConnection(QObject *context, const QString &name, const QString &address,
                    const std::function<void(const QDBusConnection &)> &then)
{
    // Those who ask while the connection opens are answered when it is open.
    static QHash<QString, QList<QPair<QPointer<QObject>, std::function<void(const QDBusConnection &)>>>> waiting;
    static QHash<QString, QString> openedAt;
    const bool session = address.isEmpty();
    const QDBusConnection kept(session ? QStringLiteral("qt_default_session_bus") : name);
    if (kept.isConnected() && openedAt.value(name) == address) {
        then(session ? QDBusConnection::sessionBus() : kept);
        return;
    }
    const bool opening = waiting.contains(name);
    waiting[name].append({context, then});
    if (opening)
        return;
    QThread *opener = QThread::create([name, address, session] {
        if (session) {
            QDBusConnection::sessionBus();
            return;
        }
        QDBusConnection::disconnectFromBus(name); // one that failed or was lost
        QDBusConnection::connectToBus(address, name);
    });
    QObject::connect(opener, &QThread::finished, QCoreApplication::instance(), [name, address, session] {
        const QDBusConnection bus = session ? QDBusConnection::sessionBus() : QDBusConnection(name);
        openedAt.insert(name, address);
        for (const auto &[asker, callback] : waiting.take(name))
            if (asker)
                callback(bus);
    });
    QObject::connect(opener, &QThread::finished, opener, &QObject::deleteLater);
    opener->start();
}

// Calls are never allowed to start the service they are meant for.
QDBusMessage call(const QString &service, const QString &path, const QString &interface, const QString &method,
                  const QVariantList &arguments = {})
{
    QDBusMessage m = QDBusMessage::createMethodCall(service, path, interface, method);
    m.setArguments(arguments);
    m.setAutoStartService(false);
    return m;
}

ImeSwitch::Outcome outcomeOf(const QDBusError &error)
{
    if (error.type() == QDBusError::ServiceUnknown ||
        error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return ImeSwitch::Outcome::Absent;
    if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout ||
        error.type() == QDBusError::TimedOut)
        return ImeSwitch::Outcome::NoAnswer;
    return ImeSwitch::Outcome::Failed;
}

// Engine names out of IBus's serialised engine descriptions, struct (type name, attachments,
// name, long name, ...), each wrapped in variants, alone or in an array.
void collectEngineNames(const QVariant &value, QStringList &names)
{
    if (value.userType() == qMetaTypeId<QDBusVariant>()) {
        collectEngineNames(value.value<QDBusVariant>().variant(), names);
        return;
    }
    if (value.userType() == QMetaType::QVariantList) {
        for (const QVariant &v : value.toList())
            collectEngineNames(v, names);
        return;
    }
    if (value.userType() != qMetaTypeId<QDBusArgument>())
        return;
    const QDBusArgument arg = value.value<QDBusArgument>();
    if (arg.currentType() == QDBusArgument::ArrayType) {
        arg.beginArray();
        while (!arg.atEnd()) {
            QDBusVariant v;
            arg >> v;
            collectEngineNames(v.variant(), names);
        }
        arg.endArray();
    } else if (arg.currentType() == QDBusArgument::StructureType && arg.currentSignature().startsWith("(sa{sv}s")) {
        QString typeName, name;
        arg.beginStructure();
        arg >> typeName;
        arg.beginMap();
        while (!arg.atEnd()) {
            QString key;
            QDBusVariant v;
            arg.beginMapEntry();
            arg >> key >> v;
            arg.endMapEntry();
        }
        arg.endMap();
        arg >> name;
        arg.endStructure();
        names << name;
    }
}

template <typename Done>
void whenAnswered(const QDBusConnection &bus, const QDBusMessage &message, QObject *context, Done done)
{
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, ImeSwitch::answerTimeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done] {
        watcher->deleteLater();
        done(QDBusMessage(watcher->reply()));
    });
}

} // namespace

ImeSwitch::ImeSwitch(QWidget *box) : QObject(box), m_box(box)
{
    box->installEventFilter(this);
}

void ImeSwitch::setEnabled(bool on)
{
    const bool was = m_enabled;
    m_enabled = on;
    // The box may be waiting for its window to be active again, as after the options dialog.
    if (on && !was && (m_box->hasFocus() || m_box->window()->focusWidget() == m_box))
        switchOn();
}

bool ImeSwitch::eventFilter(QObject *watched, QEvent *event)
{
    // Back from the box's own context menu is not a new visit.
    if (m_enabled && watched == m_box && event->type() == QEvent::FocusIn &&
        static_cast<QFocusEvent *>(event)->reason() != Qt::PopupFocusReason) {
        QGuiApplication::inputMethod()->show();
        switchOn();
    }
    return false;
}

void ImeSwitch::switchOn()
{
    // Queued, so that the input method's own client in this program has told it about the
    // newly focused box before we ask for the box's input to be switched on.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (sessionBusRunning())
                activateFcitx();
            switchIbus();
        },
        Qt::QueuedConnection);
}

bool ImeSwitch::failed(const QString &inputMethod, const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ErrorMessage)
        return false;
    emit finished(inputMethod, outcomeOf(QDBusError(reply)));
    return true;
}

void ImeSwitch::activateFcitx(int attempt)
{
    withConnection(this, QStringLiteral("session"), QString(), [this, attempt](const QDBusConnection &bus) {
        if (!bus.isConnected())
            return emit finished(QStringLiteral("fcitx5"), Outcome::Absent);
        whenAnswered(bus, call(fcitxService, fcitxPath, fcitxController, QStringLiteral("Activate")), this,
                     [this, bus, attempt](const QDBusMessage &reply) {
                         if (!failed(QStringLiteral("fcitx5"), reply))
                             checkFcitx(bus, attempt);
                     });
    });
}

// Fcitx activates the input context focused last. On a window's first focus the input method's
// client in this program may not have created and focused the box's context yet, so Activate
// reached none of ours: ask again a little later, a few times at most, while the box keeps the focus.
void ImeSwitch::checkFcitx(const QDBusConnection &bus, int attempt)
{
    whenAnswered(bus, call(fcitxService, fcitxPath, fcitxController, QStringLiteral("State")), this,
                 [this, attempt](const QDBusMessage &state) {
                     const bool on =
                         state.type() != QDBusMessage::ErrorMessage && state.arguments().value(0).toInt() == 2;
                     if (on || attempt >= 4 || !m_box->hasFocus())
                         return emit finished(QStringLiteral("fcitx5"), on ? Outcome::Switched : Outcome::Failed);
                     QTimer::singleShot(answerTimeoutMs, this, [this, attempt] {
                         if (m_enabled && m_box->hasFocus())
                             activateFcitx(attempt + 1);
                     });
                 });
}

void ImeSwitch::switchIbus()
{
    const QString address = ibusAddress();
    if (address.isEmpty())
        return;
    withConnection(this, ibusLinkName, address, [this](const QDBusConnection &bus) {
        if (!bus.isConnected()) // an address left behind by an IBus that has ended
            return emit finished(QStringLiteral("ibus"), Outcome::Absent);
        const QDBusMessage get = call(ibusService, ibusPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                      QStringLiteral("Get"), {ibusService, QStringLiteral("GlobalEngine")});
        whenAnswered(bus, get, this, [this, bus](const QDBusMessage &reply) {
            // No engine in use is an error too; only absence and silence end here.
            const Outcome outcome = outcomeOf(QDBusError(reply));
            if (reply.type() == QDBusMessage::ErrorMessage && outcome != Outcome::Failed)
                return emit finished(QStringLiteral("ibus"), outcome);
            QStringList current;
            if (reply.type() != QDBusMessage::ErrorMessage && !reply.arguments().isEmpty())
                collectEngineNames(reply.arguments().constFirst(), current);
            if (!current.isEmpty() && japaneseEngines.contains(current.constFirst()))
                return emit finished(QStringLiteral("ibus"), Outcome::AlreadyOn);
            chooseIbusEngine(bus);
        });
    });
}

// The first of the Japanese engines that IBus has, in our order of preference.
void ImeSwitch::chooseIbusEngine(const QDBusConnection &bus)
{
    const QDBusMessage find =
        call(ibusService, ibusPath, ibusService, QStringLiteral("GetEnginesByNames"), {japaneseEngines});
    whenAnswered(bus, find, this, [this, bus](const QDBusMessage &found) {
        if (failed(QStringLiteral("ibus"), found))
            return;
        QStringList names;
        if (!found.arguments().isEmpty())
            collectEngineNames(found.arguments().constFirst(), names);
        if (names.isEmpty())
            return emit finished(QStringLiteral("ibus"), Outcome::Failed); // none installed
        const QDBusMessage set =
            call(ibusService, ibusPath, ibusService, QStringLiteral("SetGlobalEngine"), {names.constFirst()});
        whenAnswered(bus, set, this, [this](const QDBusMessage &reply) {
            if (!failed(QStringLiteral("ibus"), reply))
                emit finished(QStringLiteral("ibus"), Outcome::Switched);
        });
    });
}
