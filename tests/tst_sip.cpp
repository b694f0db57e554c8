// The Internet telephone line: baresip driven over its control socket against a
// centre that is a second baresip (fumidori-modemsim --sip) on loopback, and the
// password kept in a keyring on a private session bus.
#include "modem/baresipcall.h"
#include "modem/baresipconfig.h"
#include "modem/netstring.h"
#include "modem/sendengine.h"
#include "store/appdata.h"
#include "store/historyfile.h"
#include "store/passwordstore.h"
#include "store/settingsfile.h"
#include "support/fakeplatform.h"
#include "support/fakeport.h"
#include "support/filehelpers.h"
#include "ui/frmmain.h"
#include "ui/mailedit.h"

#include <QComboBox>
#include <QDirIterator>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace
{

constexpr int CallMs = 15000; // a call on loopback takes well under a second
const QString CentreNumber = QStringLiteral("0570000111");

// One centre: the simulator in SIP mode on a free port.
struct Centre {
    QProcess process;
    quint16 port = 0;
    QByteArray out;

    bool start(const QStringList &options = {})
    {
        const auto ports = baresip::freePorts(QStringLiteral("127.0.0.1"));
        if (!ports)
            return false;
        port = ports->sip;
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        // A test that dies leaves no centre behind (its engine goes with it).
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"),
                      QStringList{"--sip", QString::number(port), "--number", CentreNumber} + options);
        QByteArray err;
        const QMetaObject::Connection errors = QObject::connect(&process, &QProcess::readyReadStandardError,
                                                                [&] { err += process.readAllStandardError(); });
        (void)QTest::qWaitFor([&] { return err.contains("ready") || process.state() == QProcess::NotRunning; }, CallMs);
        QObject::disconnect(errors);
        return err.contains("ready");
    }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    // What the centre printed for its next call, once it has.
    QByteArray nextCall()
    {
        const qsizetype end = out.indexOf("--\n");
        if (end < 0)
            return {};
        const QByteArray call = out.left(end);
        out.remove(0, end + 3);
        return call;
    }
    ~Centre()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
};

struct Spies {
    explicit Spies(BaresipCall &call)
        : established(&call, &BaresipCall::established), played(&call, &BaresipCall::digitsPlayed),
          dropped(&call, &BaresipCall::dropped), failed(&call, &BaresipCall::failed), ended(&call, &BaresipCall::ended)
    {
    }
    QSignalSpy established, played, dropped, failed, ended;
};

QString failure(const QSignalSpy &failed)
{
    return failed.isEmpty() ? QString() : failed.first().first().toString();
}

// A folder whose settings call the centre over SIP, with recipient R on centre C.
bool saveSipFolder(AppData &data, const QString &folder, const QString &server)
{
    data.folder = folder + u'/';
    data.settings = Settings::defaults();
    data.settings.ModemKind = 10;
    data.settings.SipServer = server;
    data.settings.SipUser = QStringLiteral("fumidori");
    data.centers = {MessageCenter{QStringLiteral("C"), 0, CentreNumber, 160, 1, 1, 1}};
    data.recipients = {Recipient{QStringLiteral("R"), 0, QStringLiteral("09012345678")}};
    return !SaveSettingsFile(data);
}

// fumidori-send's exit status and standard error for "ABC" to R.
std::pair<int, QString> sendFromScript(const QString &folder, const QStringList &options,
                                       const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess sender;
    sender.setProcessEnvironment(env);
    sender.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send"),
                 QStringList{"--folder", folder, "--to", "R"} + options + QStringList{"ABC"});
    if (!sender.waitForFinished(2 * CallMs))
        return {-1, QStringLiteral("did not end")};
    return {sender.exitCode(), QString::fromUtf8(sender.readAllStandardError())};
}

} // namespace

class TestSip : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void netstringFrames_data();
    void netstringFrames();
    void localAddresses();
    void digitsArriveInOrder_data();
    void digitsArriveInOrder();
    void refusals_data();
    void refusals();
    void engineDiesMidCall();
    void centreHangsUpMidMessage();
    void passwordNeverInAFile();
    void windowSends();
    void scriptSends();

private:
    // Places a call on the centre and waits until the line is up.
    bool callUp(BaresipCall &call, Spies &spies, const Centre &centre, const QString &password = {});

    Centre m_centre;
    Centre m_hangingCentre; // hangs up after sixteen digits
};

void TestSip::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("baresip")).isEmpty() || baresip::modulePath().isEmpty())
        QSKIP("baresip (baresip-core) is not installed");
    QVERIFY(m_centre.start());
    QVERIFY(m_hangingCentre.start({"--hang-up-after", "16"}));
}

void TestSip::netstringFrames_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<bool>("failed");
    QTest::newRow("two in one read") << QList<QByteArray>{"3:abc,0:,"} << QList<QByteArray>{"abc", ""} << false;
    QTest::newRow("byte by byte") << QList<QByteArray>{"1", "2", ":", "hello", " world", "!", ","}
                                  << QList<QByteArray>{"hello world!"} << false;
    QTest::newRow("comma missing") << QList<QByteArray>{"3:abcd,4:abcd,"} << QList<QByteArray>{} << true;
    QTest::newRow("not a length") << QList<QByteArray>{"x3:abc,"} << QList<QByteArray>{} << true;
    QTest::newRow("no length") << QList<QByteArray>{":abc,"} << QList<QByteArray>{} << true;
    QTest::newRow("too long") << QList<QByteArray>{"99999999:"} << QList<QByteArray>{} << true;
    QTest::newRow("over the frame limit") << QList<QByteArray>{"2000000:"} << QList<QByteArray>{} << true;
}

void TestSip::netstringFrames()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(bool, failed);
    netstring::Reader reader;
    QList<QByteArray> got;
    for (const QByteArray &read : reads)
        got += reader.feed(read);
    QCOMPARE(got, frames);
    QCOMPARE(reader.failed(), failed);
    if (!failed)
        QCOMPARE(reader.feed(netstring::encode("again")), QList<QByteArray>{"again"});
}

bool TestSip::callUp(BaresipCall &call, Spies &spies, const Centre &centre, const QString &password)
{
    call.call({centre.server(), QStringLiteral("fumidori"), password}, CentreNumber);
    (void)QTest::qWaitFor([&] { return !spies.established.isEmpty() || !spies.ended.isEmpty(); }, CallMs);
    if (spies.established.isEmpty())
        qWarning() << "no line:" << failure(spies.failed);
    return !spies.established.isEmpty();
}

// A server on this machine is reached through its own address, any other through every
// interface; names are not looked up.
void TestSip::localAddresses()
{
    const QList<std::pair<QString, QString>> rows = {{"127.0.0.1:5060", "127.0.0.1"},
                                                     {"LocalHost", "127.0.0.1"},
                                                     {"[::1]:5062", "::1"},
                                                     {"0:0:0:0:0:0:0:1", "::1"},
                                                     {"192.0.2.7", ""},
                                                     {"sip.example.com", ""},
                                                     {"", ""}};
    for (const auto &[server, address] : rows)
        QCOMPARE(baresip::localAddressFor(server), address);
    const QByteArray config = baresip::configText({5060, 7000, 4000}, QStringLiteral("::1"), QString());
    QVERIFY2(config.contains("sip_listen              [::1]:5060\n") &&
                 config.contains("net_interface           ::1\n"),
             config.constData());
}

void TestSip::digitsArriveInOrder_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QByteArray>("received");
    QTest::newRow("number and message") << QStringList{"09012345678#", "*2*2161718", "##"}
                                        << QByteArray("09012345678#*2*2161718##");
    // Only key digits reach the engine, which would drop the rest of a string at the first other character.
    QTest::newRow("other characters") << QStringList{"0-9 1a#", "#,*"} << QByteArray("091##*");
}

void TestSip::digitsArriveInOrder()
{
    QFETCH(QStringList, pieces);
    QFETCH(QByteArray, received);
    BaresipCall call;
    Spies spies(call);
    QVERIFY(callUp(call, spies, m_centre));
    for (const QString &piece : pieces) {
        const qsizetype before = spies.played.size();
        call.sendDigits(piece);
        QTRY_COMPARE_WITH_TIMEOUT(spies.played.size(), before + 1, CallMs);
    }
    call.hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(spies.ended.size(), 1, CallMs);
    QVERIFY(spies.failed.isEmpty());
    QVERIFY(spies.dropped.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(m_centre.out.contains("--\n"), CallMs);
    const QByteArray report = m_centre.nextCall();
    QVERIFY2(report.startsWith("received: " + received + '\n'), report.constData());
}

void TestSip::refusals_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("message");
    const QString server = m_centre.server();
    // A port nobody listens on: UDP gives no answer at all, so the call's own time limit ends it.
    const auto closed = baresip::freePorts(QStringLiteral("127.0.0.1"));
    QTest::newRow("unknown number") << server << "0999"
                                    << "baresip"
                                    << "404";
    QTest::newRow("unreachable server") << QStringLiteral("127.0.0.1:%1").arg(closed->sip) << CentreNumber << "baresip"
                                        << "応答しませんでした";
    QTest::newRow("unknown host") << "nohost.invalid" << CentreNumber << "baresip"
                                  << "つながりません";
    QTest::newRow("engine missing") << server << CentreNumber << "/nonexistent/baresip"
                                    << "起動できません";
    QTest::newRow("no server") << "" << CentreNumber << "baresip"
                               << "設定されていません";
    QTest::newRow("no digits") << server << "abc"
                               << "baresip"
                               << "数字がありません";
}

void TestSip::refusals()
{
    QFETCH(QString, server);
    QFETCH(QString, number);
    QFETCH(QString, program);
    QFETCH(QString, message);
    BaresipCall call;
    call.setProgram(program);
    call.setSetupTimeout(2000);
    Spies spies(call);
    call.call({server, {}, {}}, number);
    QTRY_COMPARE_WITH_TIMEOUT(spies.ended.size(), 1, CallMs);
    QCOMPARE(spies.failed.size(), 1);
    QVERIFY2(failure(spies.failed).contains(message), qPrintable(failure(spies.failed)));
    QVERIFY(spies.established.isEmpty());
    QCOMPARE(call.state(), BaresipCall::State::Idle);
}

void TestSip::engineDiesMidCall()
{
    Centre centre; // keeps the dead call to itself
    QVERIFY(centre.start());
    BaresipCall call;
    Spies spies(call);
    QVERIFY(callUp(call, spies, centre));
    call.sendDigits(QStringLiteral("0123456789"));
    QVERIFY(call.engineProcessId() > 0);
    ::kill(pid_t(call.engineProcessId()), SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(spies.ended.size(), 1, CallMs);
    QVERIFY2(failure(spies.failed).contains(QLatin1String("baresip")), qPrintable(failure(spies.failed)));
    QVERIFY(spies.played.isEmpty());
    // The centre sees the call end by its own time-out at most; the next call does not wait for that.
    Spies again(call);
    QVERIFY(callUp(call, again, centre));
    call.hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(again.ended.size(), 1, CallMs);
}

void TestSip::centreHangsUpMidMessage()
{
    BaresipCall call;
    Spies spies(call);
    QVERIFY(callUp(call, spies, m_hangingCentre));
    call.sendDigits(QStringLiteral("09012345678#12345678"));
    QTRY_COMPARE_WITH_TIMEOUT(spies.ended.size(), 1, CallMs);
    QCOMPARE(spies.dropped.size(), 1);
    QVERIFY(spies.failed.isEmpty());
    QVERIFY(spies.played.isEmpty()); // the wait for the digits ends with the line
    QTRY_VERIFY_WITH_TIMEOUT(m_hangingCentre.out.contains("--\n"), CallMs);
    const QByteArray report = m_hangingCentre.nextCall();
    QVERIFY2(report.contains("received: 09012345678#1234\n") && report.contains("dropped: yes"), report.constData());
    // The same object calls again.
    Spies again(call);
    QVERIFY(callUp(call, again, m_hangingCentre));
    call.sendDigits(QStringLiteral("12"));
    QTRY_COMPARE_WITH_TIMEOUT(again.played.size(), 1, CallMs);
    call.hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(again.ended.size(), 1, CallMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_hangingCentre.out.contains("--\n"), CallMs);
    QVERIFY(m_hangingCentre.nextCall().startsWith("received: 12\n"));
}

// The password goes from the keyring to the engine's standard input: neither the
// settings file nor the engine's folder ever holds it.
void TestSip::passwordNeverInAFile()
{
    if (QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        QSKIP("gnome-keyring or dbus is not installed");
    QTemporaryDir home;
    // GLib's session bus connection (the keyring's client) raises SIGTERM in this process
    // when the bus goes away: the private bus ends with this test, the process goes on.
    std::signal(SIGTERM, SIG_IGN);
    // Both servers end with the test, passed or not.
    struct Server : QProcess {
        ~Server() override
        {
            terminate();
            waitForFinished(5000);
        }
    };
    Server bus;
    bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
    QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), CallMs);
    const QByteArray address = bus.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    Server keyring;
    keyring.setProcessChannelMode(QProcess::MergedChannels);
    keyring.start(QStringLiteral("gnome-keyring-daemon"), {"--foreground", "--unlock", "--components=secrets"});
    keyring.write("keyring-test-password");
    keyring.closeWriteChannel();
    QByteArray said;
    QTRY_VERIFY2_WITH_TIMEOUT((said += keyring.readAll()).contains("GNOME_KEYRING_CONTROL"), said.constData(), CallMs);

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
    Spies spies(call);
    call.call({data.settings.SipServer, data.settings.SipUser, stored}, CentreNumber);
    const QString engineFolder = call.engineFolder();
    QVERIFY(!engineFolder.isEmpty());
    QCOMPARE(QFileInfo(engineFolder + QStringLiteral("/..")).permissions() & 0x0077, QFile::Permissions());
    QTRY_COMPARE_WITH_TIMEOUT(spies.ended.size(), 1, CallMs);
    QVERIFY2(failure(spies.failed).contains(QStringLiteral("登録")) &&
                 failure(spies.failed).contains(QLatin1String("501")),
             qPrintable(failure(spies.failed)));
    QVERIFY(!QFileInfo::exists(engineFolder));
    for (const QString &root : {folder.path(), QFileInfo(engineFolder).path()}) {
        QDirIterator files(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            QVERIFY2(!readFileBytes(path).contains(password.toUtf8()), qPrintable(path));
        }
    }
    QVERIFY(readFileBytes(data.settingsPath())
                .contains("\r\nSipServer=" + m_centre.server().toUtf8() + "\r\nSipUser=fumidori\r\n"));
}

// The main window with device kind 10: whole automatic sends, a refused call and a
// centre that hangs up in the middle of the message.
void TestSip::windowSends()
{
    QTemporaryDir dir;
    FakePlatform fake;
    FakePort port;
    AppData data;
    data.folder = dir.path() + u'/';
    data.settings = Settings::defaults();
    data.settings.ModemKind = 10;
    data.settings.AutoTransmit = 1;
    data.settings.MailInterval = 0;
    data.settings.SipUser = QStringLiteral("fumidori");
    data.centers << MessageCenter{QStringLiteral("C"), 0, CentreNumber, 160, 1, 1, 1}
                 << MessageCenter{QStringLiteral("X"), 0, QStringLiteral("0999"), 160, 1, 1, 1};
    data.recipients << Recipient{QStringLiteral("R"), 0, QStringLiteral("09012345678")};
    data.history.resize(5);
    frmMain w(data, fake.platform, port);
    w.prepareWindow();
    auto press = [&](const Centre &centre, int centerIndex) {
        data.settings.SipServer = centre.server();
        w.cmbCenter->setCurrentIndex(centerIndex);
        if (w.engine().stage() == SendStage::Done)
            w.cmdButton->click(); // "送ったよ！" only sets up the next send
        QSignalSpy settled(&w.engine(), &SendEngine::settled);
        w.cmdButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(!settled.isEmpty(), CallMs * 2);
        QVERIFY(w.cmdButton->isEnabled());
        QVERIFY(w.txtMail->isEnabled());
    };
    auto report = [](Centre &centre) {
        (void)QTest::qWaitFor([&] { return centre.out.contains("--\n"); }, CallMs);
        return centre.nextCall();
    };

    w.txtMail->setPlainText(QStringLiteral("ABC"));
    press(m_centre, 0);
    QCOMPARE(w.engine().stage(), SendStage::Done);
    QCOMPARE(data.history.row(0).message, QStringLiteral("ABC"));
    QByteArray call = report(m_centre);
    QVERIFY2(call.contains("\nrecipient: 09012345678\n") && call.contains("\nend: ##\n") &&
                 call.contains("\nmessage: ABC\n") && !call.contains("dropped"),
             call.constData());

    // The centre hangs up four digits into the message: a dropped line, no history.
    w.txtMail->setPlainText(QStringLiteral("ABCDEFGH"));
    press(m_hangingCentre, 0);
    QCOMPARE(w.statusText(1), QStringLiteral("回線が切断されました"));
    QCOMPARE(w.engine().stage(), SendStage::Call);
    QVERIFY(data.history.row(1).message.isEmpty());
    QVERIFY(report(m_hangingCentre).contains("dropped: yes"));

    // A refused call: the reason in a message, the window ready again.
    press(m_centre, 1);
    QVERIFY2(fake.boxes.texts().join(u'|').contains(QLatin1String("404")), qPrintable(fake.boxes.texts().join(u'|')));
    QCOMPARE(w.statusText(1), QStringLiteral("センターにつながりません"));
    QVERIFY(data.history.row(1).message.isEmpty());

    // And the next send goes through.
    press(m_centre, 0);
    QCOMPARE(w.engine().stage(), SendStage::Done);
    QCOMPARE(data.history.row(0).message, QStringLiteral("ABCDEFGH")); // the newest first
    QCOMPARE(data.history.row(1).message, QStringLiteral("ABC"));
    QVERIFY(report(m_centre).contains("\nmessage: ABCDEFGH\n"));
}

// fumidori-send with device kind 10: without a keyring a clear refusal before any call;
// with a password file (an empty one: no registration) a whole call and its record.
void TestSip::scriptSends()
{
    QTemporaryDir dir;
    AppData data;
    QVERIFY(saveSipFolder(data, dir.path(), m_centre.server()));
    QProcessEnvironment noKeyring = QProcessEnvironment::systemEnvironment();
    noKeyring.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + dir.filePath("no-bus"));

    auto [status, said] = sendFromScript(dir.path(), {}, noKeyring);
    QVERIFY2(status == 2 && said.contains(QLatin1String("--sip-password-file")), qPrintable(said));

    const QString passwordFile = dir.filePath(QStringLiteral("password"));
    QVERIFY(writeFileBytes(passwordFile, {}));
    QVERIFY(QFile::setPermissions(passwordFile, QFile::ReadOwner | QFile::WriteOwner));
    std::tie(status, said) = sendFromScript(dir.path(), {"--sip-password-file", passwordFile}, noKeyring);
    QVERIFY2(status == 0, qPrintable(said));
    QTRY_VERIFY_WITH_TIMEOUT(m_centre.out.contains("--\n"), CallMs);
    const QByteArray call = m_centre.nextCall();
    QVERIFY2(call.contains("\nrecipient: 09012345678\n") && call.contains("\nmessage: ABC\n") &&
                 !call.contains("dropped"),
             call.constData());
    QVERIFY(readFileBytes(dir.filePath(QString::fromLatin1(historyfile::FileName))).contains("ABC"));
    // The line log: the engine's events and the digits, in order.
    const QByteArray log = readFileBytes(dir.filePath(QStringLiteral("log/line.log")));
    qsizetype at = 0;
    for (const char *record :
         {" sip # call", " sip = call sip:", " sip = established", " sip # number", " sip = digits 09012345678#",
          " sip # mail", " sip ! sent", " sip # hangup", " sip ! end: sent"}) {
        at = log.indexOf(record, at);
        QVERIFY2(at >= 0, (record + QByteArray(" in:\n") + log).constData());
    }

    // A password given for the account registers (the centre refuses): it appears in
    // no file of the folder, the log of the failed call included.
    const QByteArray password = "Pw-4410-never-logged";
    QVERIFY(writeFileBytes(passwordFile, password + '\n'));
    QVERIFY(QFile::setPermissions(passwordFile, QFile::ReadOwner | QFile::WriteOwner));
    std::tie(status, said) = sendFromScript(dir.path(), {"--sip-password-file", passwordFile}, noKeyring);
    QVERIFY2(status == 1 && said.contains(QLatin1String("501")), qPrintable(said));
    QVERIFY(readFileBytes(dir.filePath(QStringLiteral("log/line.log"))).contains(" sip ! end: failed: "));
    QDirIterator files(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        QVERIFY2(path == passwordFile || !readFileBytes(path).contains(password), qPrintable(path));
    }
}

QTEST_MAIN(TestSip)
#include "tst_sip.moc"
