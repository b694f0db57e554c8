#pragma once

#include <QString>
#include <QVariant>
#include <QtPlugin>
#include <functional>

// The system's message bus (D-Bus), as the line through ModemManager needs it. The
// implementation lives in a plugin that links Qt D-Bus and is loaded at the first call
// of that line (systemBus()), so neither the window's start nor the other lines pay
// for it. It connects where every D-Bus program does: DBUS_SYSTEM_BUS_ADDRESS, else the
// system's bus.

// An object path as a method argument (a plain text is sent as a string).
struct BusPath {
    QString path;
};
Q_DECLARE_METATYPE(BusPath)

// The answer to one method call: its values, or the error's name and message. Values
// come as plain Qt types: object paths and signatures as text, variants unwrapped,
// dictionaries as QVariantMap (keys as text), arrays and structures as QVariantList.
struct BusReply {
    QVariantList values;
    QString error; // empty: the call succeeded
    QString message;
    bool ok() const { return error.isEmpty(); }
};

class SystemBus
{
public:
    virtual ~SystemBus() = default;
    // Calls a method; done runs once, from the event loop, with the answer (or the bus's
    // error when no answer came within timeoutMs).
    virtual void call(const QString &service, const QString &path, const QString &interface, const QString &method,
                      const QVariantList &args, int timeoutMs, std::function<void(const BusReply &)> done) = 0;
    // Calls a method and blocks until its answer, or the bus's error after timeoutMs: for a
    // last word that must have left before the program may end.
    virtual BusReply callNow(const QString &service, const QString &path, const QString &interface,
                             const QString &method, const QVariantList &args, int timeoutMs) = 0;
    // The signal of the interface at path, from the service, each time it comes (empty
    // path: any path), until unwatch() with the number returned.
    virtual int watch(const QString &service, const QString &path, const QString &interface, const QString &name,
                      std::function<void(const QString &path, const QVariantList &args)> signal) = 0;
    virtual void unwatch(int id) = 0;
};

class SystemBusFactory
{
public:
    virtual ~SystemBusFactory() = default;
    // The connection to the system bus, or nullptr with *error.
    virtual SystemBus *connect(QString *error) = 0;
};

#define SystemBusFactory_iid "org.fumidori.SystemBusFactory/1"
Q_DECLARE_INTERFACE(SystemBusFactory, SystemBusFactory_iid)

// The system bus from its plugin, connected at the first call and kept for the program;
// nullptr with *error (no plugin, no bus).
SystemBus *systemBus(QString *error);
