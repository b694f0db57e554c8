// The system bus on Qt D-Bus: method calls answered through QDBusPendingCallWatcher,
// signals through one receiver each, and every answer turned into plain Qt types.

#include "modem/systembus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QObject>

#include <map>
#include <memory>

namespace
{

QVariant plain(const QVariant &value);

// A marshalled value (a dictionary, an array, a structure) as plain Qt types.
QVariant plainArgument(const QDBusArgument &arg)
{
    switch (arg.currentType()) {
    case QDBusArgument::MapType: {
        QVariantMap map;
        arg.beginMap();
        while (!arg.atEnd()) {
            arg.beginMapEntry();
            const QVariant key = plain(arg.asVariant());
            const QVariant value = plain(arg.asVariant());
            map.insert(key.toString(), value);
            arg.endMapEntry();
        }
        arg.endMap();
        return map;
    }
    case QDBusArgument::ArrayType: {
        QVariantList list;
        arg.beginArray();
        while (!arg.atEnd())
            list << plain(arg.asVariant());
        arg.endArray();
        return list;
    }
    case QDBusArgument::StructureType: {
        QVariantList list;
        arg.beginStructure();
        while (!arg.atEnd())
            list << plain(arg.asVariant());
        arg.endStructure();
        return list;
    }
    default:
        return plain(arg.asVariant());
    }
}

QVariant plain(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        return plain(value.value<QDBusVariant>().variant());
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    if (value.metaType() == QMetaType::fromType<QDBusSignature>())
        return value.value<QDBusSignature>().signature();
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return plainArgument(value.value<QDBusArgument>());
    if (value.metaType() == QMetaType::fromType<QVariantMap>()) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            *it = plain(*it);
        return map;
    }
    if (value.metaType() == QMetaType::fromType<QVariantList>()) {
        QVariantList list = value.toList();
        for (QVariant &v : list)
            v = plain(v);
        return list;
    }
    return value;
}

QVariantList plainList(const QList<QVariant> &values)
{
    QVariantList out;
    for (const QVariant &v : values)
        out << plain(v);
    return out;
}

// One watched signal.
class Receiver : public QObject
{
    Q_OBJECT
public:
    explicit Receiver(std::function<void(const QString &, const QVariantList &)> signal) : m_signal(std::move(signal))
    {
    }

public slots:
    void take(const QDBusMessage &message) { m_signal(message.path(), plainList(message.arguments())); }

private:
    std::function<void(const QString &, const QVariantList &)> m_signal;
};

QDBusMessage message(const QString &service, const QString &path, const QString &interface, const QString &method,
                     const QVariantList &args)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    QList<QVariant> out;
    for (const QVariant &a : args)
        out << (a.metaType() == QMetaType::fromType<BusPath>()
                    ? QVariant::fromValue(QDBusObjectPath(a.value<BusPath>().path))
                    : a);
    message.setArguments(out);
    return message;
}

BusReply answer(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage)
        return {{}, reply.errorName(), reply.errorMessage()};
    return {plainList(reply.arguments()), {}, {}};
}

class DBusSystemBus : public QObject, public SystemBus
{
public:
    explicit DBusSystemBus(const QDBusConnection &bus) : m_bus(bus) {}

    void call(const QString &service, const QString &path, const QString &interface, const QString &method,
              const QVariantList &args, int timeoutMs, std::function<void(const BusReply &)> done) override
    {
        auto *watcher = new QDBusPendingCallWatcher(
            m_bus.asyncCall(message(service, path, interface, method, args), timeoutMs), this);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                         [done = std::move(done)](QDBusPendingCallWatcher *w) {
                             const QDBusMessage reply = w->reply();
                             w->deleteLater();
                             done(answer(reply));
                         });
    }

    BusReply callNow(const QString &service, const QString &path, const QString &interface, const QString &method,
                     const QVariantList &args, int timeoutMs) override
    {
        return answer(m_bus.call(message(service, path, interface, method, args), QDBus::Block, timeoutMs));
    }

    int watch(const QString &service, const QString &path, const QString &interface, const QString &name,
              std::function<void(const QString &, const QVariantList &)> signal) override
    {
        const int id = ++m_lastId;
        auto receiver = std::make_unique<Receiver>(std::move(signal));
        m_bus.connect(service, path, interface, name, receiver.get(), SLOT(take(QDBusMessage)));
        m_watches[id] = {service, path, interface, name, std::move(receiver)};
        return id;
    }

    void unwatch(int id) override
    {
        const auto it = m_watches.find(id);
        if (it == m_watches.end())
            return;
        Watch &w = it->second;
        m_bus.disconnect(w.service, w.path, w.interface, w.name, w.receiver.get(), SLOT(take(QDBusMessage)));
        w.receiver.release()->deleteLater(); // it may be delivering the signal now
        m_watches.erase(it);
    }

private:
    struct Watch {
        QString service, path, interface, name;
        std::unique_ptr<Receiver> receiver;
    };
    QDBusConnection m_bus;
    int m_lastId = 0;
    std::map<int, Watch> m_watches;
};

} // namespace

class DBusSystemBusFactory : public QObject, public SystemBusFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID SystemBusFactory_iid)
    Q_INTERFACES(SystemBusFactory)
public:
    SystemBus *connect(QString *error) override
    {
        const QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            *error = QStringLiteral("システムの D-Bus に接続できません：%1").arg(bus.lastError().message());
            return nullptr;
        }
        return new DBusSystemBus(bus);
    }
};

#include "dbussystembus.moc"
