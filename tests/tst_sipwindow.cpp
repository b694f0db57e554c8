// The window's Internet telephone line when its account or the keyring fails: a box, the
// window ready again, and the next send going through. The keyring is the program's own
// plugin on a private session bus; the registrar turning the account down answers every
// request on loopback with 401 or 407. Unlike the other SIP tests this one runs in the
// sanitizer pass as well: the keyring's answer outlives the call that asked for it.
#include "modem/sendengine.h"
#include "store/passwordstore.h"
#include "support/fakeplatform.h"
#include "support/fakeport.h"
#include "support/filehelpers.h"
#include "support/server.h"
#include "support/siprig.h"
#include "support/table.h"
#include "ui/frmmain.h"
#include "ui/mailedit.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QPushButton>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace siprig;

namespace
{

// Turns every request down with status (401 or 407) and its digest challenge, over UDP
// on loopback.
struct Refuser {
    int fd = -1;
    quint16 port = 0;
    int status = 0;
    std::unique_ptr<QSocketNotifier> notifier;

    bool start()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
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
    ~Refuser()
    {
        notifier.reset();
        if (fd >= 0)
            ::close(fd);
    }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(port); }

    void answer()
    {
        char buffer[8192];
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &size);
        if (n <= 0)
            return;
        const QList<QByteArray> lines = QByteArray(buffer, n).split('\n');
        if (lines[0].startsWith("ACK ") || lines[0].startsWith("SIP/"))
            return;
        QByteArray reply =
            status == 401 ? "SIP/2.0 401 Unauthorized\r\n" : "SIP/2.0 407 Proxy Authentication Required\r\n";
        for (QByteArray line : lines) {
            line = line.trimmed();
            if (line.isEmpty())
                break;
            const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
            if (name == "via" || name == "v" || name == "from" || name == "f" || name == "call-id" || name == "i" ||
                name == "cseq")
                reply += line + "\r\n";
            else if (name == "to" || name == "t")
                reply += line + (line.contains(";tag=") ? "" : ";tag=refuser") + "\r\n";
        }
        reply += status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate";
        reply += ": Digest realm=\"fumidori.test\", nonce=\"5f3c1e\", algorithm=MD5\r\nContent-Length: 0\r\n\r\n";
        (void)::sendto(fd, reply.constData(), size_t(reply.size()), 0, reinterpret_cast<sockaddr *>(&from), size);
    }
};

} // namespace

// keyring up; registrar: 0 the centre itself, else the status it turns the account down
// with; the box holds
using FailureLeavesTheWindowReady = table::Of<bool, int, QString>;

class TestSipWindow : public QObject
{
    Q_OBJECT
    Centre m_centre;
    ServerProcess m_bus, m_keyring;
    QByteArray m_address;
    QTemporaryDir m_home;

    bool keyringUp()
    {
        if (m_keyring.process.state() == QProcess::Running)
            return true;
        if (!m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
                             {"--foreground", "--unlock", "--components=secrets"}, {}))
            return false;
        // Up once it has the keyring's name on the bus, which comes after it says it runs.
        const QString name = QStringLiteral("org.freedesktop.secrets");
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(m_address), QStringLiteral("watch"));
        QDBusServiceWatcher watcher(name, bus, QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        m_keyring.process.write("keyring-test-password");
        m_keyring.process.closeWriteChannel();
        return bus.interface()->isServiceRegistered(name) || registered.wait(CallMs);
    }

private slots:
    void initTestCase()
    {
        // Skipped only where the real parts cannot start: the SIP engine, a session bus
        // and a keyring daemon are installed by scripts/setup.
        for (const char *program : {"baresip", "dbus-daemon", "gnome-keyring-daemon"})
            if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(program))));
        QVERIFY2(m_centre.start(), "the SIP centre (fumidori-modemsim --sip) did not start");
        // GLib's session bus connection raises SIGTERM in this process when the bus goes
        // away: the private bus ends with this test, the process goes on.
        std::signal(SIGTERM, SIG_IGN);
        // A session bus that starts no service on demand: no keyring until the test starts
        // one.
        const QString config = m_home.filePath(QStringLiteral("bus.conf"));
        QVERIFY(
            writeFileBytes(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                   "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                   "<busconfig><type>session</type><listen>unix:tmpdir=" +
                                       QFile::encodeName(m_home.path()) +
                                       "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                       "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                       "<allow own=\"*\"/></policy></busconfig>\n"));
        QVERIFY2(m_bus.start(QStringLiteral("dbus-daemon"), {"--config-file", config, "--nofork", "--print-address=1"},
                             "\n"),
                 m_bus.log.constData());
        m_address = m_bus.firstLine();
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_address);
        qputenv("XDG_DATA_HOME", m_home.filePath(QStringLiteral("data")).toUtf8());
        // The keyring's control folder too, so that nothing is left in the home folder.
        const QString runtime = m_home.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(runtime) &&
                QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    }

    // In the order given: the keyring comes up after the first row and stays, empty.
    void failureLeavesTheWindowReady_data()
    {
        const FailureLeavesTheWindowReady row;
        row("keyring unreachable", false, 0, "キーリングからパスワードを読めません");
        row("account refused, 401", true, 401, "401 Unauthorized");
        row("account refused, 407", true, 407, "407 Proxy Authentication Required");
    }
    void failureLeavesTheWindowReady()
    {
        const auto [keyring, status, said] = FailureLeavesTheWindowReady::row();
        if (keyring)
            QVERIFY2(keyringUp(), m_keyring.log.constData());
        Refuser registrar;
        registrar.status = status;
        QVERIFY(registrar.start());
        QTemporaryDir dir;
        FakePlatform fake;
        KeyringPasswords passwords; // the plugin, as the program loads it
        fake.platform.passwords = &passwords;
        FakePort port;
        AppData data;
        QVERIFY(saveSipFolder(data, dir.path(), status ? registrar.server() : m_centre.server()));
        data.settings.AutoTransmit = 1;
        data.settings.MailInterval = 0;
        data.history.resize(5);
        frmMain w(data, fake.platform, port);
        w.prepareWindow();
        w.txtMail->setPlainText(QStringLiteral("ABC"));
        auto press = [&] {
            QSignalSpy settled(&w.engine(), &SendEngine::settled);
            try {
                w.cmdButton->click();
                QVERIFY(settled.wait(CallMs * 2));
            } catch (const ProcessEnded &) {
                QFAIL("the window ended the program");
            }
            QVERIFY(w.cmdButton->isEnabled());
            QVERIFY(w.txtMail->isEnabled());
        };
        press();
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(fake.boxes.texts().size(), 1);
        QVERIFY2(fake.boxes.texts().constFirst().contains(said), qPrintable(fake.boxes.texts().constFirst()));
        QCOMPARE(w.statusText(1), QStringLiteral("センターにつながりません"));
        QCOMPARE(w.engine().stage(), SendStage::Call);
        QVERIFY(data.history.row(0).message.isEmpty());

        // The next send, to the centre with the keyring there, goes through.
        QVERIFY2(keyringUp(), m_keyring.log.constData());
        data.settings.SipServer = m_centre.server();
        press();
        QCOMPARE(fake.boxes.texts().size(), 1);
        QCOMPARE(w.engine().stage(), SendStage::Done);
        QCOMPARE(data.history.row(0).message, QStringLiteral("ABC"));
        const QByteArray call = m_centre.waitCall();
        QVERIFY2(wholeCall(call), call.constData());
    }
};

QTEST_MAIN(TestSipWindow)
#include "tst_sipwindow.moc"
