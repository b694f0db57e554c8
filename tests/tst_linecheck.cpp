// The self-checks of idle lines (test pages among them): a runner on virtual time whose devices (scripted, the
// device simulator, SIP accounts with a registrar) stop answering and answer again
// (counted checks, the line's service, its changes and hooks), no check where none is
// asked for, the ModemManager line's check over ModemManager's test mode, the check
// metrics, and the window waiting for a line a check holds.
#include "support/filehelpers.h"
#include "support/modemmanagerrig.h"
#include "support/modemsim.h"
#include "support/quietreporter.h"
#include "support/scriptedrunner.h"
#include "support/sendrig.h"
#include "support/server.h"
#include "support/table.h"
#include "support/virtualclock.h"

#include "gateway/calldriver.h"
#include "gateway/linecheck.h"
#include "gateway/queuelines.h"
#include "gateway/queuerunner.h"
#include "http/routes.h"
#include "modem/baresipconfig.h"
#include "modem/comport.h"
#include "modem/devicekind.h"
#include "modem/lockedport.h"
#include "store/apperror.h"
#include "store/locks.h"

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
        if (kinds[i].unattended && kinds[i].check == check)
            return int(i);
    return -1;
}

// A SIP registrar on loopback UDP: a REGISTER is answered 200 OK, or 503 while failing.
struct Registrar {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::unique_ptr<QSocketNotifier> notifier;
    bool failing = false;

    ~Registrar() { notifier.reset(), ::close(fd); }
    bool start()
    {
        socklen_t size = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return false;
        notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { answer(); });
        return true;
    }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(ntohs(address.sin_port)); }
    void answer()
    {
        char buffer[65536];
        sockaddr_in from = {};
        socklen_t size = sizeof from;
        for (ssize_t n; (n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &size)) > 0;
             size = sizeof from) {
            QByteArray reply = failing ? "SIP/2.0 503 Service Unavailable\r\n" : "SIP/2.0 200 OK\r\n";
            for (const QByteArray &line : QByteArray(buffer, n).split('\n')) {
                const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
                if (name == "via" || name == "from" || name == "call-id" || name == "cseq" || name == "contact" ||
                    name == "to")
                    reply += line.trimmed() + (name == "to" ? ";tag=r\r\n" : "\r\n");
            }
            reply += "Expires: 600\r\nContent-Length: 0\r\n\r\n";
            if (QByteArray(buffer, n).startsWith("REGISTER "))
                ::sendto(fd, reply.constData(), size_t(reply.size()), 0, reinterpret_cast<sockaddr *>(&from), size);
        }
    }
};

// What plays the lines' devices: the scripted driver, the device simulator on COM1 and
// COM2 (with the row's options; falling silent, with the row's options for that), or SIP
// accounts with a registrar.
enum class Device { Scripted, Simulator, Registrar };

// Two lines a (port or account 1) and b (2) of the given kind, checked as CheckEvery= says,
// a minute's cool-off, hooks of lines going and coming writing to hooks.log.
struct Rig : RunnerRig<QuietReporter> {
    QTemporaryDir dir;
    VirtualClock clock;
    QString lineA; // more keys of line a
    Device device = Device::Scripted;
    std::unique_ptr<ModemSim> sims[2];
    QStringList simOptions, silentOptions;
    Registrar registrar;

    Rig()
    {
        folder = makeSendFolder(dir, 3, 40);
        runnerClock = &clock;
    }
    ~Rig() { stop(); }
    // Stopped, its hooks with it, and gone.
    bool stop()
    {
        const bool done = RunnerRig::stop();
        runner.reset();
        return done;
    }

    // Both devices fall silent, or answer again.
    bool silence(bool on)
    {
        script.fault = [on](int, const QString &) { return on ? 2 : 0; };
        registrar.failing = on;
        for (int i = 0; device == Device::Simulator && i < 2; ++i) {
            sims[i] = std::make_unique<ModemSim>();
            if (!sims[i]->start(folder, i + 1, simOptions + (on ? silentOptions : QStringList())))
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
                       .arg(device == Device::Registrar ? registrar.server() : QStringLiteral("127.0.0.1"), folder) +
                   (i == 1 ? lineA : QString());
        if (!bEvery.isEmpty())
            ini += QStringLiteral("CheckEvery=%1\n").arg(bEvery);
        if (!QDir().mkpath(sendqueue::queueFolder(folder)) ||
            !writeFileBytes(sendqueue::queueFolder(folder) + "queue.ini", ini.toUtf8()))
            return false;
        loadSettings();
        if (device != Device::Scripted)
            makeDriver = [] { return makeCallDriver(); };
        if (!RunnerRig::start())
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
};

} // namespace

// the kind's check, what plays the devices, the simulator's options, and to fall silent
using Kinds = table::Of<IdleCheck, Device, QStringList, QStringList>;
// CheckEvery=, the kind's check
using Trials = table::Of<QString, IdleCheck>;
// TestAt= this many minutes from the start (local time), a weekday's or every day's; CheckEvery=
using Pages = table::Of<int, bool, QString>;
// queue.ini's keys, whether they are taken
using TestKeys = table::Of<QString, bool>;

// TestAt= for the local time at ms, a weekday's or every day's.
QString testAt(qint64 ms, bool weekly)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
    const QString day = QStringList{"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"}.at(t.date().dayOfWeek() - 1);
    return (weekly ? day + u' ' : QString()) + t.toString(QStringLiteral("H:mm"));
}

class TestLineCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<Outcome>(); }

    void deviceStopsAnswering_data()
    {
        const Kinds row;
        row("modem (AT), scripted", IdleCheck::At, Device::Scripted, {}, {});
        row("SIP account, scripted", IdleCheck::Register, Device::Scripted, {}, {});
        row("modem over the simulator: AT unanswered", IdleCheck::At, Device::Simulator, {}, {"--silent"});
        row("module over the simulator: not registered (AT+CREG?)", IdleCheck::AtRegistered, Device::Simulator,
            {"--kind", "module"}, {"--unregistered"});
        row("SIP account with a registrar: registration refused", IdleCheck::Register, Device::Registrar, {}, {});
    }
    // Both devices fall silent between calls, a checked every minute, b every two: a is out
    // after its third failed check; b, the last line in service then, never is. a rests
    // without checks, is checked when each rest ends (in place of a trial call) and is back
    // in service once that check passes.
    void deviceStopsAnswering()
    {
        const auto [check, device, options, silent] = Kinds::row();
        if (device == Device::Registrar && baresip::modulePath().isEmpty())
            QSKIP("baresip (baresip-core) is not installed");
        Rig rig;
        rig.simOptions = options;
        rig.silentOptions = silent;
        QVERIFY(rig.start(kindChecking(check), "1m", device, "2m"));
        const bool scripted = device == Device::Scripted; // its checks and calls counted
        rig.clock.advance(60'000);
        QCOMPARE(rig.lineField(0), QStringLiteral("checking")); // in lines.json while it runs
        QVERIFY(rig.minute(1, 0) && rig.minute(3));
        QCOMPARE(rig.checked->at(0).at(1).value<Outcome>().failure, Failure::None);
        QVERIFY(!scripted || rig.script.checks == (QMap<int, int>{{1, 2}, {2, 1}}));
        QVERIFY(rig.silence(true));
        QVERIFY(rig.minute(4) && rig.minute(6));
        QVERIFY(rig.changed->isEmpty());
        QVERIFY(rig.minute(7)); // a's third failure in a row
        QCOMPARE(*rig.changed, (QList<QList<QVariant>>{{"a", false}}));
        QCOMPARE(rig.lineField(0), QStringLiteral("down"));
        QVERIFY(rig.minute(9)); // a's rest ends: checked, still silent, out again for twice as long
        QCOMPARE(rig.changed->size(), 2);
        QVERIFY(rig.minute(11, 2)); // a's second rest ends as b fails for the third time
        QCOMPARE(*rig.changed, (QList<QList<QVariant>>(3, {"a", false})));
        QCOMPARE(rig.lineField(1), QStringLiteral("free"));
        QVERIFY(rig.silence(false));
        QVERIFY(rig.minute(12, 2));
        QCOMPARE(rig.lineField(0), QStringLiteral("down"));
        QVERIFY(rig.minute(14, 2)); // b, and a's check after its third rest passes
        QCOMPARE(rig.changed->last(), (QList<QVariant>{"a", true}));
        QCOMPARE(rig.lineField(0), QStringLiteral("free"));
        QVERIFY(rig.script.calls == 0); // no trial call
        QVERIFY(rig.minute(15));        // checked every minute again
        QCOMPARE(rig.checked->last().at(1).value<Outcome>().failure, Failure::None);
        // The hooks of a line going, as for calls (the stop waits for those that ran long
        // enough; the one of its coming back may be stopped on the way).
        QVERIFY(rig.stop());
        QVERIFY(readFileBytes(rig.folder + "hooks.log").startsWith("down a\ndown a\ndown a\n"));
    }

    void neverChecked_data()
    {
        const Trials row;
        row("CheckEvery=0", "0", IdleCheck::At);
        row("a kind without a check", "1m", IdleCheck::None);
    }
    // No check in an hour (the trial call after a rest stays as ever: afterCoolOff's rows).
    void neverChecked()
    {
        const auto [every, check] = Trials::row();
        Rig rig;
        QVERIFY(rig.start(kindChecking(check), every));
        rig.clock.advance(3'600'000);
        QVERIFY(rig.checked->isEmpty() && rig.script.checks.isEmpty());
        QCOMPARE(rig.lineField(0), QStringLiteral("free"));
    }

    void testPage_data()
    {
        const Pages row;
        row("a weekday's, checks off", 5, true, "0");
        row("every day's, checks on", 5, false, "1h");
        row("past at the start: the next day's, no catch-up", -1, false, "0");
    }
    // Line a's test page goes at its time on a, a check of a, not a minute before.
    void testPage()
    {
        const auto [offset, weekly, every] = Pages::row();
        Rig rig;
        rig.lineA = "TestPage=R0\nTestAt=" + testAt(rig.clock.now() + offset * 60'000, weekly) + u'\n';
        QVERIFY(rig.start(kindChecking(IdleCheck::At), every));
        rig.clock.advance(((offset + 24 * 60) % (24 * 60) - 1) * 60'000);
        QVERIFY(rig.script.calls == 0);
        QVERIFY(rig.minute(int(rig.checked->count()) + 1));
        QCOMPARE(rig.script.ports, QList<int>{1});
        QCOMPARE(rig.checked->last().at(0).toString(), QStringLiteral("a"));
        QCOMPARE(rig.checked->last().at(1).value<Outcome>().failure, Failure::None);
    }
    // A daily test page failing three days running takes a out, as failed calls would.
    void testPageFails()
    {
        Rig rig;
        rig.lineA = "TestPage=R0\nTestAt=" + testAt(rig.clock.now() + 5 * 60'000, false) + u'\n';
        QVERIFY(rig.start(kindChecking(IdleCheck::At), "0") && rig.silence(true));
        for (int day = 1; day <= 3; ++day)
            QVERIFY(rig.minute(day, 24 * 60));
        QCOMPARE(rig.checked->last().at(1).value<Outcome>().failure, Failure::DeviceFailed);
        QCOMPARE(*rig.changed, (QList<QList<QVariant>>{{"a", false}}));
    }

    void badTestPage_data()
    {
        const TestKeys row;
        row("a weekday's", "TestPage=R0\nTestAt=sun 9:30", true);
        row("every day's", "TestPage=R0\nTestAt=09:00", true);
        row("TestAt alone", "TestAt=09:00", false);
        row("TestPage alone", "TestPage=R0", false);
        row("unknown weekday", "TestPage=R0\nTestAt=Xyz 09:00", false);
        row("bad time", "TestPage=R0\nTestAt=Mon 25:00", false);
        row("more than a day and a time", "TestPage=R0\nTestAt=Mon 09:00 10:00", false);
    }
    // Refused at the start under a line (the runner does not start) and told under [Queue].
    void badTestPage()
    {
        const auto [keys, ok] = TestKeys::row();
        QTemporaryDir dir;
        const QString folder = makeSendFolder(dir);
        for (const char *section : {"[Queue]", "[Line a]"}) {
            QVERIFY(QDir().mkpath(sendqueue::queueFolder(folder)) &&
                    writeFileBytes(sendqueue::queueFolder(folder) + "queue.ini", (section + (u'\n' + keys)).toUtf8()));
            QStringList problems;
            const QueueSettings s = QueueSettings::load(folder, &problems);
            QCOMPARE((problems + s.lineProblems).isEmpty(), ok);
            QCOMPARE(bool(s.lines.isEmpty() ? s.testPage : s.lines[0].testPage), ok);
        }
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

    // A ModemManager line's check, over ModemManager in its test mode: its module found and
    // registered passes; a module it does not have fails, the device's fault.
    void modemStateCheck()
    {
        if (!ModemManagerRig::available())
            QSKIP("ModemManager or python3-dbusmock is not installed");
        ModemManagerRig mm;
        if (const QString problem = mm.start({{"m", {}}}); !problem.isEmpty())
            QSKIP(qPrintable(problem));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", mm.m_address.toUtf8());
        Settings s = Settings::defaults();
        s.ModemKind = qint16(kindChecking(IdleCheck::ModemState));
        for (const QString &imei : {mm.m_modules["m"].imei, QStringLiteral("490000000000099")}) {
            s.VoiceModem = imei;
            std::unique_ptr<CallDriver> driver = makeCallDriver();
            QSignalSpy ended(driver.get(), &CallDriver::finished);
            driver->check({mm.m_dir.path() + u'/', s, {}, {}, {}, {}, {}, 30000, false});
            QVERIFY(ended.wait(60000));
            const auto failure = ended[0][0].value<Failure>();
            QCOMPARE(failure == Failure::None, imei == mm.m_modules["m"].imei);
            QVERIFY2(failure == Failure::None || failures::row(failure).fault == Fault::Device,
                     qPrintable(ended[0][1].toString()));
        }
    }

    // Another process holds the line for a check, and lets go once its input closes: the
    // window's port waits for it (a hold of another kind is refused at once: tst_sender).
    void windowWaitsForCheck()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        ModemSim sim;
        if (!sim.start(folder, 1))
            QSKIP("the device simulator cannot start here");
        const QString path = LockedPort::lockPath(folder, 1);
        ServerProcess holder;
        const QString script = QStringLiteral("import fcntl,sys\n"
                                              "a=open(sys.argv[1],'a'); fcntl.flock(a, fcntl.LOCK_EX)\n"
                                              "b=open(sys.argv[1]+'.check','a'); fcntl.flock(b, fcntl.LOCK_EX)\n"
                                              "print('held', flush=True); sys.stdin.read()\n");
        QVERIFY(holder.start("python3", {"-c", script, path}, "held\n", 10000));
        QVERIFY(PortLock::heldForCheck(path) && !PortLock::heldForCheck(folder + "elsewhere"));
        holder.process.closeWriteChannel();
        ComPort com(folder);
        LockedPort port(com, folder);
        port.setPortNumber(1);
        port.setPortOpen(true); // 8005 would throw
        QVERIFY(port.isOpen());
    }
};

QTEST_GUILESS_MAIN(TestLineCheck)
#include "tst_linecheck.moc"
