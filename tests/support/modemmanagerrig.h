#pragma once
// ModemManager in its test mode on a private bus that stands for the system bus, polkit's
// mock answering, and fumidori-modemsim modules on UNIX sockets behind it: the system
// tests' and the benchmarks' rig for device kind 11. Also a bus with nobody on it
// (bare) and one for a mock ModemManager (mock).
#include "support/filehelpers.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <deque>
#include <map>
#include <memory>

namespace mmrig
{

const QString Manager = QStringLiteral("org.freedesktop.ModemManager1");
const QString Polkit = QStringLiteral("org.freedesktop.PolicyKit1");
const QString Python = QStringLiteral("/usr/bin/python3");

// A module behind ModemManager: its simulator, its equipment identifier and its modem.
struct Module {
    QString imei, socket, path;
    std::unique_ptr<QProcess> sim;
    QString printed;
    // What its centre printed so far, once it has told of count calls (10 s at most).
    const QString &calls(int count)
    {
        printed += QString::fromUtf8(sim->readAllStandardOutput());
        while (printed.count(QLatin1String("--\n")) < count && sim->waitForReadyRead(10000))
            printed += QString::fromUtf8(sim->readAllStandardOutput());
        return printed;
    }
};

} // namespace mmrig

using mmrig::Manager;
using mmrig::Module;
using mmrig::Polkit;
using mmrig::Python;

// Its problem out of start() when a step fails.
#define CHECK(ok)                                                                                                      \
    if (!(ok))                                                                                                         \
        return QStringLiteral(#ok);

class ModemManagerRig : public QObject
{
    Q_OBJECT

public:
    QTemporaryDir m_dir;
    QString m_address, m_bare, m_mock;
    std::deque<std::unique_ptr<QProcess>> m_servers;
    std::map<QString, Module> m_modules;
    QStringList m_added; // modem paths ModemManager told of
    std::unique_ptr<QDBusConnection> m_bus;

signals:
    void modemAdded();

public slots:
    void interfacesAdded(const QDBusMessage &message)
    {
        const QString path = message.arguments().value(0).value<QDBusObjectPath>().path();
        if (path.startsWith(QStringLiteral("/org/freedesktop/ModemManager1/Modem/"))) {
            m_added << path;
            emit modemAdded();
        }
    }

public:
    // This process's environment with the bus given standing for the system bus.
    static QProcessEnvironment onBus(const QString &address)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
        return env;
    }

    QProcess &server(const QString &program, const QStringList &args, bool readOutput = false, const QString &bus = {})
    {
        auto &p = *m_servers.emplace_back(std::make_unique<QProcess>());
        p.setProcessEnvironment(onBus(bus.isEmpty() ? m_address : bus));
        // What the servers say is kept beside the test's files.
        if (!readOutput)
            p.setStandardOutputFile(m_dir.filePath(QStringLiteral("servers.log")), QIODevice::Append);
        p.setStandardErrorFile(m_dir.filePath(QStringLiteral("servers.log")), QIODevice::Append);
        p.start(program, args);
        return p;
    }

    // A private bus standing for the system's; its address.
    QString startBus(const QString &name)
    {
        const QString config = m_dir.filePath(name + QStringLiteral(".conf"));
        writeFileBytes(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\"><busconfig>"
                               "<type>system</type><listen>unix:path=" +
                                   QFile::encodeName(m_dir.filePath(name)) +
                                   "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                   "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                   "<allow own=\"*\"/></policy></busconfig>");
        QProcess &bus = server(QStringLiteral("dbus-daemon"),
                               {QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                                QStringLiteral("--config-file=") + config},
                               true);
        bus.waitForReadyRead(10000);
        return QString::fromUtf8(bus.readLine()).trimmed();
    }

    // Starts a program that takes the name on the bus; true once it has.
    bool startOwner(const QString &name, const QString &program, const QStringList &args)
    {
        QDBusServiceWatcher watcher(name, *m_bus, QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        server(program, args);
        return registered.wait(30000);
    }

    QDBusMessage ask(const QString &service, const QString &path, const QString &interface, const QString &method,
                     const QVariantList &args = {})
    {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, interface, method);
        m.setArguments(args);
        return m_bus->call(m, QDBus::Block, 30000);
    }

    void allowAll(bool allow)
    {
        ask(Polkit, QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
            QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("AllowUnknown"), {allow});
    }

    QStringList calls(const QString &modem)
    {
        QStringList out;
        const QDBusMessage reply =
            ask(Manager, modem, Manager + QStringLiteral(".Modem.Voice"), QStringLiteral("ListCalls"));
        for (const QDBusObjectPath &p : qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(0)))
            out << p.path();
        return out;
    }

    // Whether ModemManager and python3-dbusmock are here.
    static bool available()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("ModemManager"), {QStringLiteral("/usr/sbin")})
                    .isEmpty() &&
               QProcess::execute(Python, {QStringLiteral("-c"), QStringLiteral("import dbusmock")}) == 0;
    }

    // The buses, polkit's mock (allowing), ModemManager and the modules (name, simulator
    // options), every one at once (ModemManager probes them side by side); the problem, or
    // empty once every module is a modem.
    QString start(const std::vector<std::pair<const char *, QStringList>> &modules)
    {
        m_address = startBus(QStringLiteral("bus"));
        m_bare = startBus(QStringLiteral("bare"));
        m_mock = startBus(QStringLiteral("mock"));
        CHECK(!m_address.isEmpty() && !m_bare.isEmpty() && !m_mock.isEmpty());
        m_bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, QStringLiteral("mm")));
        CHECK(m_bus->isConnected());
        CHECK(startOwner(Polkit, Python,
                         {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                          QStringLiteral("--template"), QStringLiteral("polkitd")}));
        allowAll(true);
        CHECK(startOwner(Manager, QStringLiteral("/usr/sbin/ModemManager"),
                         {QStringLiteral("--test-enable"), QStringLiteral("--test-no-udev"),
                          QStringLiteral("--no-auto-scan"), QStringLiteral("--test-no-suspend-resume")}));
        CHECK(m_bus->connect(Manager, QStringLiteral("/org/freedesktop/ModemManager1"),
                             QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("InterfacesAdded"),
                             this, SLOT(interfacesAdded(QDBusMessage))));
        // Every module at once: ModemManager probes them side by side.
        QSignalSpy added(this, &ModemManagerRig::modemAdded);
        int n = 0;
        for (const auto &[name, options] : modules) {
            Module &m = m_modules[QLatin1String(name)];
            m.imei = QStringLiteral("49000000000000%1").arg(++n);
            m.socket = m_dir.filePath(QLatin1String(name) + QStringLiteral(".sock"));
            m.sim = std::make_unique<QProcess>();
            m.sim->start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"),
                         QStringList{"--managed", m.socket, "--imei", m.imei, "--transcript",
                                     m_dir.filePath(QLatin1String(name) + QStringLiteral(".txt"))} +
                             options);
            m.sim->setReadChannel(QProcess::StandardError);
            CHECK(m.sim->waitForStarted() && m.sim->waitForReadyRead(5000));
            m.sim->setReadChannel(QProcess::StandardOutput);
            const QDBusMessage set = ask(Manager, QStringLiteral("/org/freedesktop/ModemManager1"),
                                         Manager + QStringLiteral(".Test"), QStringLiteral("SetProfile"),
                                         {QLatin1String(name), QStringLiteral("generic"), QStringList{m.socket}});
            if (set.type() != QDBusMessage::ReplyMessage)
                return set.errorMessage();
        }
        while (added.size() < int(std::size(modules)))
            CHECK(added.wait(60000));
        // Which modem is which: by its primary port.
        for (const QString &path : std::as_const(m_added)) {
            const QDBusMessage port = ask(Manager, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                          QStringLiteral("Get"), {Manager + QStringLiteral(".Modem"), "PrimaryPort"});
            for (auto &[name, m] : m_modules)
                if (port.arguments().value(0).value<QDBusVariant>().variant().toString() == m.socket)
                    m.path = path;
        }
        for (auto &[name, m] : m_modules)
            if (m.path.isEmpty())
                return QStringLiteral("no modem for ") + name;
        return {};
    }

    ~ModemManagerRig() override
    {
        for (auto &[name, m] : m_modules)
            if (m.sim) {
                m.sim->terminate();
                m.sim->waitForFinished(5000);
            }
        for (auto it = m_servers.rbegin(); it != m_servers.rend(); ++it) {
            (*it)->terminate();
            (*it)->waitForFinished(10000);
        }
    }
};
#undef CHECK
