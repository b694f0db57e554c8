// The self-checks of idle lines: a runner on virtual time over a scripted driver whose
// devices stop answering and answer again (counted checks, the line's service, its events
// and hooks), the trial call kept where no check is made, the real AT check over the
// device simulator, and the window waiting for a line a check holds.
#include "support/filehelpers.h"
#include "support/modemsim.h"
#include "support/quietreporter.h"
#include "support/scriptedbus.h"
#include "support/sendrig.h"
#include "support/server.h"
#include "support/table.h"
#include "support/virtualclock.h"
#include "support/virtualwaiter.h"

#include "gateway/calldriver.h"
#include "gateway/linecheck.h"
#include "gateway/queuelines.h"
#include "gateway/queuerunner.h"
#include "http/routes.h"
#include "modem/baresipconfig.h"
#include "modem/comport.h"
#include "modem/devicekind.h"
#include "modem/lockedport.h"
#include "modem/modemmanagerline.h"
#include "store/apperror.h"
#include "store/locks.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

Q_DECLARE_METATYPE(Outcome)

namespace
{

// The first kind the queue drives whose row checks as asked.
int kindChecking(IdleCheck check)
{
    const auto kinds = deviceKinds();
    for (size_t i = 0; i < kinds.size(); ++i)
        if (kinds[i].unattended && kinds[i].check == check && (kinds[i].usesPort || kinds[i].usesAccount))
            return int(i);
    return -1;
}

// Devices by port: those in `silent` fail their checks and their calls (the device's fault).
struct Devices {
    QSet<int> silent;
    QMap<int, int> checks, calls; // by port
};

class ScriptedDriver : public CallDriver
{
public:
    explicit ScriptedDriver(Devices &d) : m_devices(d) {}
    void start(const CallRequest &r) override { end(r, m_devices.calls); }
    void check(const CallRequest &r) override { end(r, m_devices.checks); }
    void abort() override {}

private:
    void end(const CallRequest &r, QMap<int, int> &count)
    {
        // A SIP line has no port: its account's user names it.
        const int port = r.settings.SipUser.isEmpty() ? r.settings.PortNumber : r.settings.SipUser.toInt();
        ++count[port];
        const bool fails = m_devices.silent.contains(port);
        QTimer::singleShot(0, this, [this, fails] {
            emit finished(fails ? Failure::DeviceFailed : Failure::None,
                          fails ? QStringLiteral("応答なし") : QString());
        });
    }
    Devices &m_devices;
};

// A SIP registrar on loopback UDP: a REGISTER is answered 200 OK, or 503 for the users
// failing.
struct Registrar {
    int fd = -1;
    quint16 port = 0;
    std::unique_ptr<QSocketNotifier> notifier;
    QSet<QByteArray> failing;

    ~Registrar()
    {
        notifier.reset();
        if (fd >= 0)
            ::close(fd);
    }
    bool start()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) != 0)
            return false;
        port = ntohs(a.sin_port);
        notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { answer(); });
        return true;
    }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    void answer()
    {
        char buffer[65536];
        sockaddr_in from = {};
        socklen_t size = sizeof from;
        ssize_t n;
        while ((n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &size)) > 0) {
            const QByteArray request(buffer, n);
            if (!request.startsWith("REGISTER "))
                continue;
            QByteArray headers, user;
            for (const QByteArray &line : request.split('\n')) {
                const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
                if (name == "from")
                    user = line.mid(line.indexOf("sip:") + 4).split('@').value(0);
                if (name == "via" || name == "from" || name == "call-id" || name == "cseq" || name == "contact")
                    headers += line.trimmed() + "\r\n";
                else if (name == "to")
                    headers += line.trimmed() + ";tag=r\r\n";
            }
            const QByteArray reply = "SIP/2.0 " +
                                     QByteArray(failing.contains(user) ? "503 Service Unavailable" : "200 OK") +
                                     "\r\n" + headers + "Expires: 600\r\nContent-Length: 0\r\n\r\n";
            ::sendto(fd, reply.constData(), size_t(reply.size()), 0, reinterpret_cast<sockaddr *>(&from), size);
            size = sizeof from;
        }
    }
};

// What plays the lines' devices: the scripted driver, the device simulator on COM1 and
// COM2 (a silent one never answers), or SIP accounts with a registrar.
enum class Device { Scripted, Simulator, Registrar };

// Two lines a (port or account 1) and b (2) of the given kind, checked as CheckEvery= says,
// a minute's cool-off, hooks of lines going and coming writing to hooks.log.
struct Rig {
    QTemporaryDir dir;
    QString folder = makeSendFolder(dir);
    VirtualClock clock;
    Device device = Device::Scripted;
    Devices devices;
    std::unique_ptr<ModemSim> sims[2];
    Registrar registrar;
    struct Events : QuietReporter {
        QStringList seen; // "event line"
        void note(const QString &e, const QString &, QJsonObject f) override { add(e, f); }
        void warn(const QString &e, const QString &, QJsonObject f) override { add(e, f); }
        void add(const QString &e, const QJsonObject &f)
        {
            if (e.startsWith(QLatin1String("line-")))
                seen << e + u' ' + f.value(QStringLiteral("line")).toString();
        }
    } reporter;
    std::unique_ptr<QueueRunner> runner;
    std::unique_ptr<QSignalSpy> checked, changed;

    ~Rig() { stop(); }
    // Stopped, its hooks with it.
    bool stop()
    {
        if (!runner)
            return false;
        QSignalSpy stopped(runner.get(), &QueueRunner::stopped);
        runner->stop();
        const bool done = stopped.wait(10000);
        runner.reset();
        return done;
    }

    // Both devices fall silent, or answer again.
    bool silence(bool on)
    {
        devices.silent = on ? QSet<int>{1, 2} : QSet<int>{};
        registrar.failing = on ? QSet<QByteArray>{"1", "2"} : QSet<QByteArray>{};
        for (int i = 0; device == Device::Simulator && i < 2; ++i) {
            sims[i] = std::make_unique<ModemSim>();
            if (!sims[i]->start(folder, i + 1, on ? QStringList{"--silent"} : QStringList{}))
                return false;
        }
        return true;
    }

    // bEvery: line b's own CheckEvery= (empty: none).
    bool start(int kind, const QString &checkEvery, Device on = Device::Scripted, const QString &bEvery = {})
    {
        device = on;
        if (folder.isEmpty() || !writeFileBytes(folder + "pw", "secret") ||
            !QFile::setPermissions(folder + "pw", QFile::ReadOwner | QFile::WriteOwner))
            return false;
        if (device == Device::Simulator
                ? !QFile::remove(folder + "ports/COM1") || !silence(false)
                : !writeFileBytes(folder + "line2", "") || !QFile::link(folder + "line2", folder + "ports/COM2"))
            return false;
        if (device == Device::Registrar && !registrar.start())
            return false;
        QString ini = QStringLiteral("[Queue]\nCoolOff=60\nCheckEvery=%1\nOnLineDown=echo down $FUMIDORI_LINE >> "
                                     "%2hooks.log\nOnLineUp=echo up $FUMIDORI_LINE >> %2hooks.log\n")
                          .arg(checkEvery, folder);
        for (int i = 1; i <= 2; ++i)
            ini += QStringLiteral("[Line %1]\nModemKind=%2\nPortNumber=%3\nSipServer=%4\nSipUser=%3\n"
                                  "SipPasswordFile=%5pw\n")
                       .arg(QChar(u'a' + i - 1))
                       .arg(kind)
                       .arg(i)
                       .arg(device == Device::Registrar ? registrar.server() : QStringLiteral("127.0.0.1"), folder);
        if (!bEvery.isEmpty())
            ini += QStringLiteral("CheckEvery=%1\n").arg(bEvery);
        if (!QDir().mkpath(sendqueue::queueFolder(folder)) ||
            !writeFileBytes(sendqueue::queueFolder(folder) + "queue.ini", ini.toUtf8()))
            return false;
        QueueSettings settings = QueueSettings::load(folder);
        settings.delays = {0};
        settings.maxPerPerson = 0;
        runner = std::make_unique<QueueRunner>(
            folder, settings, reporter,
            [this]() -> std::unique_ptr<CallDriver> {
                if (device == Device::Scripted)
                    return std::make_unique<ScriptedDriver>(devices);
                return makeCallDriver();
            },
            clock);
        checked = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::checked);
        changed = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::lineChanged);
        const std::optional<Outcome> refused = runner->start();
        if (refused)
            qWarning() << refused->message;
        return !refused;
    }
    // A minute on, and the checks it brings ended (n in all so far).
    bool minute(int n, int minutes = 1)
    {
        clock.advance(minutes * 60'000);
        while (checked->count() < n && checked->wait(20000))
            continue;
        return checked->count() == n;
    }
    QString state(int line) const
    {
        return linestatus::read(folder)->value("lines").toArray().at(line).toObject().value("state").toString();
    }
};

} // namespace

// the kind's check, what plays the devices
using Kinds = table::Of<IdleCheck, Device>;
// the kind's check, the simulator's options, killed before the check, what a failure says
// (empty: it passes)
using AtChecks = table::Of<IdleCheck, QStringList, bool, QString>;
// the module's state, it registers once enabled, the methods asked, what a failure says
using BusChecks = table::Of<int, bool, QString, QString>;
// CheckEvery=, the kind's check
using Trials = table::Of<QString, IdleCheck>;
// the holder marks its hold as a check, the window's port opens
using Holds = table::Of<bool, bool>;

class TestLineCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<Outcome>(); }

    void deviceStopsAnswering_data()
    {
        const Kinds row;
        row("modem (AT), scripted", IdleCheck::At, Device::Scripted);
        row("SIP account, scripted", IdleCheck::Register, Device::Scripted);
        row("modem (AT) over the simulator", IdleCheck::At, Device::Simulator);
        row("SIP account with a registrar", IdleCheck::Register, Device::Registrar);
    }
    // Both devices fall silent between calls, a checked every minute, b every two: a is out
    // after its third failed check; b, the last line in service then, never is. a rests
    // without checks, is checked when each rest ends (in place of a trial call) and is back
    // in service once that check passes.
    void deviceStopsAnswering()
    {
        const auto [check, device] = Kinds::row();
        if (device == Device::Registrar && baresip::modulePath().isEmpty())
            QSKIP("baresip (baresip-core) is not installed");
        Rig rig;
        QVERIFY(rig.start(kindChecking(check), "1m", device, "2m"));
        const bool scripted = device == Device::Scripted; // its checks and calls counted
        QVERIFY(rig.minute(1) && rig.minute(3));
        QCOMPARE(rig.checked->at(0).at(1).value<Outcome>().failure, Failure::None);
        QVERIFY(!scripted || rig.devices.checks == (QMap<int, int>{{1, 2}, {2, 1}}));
        QVERIFY(rig.silence(true));
        QVERIFY(rig.minute(4) && rig.minute(6));
        QVERIFY(rig.changed->isEmpty());
        QVERIFY(rig.minute(7)); // a's third failure in a row
        QCOMPARE(*rig.changed, (QList<QList<QVariant>>{{"a", false}}));
        QCOMPARE(rig.state(0), QStringLiteral("down"));
        QCOMPARE(rig.reporter.seen.filter("line-down"), QStringList{"line-down a"});
        QVERIFY(rig.minute(9)); // a's rest ends: checked, still silent, out again for twice as long
        QCOMPARE(rig.changed->size(), 2);
        QVERIFY(rig.minute(11, 2)); // a's second rest ends as b fails for the third time
        QCOMPARE(*rig.changed, (QList<QList<QVariant>>(3, {"a", false})));
        QCOMPARE(rig.state(1), QStringLiteral("free"));
        QVERIFY(rig.silence(false));
        QVERIFY(rig.minute(12, 2));
        QCOMPARE(rig.state(0), QStringLiteral("down"));
        QVERIFY(rig.minute(14, 2)); // b, and a's check after its third rest passes
        QCOMPARE(rig.changed->last(), (QList<QVariant>{"a", true}));
        QCOMPARE(rig.reporter.seen.filter("line-up"), QStringList{"line-up a"});
        QCOMPARE(rig.state(0), QStringLiteral("free"));
        QVERIFY(rig.devices.calls.isEmpty()); // no trial call
        QVERIFY(rig.minute(15));              // checked every minute again
        QCOMPARE(rig.checked->last().at(1).value<Outcome>().failure, Failure::None);
        // The hooks of a line going, as for calls (the stop waits for those that ran long
        // enough; the one of its coming back may be stopped on the way).
        QVERIFY(rig.stop());
        QVERIFY(readFileBytes(rig.folder + "hooks.log").startsWith("down a\ndown a\ndown a\n"));
    }

    void noCheckKeepsTrialCall_data()
    {
        const Trials row;
        row("CheckEvery=0", "0", IdleCheck::At);
        row("a kind without a check", "1m", IdleCheck::None);
    }
    // Without checks a line is never checked, and after its rest a message is its trial
    // call, as ever.
    void noCheckKeepsTrialCall()
    {
        const auto [every, check] = Trials::row();
        Rig rig;
        QVERIFY(rig.start(kindChecking(check), every));
        rig.devices.silent = {1};
        QueuedMessage m;
        m.to = QStringLiteral("R0");
        m.text = QStringLiteral("X");
        QSignalSpy settled(rig.runner.get(), &QueueRunner::settled);
        for (int i = 1; i <= 3; ++i) { // each fails on a, then goes on b
            QVERIFY(sendqueue::add(rig.folder, m).ok());
            QVERIFY(settled.count() >= i || settled.wait(5000));
        }
        QCOMPARE(rig.state(0), QStringLiteral("down"));
        rig.devices.silent.clear();
        rig.clock.advance(60'000);
        QCOMPARE(rig.state(0), QStringLiteral("trial"));
        QVERIFY(sendqueue::add(rig.folder, m).ok());
        QVERIFY(rig.changed->wait(5000) || rig.changed->count() == 2);
        QCOMPARE(rig.changed->last(), (QList<QVariant>{"a", true}));
        rig.clock.advance(3'600'000);
        QCOMPARE(rig.devices.checks, (QMap<int, int>{}));
        QVERIFY(rig.checked->isEmpty());
    }

    void atCheckOverSimulator_data()
    {
        const AtChecks row;
        const QStringList module{"--kind", "module"};
        row("modem answers OK", IdleCheck::At, {}, false, "");
        row("modem gone", IdleCheck::At, {}, true, "ポート");
        row("module registered", IdleCheck::AtRegistered, module, false, "");
        row("module searching", IdleCheck::AtRegistered, module + QStringList{"--unregistered"}, false,
            "登録されていません");
        row("no registration in the answer", IdleCheck::AtRegistered, {}, false, "AT+CREG?");
    }
    // The AT checks over the device simulator; a failure is the device's, and says why.
    void atCheckOverSimulator()
    {
        const auto [check, options, killed, said] = AtChecks::row();
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        ModemSim sim;
        if (!sim.start(folder, 1, options))
            QSKIP("the device simulator cannot start here");
        if (killed) {
            sim.process.kill();
            sim.process.waitForFinished(5000);
        }
        Settings s = Settings::defaults();
        s.ModemKind = qint16(kindChecking(check));
        s.PortNumber = 1;
        std::unique_ptr<CallDriver> driver = makeCallDriver();
        QEventLoop loop;
        std::optional<std::pair<Failure, QString>> ended;
        connect(driver.get(), &CallDriver::finished, &loop, [&](Failure f, const QString &message) {
            ended = {f, message};
            loop.quit();
        });
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        driver->check({folder, s, {}, {}, {}, {}, {}, 60000, false});
        loop.exec();
        QVERIFY(ended);
        QVERIFY2(ended->second.contains(said), qPrintable(ended->second));
        QCOMPARE(ended->first == Failure::None, said.isEmpty());
        if (!said.isEmpty())
            QCOMPARE(failures::row(ended->first).fault, Fault::Device);
    }

    void modemStateCheck_data()
    {
        const BusChecks row;
        const QString found = QStringLiteral("GetNameOwner GetManagedObjects");
        row("registered already", 8, true, found, "");
        row("enabled, then registered", 3, true, found + " Enable Get", "");
        row("never registers", 3, false, found + " Enable Get", "登録されていません");
        row("SIM locked", 2, true, found, "ロック");
    }
    // A ModemManager line's check asks for its modem's state over the bus, and makes no call.
    void modemStateCheck()
    {
        const auto [state, registers, asked, said] = BusChecks::row();
        QTemporaryDir dir;
        ScriptedBus bus;
        bus.state = state;
        bus.registers = registers;
        Settings settings = Settings::defaults();
        VirtualWaiter waiter;
        ModemManagerLine line(settings, dir.path() + u'/', waiter);
        line.setBus(&bus);
        line.setAnswerLimit(10000);
        QString error = QStringLiteral("(running)");
        bool deviceFault = false;
        [](Line &l, QString &e, bool &device) -> QCoro::Task<> {
            try {
                co_await l.check();
                e.clear();
            } catch (const AppError &a) {
                e = a.description();
                device = a.deviceFault();
            }
        }(line, error, deviceFault);
        waiter.run();
        QCOMPARE(bus.asked.join(u' '), asked);
        QVERIFY2(said.isEmpty() ? error.isEmpty() : error.contains(said), qPrintable(error));
        QCOMPARE(deviceFault, !said.isEmpty());
    }

    // /metrics counts the checks of the lines checked, and says nothing of the others.
    void checkMetrics()
    {
        IntakeMetrics m;
        m.lines = {{QStringLiteral("a"), true, {}, true, 7, 2, 1'800'000'000'500},
                   {QStringLiteral("b"), true, {}, false, 0, 0, 0}};
        const QByteArray text = Routes::metricsText(m);
        for (const QByteArray &line : {QByteArray(R"(fumidori_line_checks_total{line="a",outcome="ok"} 7)"),
                                       QByteArray(R"(fumidori_line_checks_total{line="a",outcome="failed"} 2)"),
                                       QByteArray(R"(fumidori_line_last_check_seconds{line="a"} 1800000000.500)")})
            QVERIFY2(text.contains(line + '\n'), text.constData());
        QVERIFY(!text.contains(R"(check_seconds{line="b"})") && !text.contains(R"(checks_total{line="b")"));
    }

    void windowWaitsForCheck_data()
    {
        const Holds row;
        row("held for a check: waited for", true, true);
        row("held by a call: 8005 at once", false, false);
    }
    // Another process holds the line; it lets go once its input closes. The window's port
    // waits for a check's hold, and refuses any other at once.
    void windowWaitsForCheck()
    {
        const auto [mark, opens] = Holds::row();
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        ModemSim sim;
        if (!sim.start(folder, 1))
            QSKIP("the device simulator cannot start here");
        const QString path = LockedPort::lockPath(folder, 1);
        ServerProcess holder;
        const QString script = QStringLiteral("import fcntl,sys\n"
                                              "a=open(sys.argv[1],'a'); fcntl.flock(a, fcntl.LOCK_EX)\n"
                                              "if sys.argv[2]=='1': b=open(sys.argv[1]+'.check','a'); "
                                              "fcntl.flock(b, fcntl.LOCK_EX)\n"
                                              "print('held', flush=True); sys.stdin.read()\n");
        QVERIFY(holder.start("python3", {"-c", script, path, mark ? "1" : "0"}, "held\n", 10000));
        QCOMPARE(PortLock::heldForCheck(path), mark);
        if (mark)
            holder.process.closeWriteChannel();
        ComPort com(folder);
        LockedPort port(com, folder);
        port.setPortNumber(1);
        bool opened = false;
        try {
            port.setPortOpen(true);
            opened = port.isOpen();
        } catch (const AppError &error) {
            QCOMPARE(error.failure(), Failure::PortInUse);
        }
        QCOMPARE(opened, opens);
    }
};

QTEST_GUILESS_MAIN(TestLineCheck)
#include "tst_linecheck.moc"
