// Device kind 11 against the real ModemManager in its test mode: one ModemManager for the
// whole program on a private bus that stands for the system bus, polkit's mock answering,
// and fumidori-modemsim modules on UNIX sockets behind it; fumidori-send sends through it.
#include "support/filehelpers.h"
#include "support/linesrig.h"
#include "support/table.h"

#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>

namespace
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

} // namespace

// modem: VoiceModem= (an IMEI, a socket, a name of Modules); bus: "" ModemManager's, or "bare";
// said: in the sender's errors; sim: the module whose centre prints, and what it prints.
using Send = table::Of<QString, bool, QString, int, QString, QString, QString>;

class tst_ModemManager : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_address, m_bare;
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

private:
    QProcess &server(const QString &program, const QStringList &args, bool readOutput = false)
    {
        auto &p = *m_servers.emplace_back(std::make_unique<QProcess>());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        p.setProcessEnvironment(env);
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

    // A data folder sending to centre 0570000111, recipient 09000000000, through kind 11.
    QString folder(const QString &name, const QString &modem)
    {
        AppData data;
        data.folder = m_dir.filePath(name) + u'/';
        QDir().mkpath(data.folder);
        data.settings = Settings::defaults();
        data.settings.ModemKind = 11;
        data.settings.ToneGap = 40;
        data.settings.VoiceModem = modem;
        data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), 20, 0, 0, 0};
        data.recipients << Recipient{QStringLiteral("R"), 0, QStringLiteral("09000000000")};
        return SaveSettingsFile(data) ? QString() : data.folder;
    }

    // fumidori-send of "ABC" to R; its exit status and what it wrote to standard error.
    std::pair<int, QString> send(const QString &dataFolder, const QString &busAddress)
    {
        QProcess sender;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
        sender.setProcessEnvironment(env);
        sender.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                     {QStringLiteral("--folder"), dataFolder, QStringLiteral("--to"), QStringLiteral("R"),
                      QStringLiteral("--answer-limit"), QStringLiteral("10"), QStringLiteral("--trace"),
                      QStringLiteral("ABC")});
        if (!sender.waitForFinished(120000))
            sender.kill();
        return {sender.exitCode(), QString::fromUtf8(sender.readAllStandardError())};
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("ModemManager"), {QStringLiteral("/usr/sbin")}).isEmpty() ||
            QProcess::execute(Python, {QStringLiteral("-c"), QStringLiteral("import dbusmock")}) != 0)
            QSKIP("ModemManager or python3-dbusmock is not installed (scripts/setup installs them)");
        m_address = startBus(QStringLiteral("bus"));
        m_bare = startBus(QStringLiteral("bare"));
        QVERIFY(!m_address.isEmpty() && !m_bare.isEmpty());
        m_bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, QStringLiteral("mm")));
        QVERIFY(m_bus->isConnected());
        QVERIFY(startOwner(Polkit, Python,
                           {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                            QStringLiteral("--template"), QStringLiteral("polkitd")}));
        allowAll(true);
        QVERIFY(startOwner(Manager, QStringLiteral("/usr/sbin/ModemManager"),
                           {QStringLiteral("--test-enable"), QStringLiteral("--test-no-udev"),
                            QStringLiteral("--no-auto-scan"), QStringLiteral("--test-no-suspend-resume")}));
        QVERIFY(m_bus->connect(Manager, QStringLiteral("/org/freedesktop/ModemManager1"),
                               QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("InterfacesAdded"),
                               this, SLOT(interfacesAdded(QDBusMessage))));
        // Every module at once: ModemManager probes them side by side.
        const std::pair<const char *, QStringList> modules[] = {{"plain", {}},
                                                                {"second", {}},
                                                                {"busy", {"--busy"}},
                                                                {"silent", {"--no-answer"}},
                                                                {"drop", {"--drop-after", "14"}}};
        QSignalSpy added(this, &tst_ModemManager::modemAdded);
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
            QVERIFY(m.sim->waitForStarted() && m.sim->waitForReadyRead(5000));
            m.sim->setReadChannel(QProcess::StandardOutput);
            const QDBusMessage set = ask(Manager, QStringLiteral("/org/freedesktop/ModemManager1"),
                                         Manager + QStringLiteral(".Test"), QStringLiteral("SetProfile"),
                                         {QLatin1String(name), QStringLiteral("generic"), QStringList{m.socket}});
            QVERIFY2(set.type() == QDBusMessage::ReplyMessage, qPrintable(set.errorMessage()));
        }
        while (added.size() < int(std::size(modules)))
            QVERIFY(added.wait(60000));
        // Which modem is which: by its primary port.
        for (const QString &path : std::as_const(m_added)) {
            const QDBusMessage port = ask(Manager, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                          QStringLiteral("Get"), {Manager + QStringLiteral(".Modem"), "PrimaryPort"});
            for (auto &[name, m] : m_modules)
                if (port.arguments().value(0).value<QDBusVariant>().variant().toString() == m.socket)
                    m.path = path;
        }
        for (auto &[name, m] : m_modules)
            QVERIFY2(!m.path.isEmpty(), qPrintable(name));
    }

    void cleanupTestCase()
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

    void send_data()
    {
        const Send row;
        const QString ok = QStringLiteral("message: ABC\n");
        row("named by its IMEI", "490000000000001", true, "", 0, "", "plain", ok);
        row("named by its port", "second.sock", true, "", 0, "", "second", ok);
        row("busy", "490000000000003", true, "", 1, "話し中", "busy", "dropped: yes\n");
        row("no answer", "490000000000004", true, "", 1, "応答しませんでした", "silent", "digits: \n");
        row("dropped mid-message", "490000000000005", true, "", 1, "切れました", "drop", "dropped: yes\n");
        row("five modules, none named", "", true, "", 1, "5 台", "", "");
        row("no such module", "ttyUSB9", true, "", 1, "VoiceModem=ttyUSB9 のモジュールが ModemManager にありません", "",
            "");
        row("not authorised", "490000000000001", false, "", 1, "polkit", "", "");
        row("ModemManager absent", "490000000000001", true, "bare", 1, "ModemManager が動いていません", "", "");
    }
    void send()
    {
        const auto [modem, allowed, bus, status, said, simName, printed] = Send::row();
        const QString voiceModem = modem.endsWith(QLatin1String(".sock")) ? m_dir.filePath(modem) : modem;
        const QString data = folder(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_'), voiceModem);
        allowAll(allowed);
        const auto [exit, errors] = send(data, bus == u"bare" ? m_bare : m_address);
        allowAll(true);
        if (exit != status || !errors.contains(said))
            qWarning().noquote() << exit << errors;
        QVERIFY(exit == status && errors.contains(said));
        if (said == u"5 台")
            for (const auto &[name, m] : m_modules)
                QVERIFY2(errors.contains(m.imei), qPrintable(errors));
        if (!simName.isEmpty())
            QVERIFY2(m_modules[simName].calls(1).contains(printed), qPrintable(m_modules[simName].printed));
        // Whatever happened, no call is left behind, and none is recorded.
        for (const auto &[name, m] : m_modules)
            QCOMPARE(calls(m.path), QStringList());
        QCOMPARE(QDir(data + QStringLiteral("queue/state")).entryList(QDir::Files), QStringList());
    }

    // What the module was told in the whole send: the centre dialled, each digit its own
    // AT+VTS in order, the hang-up after the last one.
    void wholeSendOnTheLine()
    {
        const QByteArray transcript = readFileBytes(m_dir.filePath(QStringLiteral("plain.txt")));
        QByteArrayList received;
        for (const QByteArray &line : transcript.split('\n'))
            if (line.contains(" rx "))
                received << line.mid(line.indexOf(" rx ") + 4).replace("\\x0d\\x0a", "");
        const qsizetype dial = received.indexOf("ATD0570000111;");
        QVERIFY2(dial >= 0, transcript.constData());
        QByteArray keys;
        qsizetype last = -1;
        for (qsizetype i = dial; i < received.size(); ++i)
            if (received[i].startsWith("AT+VTS=") && received[i].size() == 8) {
                keys += received[i].back();
                last = i;
            }
        QCOMPARE(keys, QByteArray("09000000000#*2*2161718##"));
        // ModemManager's own polls may come between; no key follows the hang-up.
        QVERIFY2(received.indexOf("AT+CHLD=11", dial) > last, transcript.constData());
    }

    // A sender stopped (SIGTERM) in the middle of a call hangs it up and deletes it before
    // it ends.
    void stoppedMidCallEndsIt()
    {
        const Module &m = m_modules["plain"];
        const QString data = folder(QStringLiteral("stopped"), m.imei);
        QProcess sender;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        sender.setProcessEnvironment(env);
        sender.setProcessChannelMode(QProcess::MergedChannels);
        sender.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                     {"--folder", data, "--to", "R", "--answer-limit", "10", "--trace", "ABC"});
        QByteArray said;
        while (!said.contains("SendDtmf(\"0\")") && sender.waitForReadyRead(30000))
            said += sender.readAll();
        QVERIFY2(said.contains("SendDtmf"), said.constData());
        sender.terminate();
        QVERIFY(sender.waitForFinished(30000));
        said += sender.readAll();
        QVERIFY2(said.contains("answer Modem.Voice.DeleteCall"), said.constData());
        QCOMPARE(calls(m.path), QStringList());
        QCOMPARE(QDir(data + QStringLiteral("queue/state")).entryList(QDir::Files), QStringList());
    }

    // A call recorded by a run that was killed is ended by the next call; a call of someone
    // else's on the same module is left alone.
    void leftCallEndedOthersKept()
    {
        const Module &m = m_modules["plain"];
        const QString voice = Manager + QStringLiteral(".Modem.Voice");
        const auto create = [&] {
            const QDBusMessage r = ask(Manager, m.path, voice, QStringLiteral("CreateCall"),
                                       {QVariantMap{{QStringLiteral("number"), QStringLiteral("0312345678")}}});
            return r.arguments().value(0).value<QDBusObjectPath>().path();
        };
        const QString left = create(), others = create();
        QVERIFY(!left.isEmpty() && !others.isEmpty());
        QProcess gone;
        gone.start(QStringLiteral("true"));
        QVERIFY(gone.waitForFinished());
        const QString owner = m_bus->interface()->serviceOwner(Manager);
        const QString data = folder(QStringLiteral("left"), m.imei);
        QVERIFY(QDir().mkpath(data + QStringLiteral("queue/state")));
        QVERIFY(writeFileBytes(data + QStringLiteral("queue/state/modemmanager-call-%1-9").arg(gone.processId()),
                               QStringLiteral("path=%1\nmodem=%2\nowner=%3\npid=%4\n")
                                   .arg(left, m.path, owner)
                                   .arg(gone.processId())
                                   .toUtf8()));
        const auto [exit, errors] = send(data, m_address);
        QVERIFY2(exit == 0, qPrintable(errors));
        QCOMPARE(calls(m.path), QStringList{others});
        ask(Manager, m.path, voice, QStringLiteral("DeleteCall"), {QVariant::fromValue(QDBusObjectPath(others))});
    }

    // Two ModemManager lines and a modem line behind one queue: the busy module fails
    // its messages over without being taken out of service (ModemManager reports busy as
    // NoDialtone, which cannot be told from a dead line), and every message goes out once.
    void queueFailsOver()
    {
        LinesRig rig;
        QVERIFY(rig.writeSettings());
        const QString mm = QStringLiteral("ModemKind=11\nVoiceModem=");
        QVERIFY(rig.writeQueueIni(3, QStringLiteral("Delays=1m"),
                                  {{0, mm + m_modules["busy"].imei}, {1, mm + m_modules["second"].imei}}));
        QVERIFY(rig.startSim(2));
        const QStringList texts{"A", "B", "C"};
        for (const QString &text : texts)
            QVERIFY(!rig.add(text).isEmpty());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        rig.runner.setProcessEnvironment(env);
        QVERIFY(rig.startRunner({"--answer-limit", "10"}));
        const auto sent = [&] {
            QStringList lines;
            for (const QJsonObject &e : rig.eventsNamed("result"))
                if (e["status"] == QLatin1String("sent"))
                    lines << e["line"].toString();
            return lines;
        };
        QVERIFY2(rig.waitFor([&] { return sent().size() == 3; }, 120000),
                 rig.runner.readAllStandardError().constData());
        QVERIFY(rig.eventsNamed("line-down").isEmpty());
        const QList<QJsonObject> failedOver = rig.eventsNamed("failover");
        QVERIFY(!failedOver.isEmpty() && failedOver.first()["line"] == QLatin1String("a"));
        QVERIFY2(!sent().contains(QStringLiteral("a")) && sent().contains(QStringLiteral("b")),
                 qPrintable(sent().join(u' ')));
        QCOMPARE(rig.stopRunner(), 0);
        const QString second =
            m_modules["second"].calls(0) + rig.sims[2]->field(QStringLiteral("message"), 0).join(u'\n');
        for (const QString &text : texts)
            QVERIFY2(second.contains(QStringLiteral("message: %1\n").arg(text)) || rig.delivered(2).contains(text),
                     qPrintable(second));
        for (const auto &[name, m] : m_modules)
            QCOMPARE(calls(m.path), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_ModemManager)
#include "tst_modemmanager.moc"
