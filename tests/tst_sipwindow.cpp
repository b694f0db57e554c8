// The window's Internet telephone line (device kind 10) and its password in the keyring:
// whatever fails (the keyring, the account, the call, the centre mid-message) a box or the
// status panel says so, the window is ready again and the next send goes through; the
// window closed mid-call says goodbye first; the password reaches no file. The keyring is
// the program's own plugin on a private session bus; the registrar turning the account
// down answers every request on loopback with 401 or 407. Unlike the other SIP tests this
// one runs in the sanitizer pass as well: the keyring's answer outlives the call that
// asked for it.
#include "modem/baresipcall.h"
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

#include <QComboBox>

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

// The main window on a folder calling server over SIP, sending "ABC" automatically to R
// on centre C (the centre's number) or X (an unknown number), its password from the
// keyring.
struct Window {
    QTemporaryDir dir;
    FakePlatform fake;
    KeyringPasswords passwords; // the plugin, as the program loads it
    FakePort port;
    AppData data;
    std::unique_ptr<frmMain> w;

    Window(const QString &server, int autoTransmit = 1)
    {
        fake.platform.passwords = &passwords;
        QVERIFY(saveSipFolder(data, dir.path(), server));
        data.settings.AutoTransmit = qint16(autoTransmit);
        data.settings.MailInterval = 0;
        data.centers << MessageCenter{QStringLiteral("X"), 0, QStringLiteral("0999"), 160, 1, 1, 1};
        data.history.resize(5);
        w = std::make_unique<frmMain>(data, fake.platform, port);
        w->prepareWindow();
        w->show();
        w->txtMail->setPlainText(QStringLiteral("ABC"));
    }
    // Presses the send button for the centre given and waits until the press is over;
    // the window must neither end the program nor stay busy.
    void press(int centerIndex = 0)
    {
        w->cmbCenter->setCurrentIndex(centerIndex);
        QSignalSpy settled(&w->engine(), &SendEngine::settled);
        try {
            w->cmdButton->click();
            QVERIFY(settled.wait(CallMs * 2));
        } catch (const ProcessEnded &) {
            QFAIL("the window ended the program");
        }
        QVERIFY(w->cmdButton->isEnabled());
        QVERIFY(w->txtMail->isEnabled());
    }
};

} // namespace

// keyring up; where the call goes: "401"/"407" a registrar turning the account down so,
// "hangs up" a centre hanging up mid-message, "X" the centre with an unknown number,
// "C" the centre; what the box holds (empty: no box); the status panel's text
using FailureLeavesTheWindowReady = table::Of<bool, QString, QString, QString>;

class TestSipWindow : public QObject
{
    Q_OBJECT
    Centre m_centre, m_hangingCentre; // the second hangs up after sixteen digits
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
        QVERIFY2(m_centre.start() && m_hangingCentre.start({"--hang-up-after", "16"}),
                 "the SIP centre (fumidori-modemsim --sip) did not start");
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

    // In the order given: the keyring comes up after the first row and stays, empty until
    // the last test.
    void failureLeavesTheWindowReady_data()
    {
        const FailureLeavesTheWindowReady row;
        const QString noLine = QStringLiteral("センターにつながりません");
        row("keyring unreachable", false, "C", "キーリングからパスワードを読めません", noLine);
        row("account refused, 401", true, "401", "401 Unauthorized", noLine);
        row("account refused, 407", true, "407", "407 Proxy Authentication Required", noLine);
        row("call refused", true, "X", "404", noLine);
        row("centre hangs up mid-message", true, "hangs up", "", QStringLiteral("回線が切断されました"));
    }
    void failureLeavesTheWindowReady()
    {
        const auto [keyring, to, said, panel] = FailureLeavesTheWindowReady::row();
        if (keyring)
            QVERIFY2(keyringUp(), m_keyring.log.constData());
        Refuser registrar;
        registrar.status = to.toInt();
        QVERIFY(registrar.start());
        Window window(registrar.status    ? registrar.server()
                      : to == u"hangs up" ? m_hangingCentre.server()
                                          : m_centre.server());
        frmMain &w = *window.w;
        window.press(to == u"X" ? 1 : 0);
        if (QTest::currentTestFailed())
            return;
        const QStringList boxes = window.fake.boxes.texts();
        QCOMPARE(boxes.size(), said.isEmpty() ? 0 : 1);
        QVERIFY2(boxes.join(u'|').contains(said), qPrintable(boxes.join(u'|')));
        QCOMPARE(w.statusText(1), panel);
        QCOMPARE(w.engine().stage(), SendStage::Call);
        QVERIFY(window.data.history.row(0).message.isEmpty());
        if (to == u"hangs up")
            QVERIFY(m_hangingCentre.waitCall().contains("dropped: yes"));

        // The next send, to the centre with the keyring there, goes through.
        QVERIFY2(keyringUp(), m_keyring.log.constData());
        window.data.settings.SipServer = m_centre.server();
        window.press();
        QCOMPARE(window.fake.boxes.texts(), boxes);
        QCOMPARE(w.engine().stage(), SendStage::Done);
        QCOMPARE(window.data.history.row(0).message, QStringLiteral("ABC"));
        const QByteArray call = m_centre.waitCall();
        QVERIFY2(wholeCall(call) && call.contains("\nend: ##\n"), call.constData());
    }
    // The window closed during a call goes at once and leaves its saving to later, as the
    // line hangs up (the engine's goodbye itself is tst_sip's). AutoTransmit 0: the call
    // stage alone, and the line stays up.
    void closedDuringACall()
    {
        Centre centre; // the window's engine goes with the window, the call left open there
        QVERIFY(centre.start());
        Window window(centre.server(), 0);
        frmMain &w = *window.w;
        window.press();
        QVERIFY(w.engine().lineOpen());
        bool saved = false;
        try {
            w.close();
        } catch (const ProcessEnded &) {
            saved = true;
        }
        QVERIFY(!saved);       // not before the goodbye
        QVERIFY(w.isHidden()); // but the window is gone at once
        QVERIFY(w.engine().lineEnding());
        // The window goes here, before its own save would end this process.
    }
    // Last, as it fills the keyring: the password goes from the keyring to the engine's
    // standard input, and neither the settings file nor the engine's folder ever holds it.
    void passwordNeverInAFile()
    {
        QVERIFY2(keyringUp(), m_keyring.log.constData());
        const QString password = QStringLiteral("Pw-7781-secret");
        const QString key = sipPasswordKey(QStringLiteral("fumidori"), m_centre.server());
        KeyringPasswords store; // the plugin, as the program loads it
        QString error = QStringLiteral("unanswered");
        store.writePassword(key, password, [&](QString e) { error = e; });
        QTRY_VERIFY_WITH_TIMEOUT(error != QLatin1String("unanswered"), CallMs);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QString stored;
        error = QStringLiteral("unanswered");
        store.readPassword(key, [&](QString p, QString e) {
            stored = p;
            error = e;
        });
        QTRY_VERIFY_WITH_TIMEOUT(error != QLatin1String("unanswered"), CallMs);
        QCOMPARE(stored, password);

        AppData data;
        QTemporaryDir folder;
        QVERIFY(saveSipFolder(data, folder.path(), m_centre.server()));

        // fumidori-send takes the keyring's password, and so registers: the centre refuses.
        const auto [status, complaint] = sendFromScript(folder.path(), {});
        QVERIFY2(status == 1 && complaint.contains(QLatin1String("501")), qPrintable(complaint));

        // The centre takes no registration: the engine, which had the password, says why.
        BaresipCall call;
        QSignalSpy failed(&call, &BaresipCall::failed), ended(&call, &BaresipCall::ended);
        call.call({data.settings.SipServer, data.settings.SipUser, stored, {}, {}}, CentreNumber);
        const QString engineFolder = call.engineFolder();
        QVERIFY(!engineFolder.isEmpty());
        QCOMPARE(QFileInfo(engineFolder).permissions() & 0x0077, QFile::Permissions()); // made as mkdtemp does
        QVERIFY(ended.wait(CallMs));
        const QString why = failed.isEmpty() ? QString() : failed.first().first().toString();
        QVERIFY2(why.contains(QStringLiteral("登録")) && why.contains(QLatin1String("501")), qPrintable(why));
        QVERIFY(!QFileInfo::exists(engineFolder));
        // Nor in the data folder, nor in any call folder left beside the engine's.
        const QDir base = QFileInfo(engineFolder).dir();
        QStringList roots{folder.path()};
        for (const QString &left : base.entryList({QStringLiteral("fumidori-call-*")}, QDir::Dirs))
            roots << base.filePath(left);
        for (const QString &root : std::as_const(roots))
            QCOMPARE(filesHolding(root, password.toUtf8()), QStringList());
        QVERIFY(readFileBytes(data.settingsPath())
                    .contains("\r\nSipServer=" + m_centre.server().toUtf8() + "\r\nSipUser=fumidori\r\n"));
    }
};

QTEST_MAIN(TestSipWindow)
#include "tst_sipwindow.moc"
