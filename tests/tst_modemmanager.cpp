// Device kind 11 against the real ModemManager in its test mode: one ModemManager for the
// whole program on a private bus that stands for the system bus, polkit's mock answering,
// and fumidori-modemsim modules on UNIX sockets behind it; fumidori-send sends through it.
#include "support/fakeplatform.h"
#include "support/linelogfile.h"
#include "support/linesrig.h"
#include "support/modemmanagerrig.h"
#include "support/portbank.h"
#include "support/sendrig.h"
#include "support/table.h"
#include "support/virtualwaiter.h"

#include "modem/comport.h"
#include "store/appdata.h"
#include "store/settingsfile.h"
#include "ui/dlgoption.h"

#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <fcntl.h>
#include <linux/capability.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

// modem: VoiceModem= (an IMEI, a socket, a name of Modules); bus: "" ModemManager's, or "bare";
// said: in the sender's errors; sim: the module whose centre prints, and what it prints.
using Send = table::Of<QString, bool, QString, int, QString, QString, QString>;
// A serial line on a port a ModemManager modem lists: InhibitModemManager=, the port held
// by another program, the sender's exit status, in its errors, ModemManager's InhibitDevice
// calls in order.
using Beside = table::Of<int, bool, int, QString, QStringList>;
// A queue's two ModemManager lines: their VoiceModem= (line b's "-": no line b), what the
// refusal at the start names.
using Start = table::Of<QString, QString, QStringList>;

class tst_ModemManager : public ModemManagerRig
{
    Q_OBJECT

private:
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
    // With exclusive, a device opened exclusively (TIOCEXCL) keeps it out even as root: only
    // CAP_SYS_ADMIN passes that mode, and it runs without.
    std::pair<int, QString> send(const QString &dataFolder, const QString &busAddress, bool exclusive = false)
    {
        const ToolRun r = runTool(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                                  {"--folder", dataFolder, "--to", "R", "--answer-limit", "10", "--trace", "ABC"}, {},
                                  onBus(busAddress), 120000,
                                  exclusive ? +[] { ::prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0); } : nullptr);
        return {r.exitCode, r.err};
    }

private slots:
    void initTestCase()
    {
        if (!available())
            QSKIP("ModemManager or python3-dbusmock is not installed (scripts/setup installs them)");
        const QString problem = start({{"plain", {}},
                                       {"second", {}},
                                       {"busy", {"--busy"}},
                                       {"silent", {"--no-answer"}},
                                       {"drop", {"--drop-after", "14"}}});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
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

    // A queue's ModemManager lines are checked against the modules there before any call:
    // none named among several, and one module named twice (by its IMEI and by its port),
    // are refused at the start, naming the modules and both lines.
    void queueStartChecksModules_data()
    {
        const Start row;
        row("none named among five", "", "-", {"5 台", "490000000000001", "490000000000005", "MODEMSIM"});
        row("one module by its IMEI and its port", "490000000000001", "plain.sock",
            {"[Line a]", "[Line b]", "IMEI 490000000000001"});
    }
    void queueStartChecksModules()
    {
        const auto [a, b, said] = Start::row();
        LinesRig rig;
        QVERIFY(rig.writeSettings());
        const QString mm = QStringLiteral("ModemKind=11\nVoiceModem=");
        QMap<int, QString> keys{{0, mm + a}};
        if (b != u"-")
            keys[1] = mm + m_dir.filePath(b);
        QVERIFY(rig.writeQueueIni(int(keys.size()), {}, keys));
        const ToolRun run = runTool(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                                    {"--folder", rig.folder, "queue", "run"}, {}, onBus(m_address));
        QVERIFY2(run.ended && run.exitCode == 2, qPrintable(run.err));
        for (const QString &text : said)
            QVERIFY2(run.err.contains(text), qPrintable(run.err));
    }

    // The options dialog asks ModemManager for its modules as it opens: each listed with
    // its model and IMEI, the one the settings name by its port chosen, stored by its IMEI.
    void optionsDialogListsModules()
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
        AppData data;
        data.settings = Settings::defaults();
        data.settings.ModemKind = 11;
        data.settings.VoiceModem = m_modules["second"].socket;
        FakePlatform fake;
        VirtualWaiter waiter;
        PortBank port{waiter};
        dlgOption dialog(data, fake.platform, port, waiter);
        auto *list = dialog.findChild<QComboBox *>(QStringLiteral("cmbVoiceModem"));
        QSignalSpy listed(list, &QComboBox::currentIndexChanged);
        dialog.show();
        QVERIFY(listed.wait(30000)); // the whole list comes in one answer
        QCOMPARE(list->count(), int(m_modules.size()));
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->itemText(i);
        for (const auto &[name, m] : m_modules)
            QVERIFY2(texts.filter(m.imei).filter(QStringLiteral("MODEMSIM")).size() == 1,
                     qPrintable(texts.join(u'\n')));
        QCOMPARE(list->currentData().toString(), m_modules["second"].imei);
        dialog.findChild<QPushButton *>(QStringLiteral("OKButton"))->click();
        QCOMPARE(data.settings.VoiceModem, m_modules["second"].imei);
    }

    // What the module was told in the whole send: the centre dialled, each digit its own
    // AT+VTS in order, the hang-up after the last one.
    void wholeSendOnTheLine()
    {
        const QByteArray transcript = transcriptReceived(m_dir.filePath(QStringLiteral("plain.txt")));
        QByteArrayList received;
        for (const QByteArray &command : transcript.split('\r'))
            received << command.trimmed();
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
        sender.setProcessEnvironment(onBus(m_address));
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
        rig.runner.setProcessEnvironment(onBus(m_address));
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

    void serialPortBeside_data()
    {
        const Beside row;
        const QStringList both{"true", "false"};
        row("held: ModemManager named, the ways out", 0, true, 3,
            "ModemManager が管理するモジュール（Maker M1、IMEI 490000000000009）", QStringList{});
        row("held, with the udev rule named", 0, true, 3, "ID_MM_DEVICE_IGNORE", QStringList{});
        row("held, with the setting named", 0, true, 3, "InhibitModemManager=1", QStringList{});
        row("free: nothing inhibited by default", 0, false, 0, "", QStringList{});
        row("inhibited for the call, given back", 1, false, 0, "", both);
        row("inhibited, held all the same: someone else", 1, true, 3, "ポートは既に開いています。（エラー番号 8005）",
            both);
    }
    // A mock ModemManager (its test mode has no serial ports) whose one modem lists the
    // simulator's pseudo-terminal among its ports.
    void serialPortBeside()
    {
        const auto [inhibit, held, status, said, inhibits] = Beside::row();
        LinesRig rig;
        QVERIFY(rig.writeSettings() && rig.startSim(0));
        AppData data;
        data.folder = rig.folder;
        QVERIFY(!LoadSettingsFile(data));
        data.settings.InhibitModemManager = qint16(inhibit);
        QVERIFY(!SaveSettingsFile(data));
        const QString pty = QFileInfo(ComPort::devicePath(rig.folder, 1)).canonicalFilePath();
        QVERIFY(pty.startsWith(QLatin1String("/dev/")));
        QDBusConnection bus = QDBusConnection::connectToBus(m_mock, QStringLiteral("mock"));
        const QString root = QStringLiteral("/org/freedesktop/ModemManager1");
        if (!bus.interface()->isServiceRegistered(Manager)) {
            QDBusServiceWatcher watcher(Manager, bus, QDBusServiceWatcher::WatchForRegistration);
            QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
            server(Python, {"-m", "dbusmock", "--system", Manager, root, Manager}, false, m_mock);
            QVERIFY(registered.wait(30000));
        }
        const auto mockCall = [&](const QString &method, const QVariantList &args) {
            QDBusMessage m =
                QDBusMessage::createMethodCall(Manager, root, QStringLiteral("org.freedesktop.DBus.Mock"), method);
            m.setArguments(args);
            return bus.call(m, QDBus::Block, 30000);
        };
        const QString objects =
            QStringLiteral("ret = {dbus.ObjectPath('/org/freedesktop/ModemManager1/Modem/9'): "
                           "{'org.freedesktop.ModemManager1.Modem': {'Device': '/sys/devices/usb9', "
                           "'Manufacturer': 'Maker', 'Model': 'M1', 'EquipmentIdentifier': '490000000000009', "
                           "'Ports': dbus.Array([('ttyUSB8', dbus.UInt32(1)), ('%1', dbus.UInt32(3))], "
                           "signature='(su)')}}}")
                .arg(pty.mid(5));
        QCOMPARE(mockCall(QStringLiteral("AddMethod"),
                          {"org.freedesktop.DBus.ObjectManager", "GetManagedObjects", "", "a{oa{sa{sv}}}", objects})
                     .type(),
                 QDBusMessage::ReplyMessage);
        mockCall(QStringLiteral("AddMethod"), {Manager, "InhibitDevice", "sb", "", ""});
        mockCall(QStringLiteral("ClearCalls"), {});
        // Held as ModemManager holds a port: opened exclusively, with no lock file.
        const int other = held ? ::open(QFile::encodeName(pty).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
        QVERIFY(!held || (other >= 0 && ::ioctl(other, TIOCEXCL) == 0));
        const auto release = qScopeGuard([other] {
            if (other >= 0) {
                ::ioctl(other, TIOCNXCL);
                ::close(other);
            }
        });
        const auto [exit, errors] = send(rig.folder, m_mock, held);
        QVERIFY2(exit == status && errors.contains(said), qPrintable(QString::number(exit) + errors));
        // What ModemManager was asked, once the sender has gone (the give-back needs no answer).
        QStringList asked;
        const QDBusMessage calls = mockCall(QStringLiteral("GetMethodCalls"), {"InhibitDevice"});
        const QDBusArgument list = calls.arguments().value(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            qulonglong when = 0;
            QVariantList args;
            list.beginStructure();
            list >> when >> args;
            list.endStructure();
            const auto plain = [&](int i) {
                const QVariant v = args.value(i);
                return (v.canConvert<QDBusVariant>() ? v.value<QDBusVariant>().variant() : v).toString();
            };
            QCOMPARE(plain(0), QStringLiteral("/sys/devices/usb9"));
            asked << plain(1);
        }
        list.endArray();
        QCOMPARE(asked, inhibits);
    }
};

QTEST_MAIN(tst_ModemManager)
#include "tst_modemmanager.moc"
