// The Internet telephone line: baresip driven over its standard input and output
// against a centre that is a second baresip (fumidori-modemsim --sip) on loopback, and
// fumidori-send calling through it, directly or through a real SIP server. (The window's
// line and the keyring are tst_sipwindow's.)
#include "modem/baresipcall.h"
#include "modem/baresipconfig.h"
#include "modem/baresipoutput.h"
#include "modem/sendengine.h"
#include "modem/sipline.h"
#include "modem/waiter.h"
#include "store/appdata.h"
#include "store/historyfile.h"
#include "store/settingsfile.h"
#include "support/consolefrontend.h"
#include "support/filehelpers.h"
#include "support/otheruser.h"
#include "support/press.h"
#include "support/server.h"
#include "support/siprig.h"
#include "support/table.h"
#include "ui/frmmain.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace siprig;

namespace
{

struct Spies {
    explicit Spies(BaresipCall &call)
        : established(&call, &BaresipCall::established), played(&call, &BaresipCall::digitsPlayed),
          dropped(&call, &BaresipCall::dropped), failed(&call, &BaresipCall::failed), ended(&call, &BaresipCall::ended)
    {
    }
    QSignalSpy established, played, dropped, failed, ended;
    // Whether the call has ended once, within CallMs (at once when it has).
    bool end() { return (!ended.isEmpty() || ended.wait(CallMs)) && ended.size() == 1; }
};

BaresipCall::Account account(const QString &server, const QString &user = {}, const QString &password = {})
{
    return {server, user, password, {}, {}};
}

QString failure(const QSignalSpy &failed)
{
    return failed.isEmpty() ? QString() : failed.first().first().toString();
}

} // namespace

using EngineLines = table::Of<QString, int, QString, QString>; // line, event, subject, detail

// refusal: empty: taken
using AccountChecks = table::Of<QString, QString, QByteArray, QString>;

using DigitsArriveInOrder = table::Of<QStringList, QByteArray>;

using Refusals = table::Of<QString, QString, QString, QString>;

using PasswordPrompt = table::Of<QString, bool>;

using EngineDialogue = table::Of<bool, QString, QStringList, QString>;

namespace
{

// The TCP ports a process listens on, from the socket inodes it holds and the kernel's tables.
QList<quint16> listeningPorts(qint64 pid)
{
    QSet<QByteArray> inodes;
    QDirIterator fds(QStringLiteral("/proc/%1/fd").arg(pid), QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    while (fds.hasNext()) {
        const QString target = QFileInfo(fds.next()).symLinkTarget();
        if (target.contains(QLatin1String("socket:[")))
            inodes << target.section(u'[', 1).chopped(1).toLatin1();
    }
    QList<quint16> ports;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        const QList<QByteArray> lines = readFileBytes(QString::fromLatin1(table)).split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> f = line.simplified().split(' ');
            // local address, remote, state (0A: listening), ..., inode in the tenth field
            if (f.size() > 9 && f[3] == "0A" && inodes.contains(f[9]))
                ports << quint16(f[1].mid(f[1].indexOf(':') + 1).toUInt(nullptr, 16));
        }
    }
    return ports;
}

// What a child that has become another user does to the port on loopback: connects and
// sends what would be orders to a control port; "connected" when it could connect.
QByteArray strangerTalksTo(const otheruser::Ids &stranger, quint16 port)
{
    return otheruser::asUser(stranger,
                             [port] {
                                 const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                                 sockaddr_in a{};
                                 a.sin_family = AF_INET;
                                 a.sin_port = htons(port);
                                 a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                                 const bool connected = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
                                 const char orders[] = "/quit\n/insmod /tmp/x.so\nq\n"
                                                       "33:{\"command\":\"quit\",\"token\":\"1\"},"
                                                       "38:{\"command\":\"hangup\",\"token\":\"2\"},";
                                 if (connected)
                                     (void)!::write(fd, orders, sizeof orders - 1);
                                 ::close(fd);
                                 return QByteArray(connected ? "connected" : "refused");
                             })
        .value_or("not another user");
}

// Kamailio with a configuration of its own in a temporary folder: UDP and TCP on port,
// TLS on port + 1 with a certificate made here, for the password below.
const QByteArray Password = "Pw-5541-right";

struct SipServer : ServerProcess {
    QTemporaryDir dir;
    quint16 port = 0;

    QString start(quint16 centrePort)
    {
        const auto ports = baresip::freePorts(QStringLiteral("127.0.0.1"));
        if (!ports)
            return QStringLiteral("no free ports");
        port = ports->sip;
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                       "-keyout", dir.filePath("key.pem"), "-out", dir.filePath("cert.pem")});
        if (!openssl.waitForFinished(CallMs) || openssl.exitCode() != 0)
            return QStringLiteral("openssl could not make a certificate");
        const QByteArray tls = "[server:default]\nmethod = TLSv1.2+\nverify_certificate = no\n"
                               "require_certificate = no\nprivate_key = " +
                               dir.filePath("key.pem").toUtf8() +
                               "\ncertificate = " + dir.filePath("cert.pem").toUtf8() + "\n";
        const QByteArray host = "127.0.0.1:";
        const QByteArray p = QByteArray::number(port);
        // Debian 12's Kamailio 5.6 with OpenSSL 3 has a reported crash with several TLS
        // workers: one of each kind.
        const QByteArray config =
            "#!KAMAILIO\ndebug=1\nlog_stderror=yes\nfork=yes\nchildren=1\ntcp_children=1\nauto_aliases=no\n"
            "enable_tls=yes\nlisten=udp:" +
            host + p + "\nlisten=tcp:" + host + p + "\nlisten=tls:" + host + QByteArray::number(port + 1) +
            "\nmpath=\"/usr/lib/x86_64-linux-gnu/kamailio/modules/\"\n"
            "loadmodule \"tm.so\"\nloadmodule \"sl.so\"\nloadmodule \"rr.so\"\nloadmodule \"pv.so\"\n"
            "loadmodule \"maxfwd.so\"\nloadmodule \"textops.so\"\nloadmodule \"siputils.so\"\n"
            "loadmodule \"xlog.so\"\nloadmodule \"usrloc.so\"\nloadmodule \"registrar.so\"\n"
            "loadmodule \"auth.so\"\nloadmodule \"tls.so\"\n"
            "modparam(\"usrloc\", \"db_mode\", 0)\nmodparam(\"tls\", \"config\", \"" +
            dir.filePath("tls.cfg").toUtf8() +
            "\")\n"
            "event_route[core:worker-one-init] { xlog(\"L_ALERT\", \"server ready\\n\"); }\n"
            "request_route {\n"
            "  if (!mf_process_maxfwd_header(\"10\")) { sl_send_reply(\"483\", \"Too Many Hops\"); exit; }\n"
            "  if (is_method(\"CANCEL\")) { if (t_check_trans()) t_relay(); exit; }\n"
            "  if (has_totag()) {\n"
            "    if (loose_route()) { t_relay(); exit; }\n"
            "    if (is_method(\"ACK\")) { if (t_check_trans()) t_relay(); exit; }\n"
            "    sl_send_reply(\"404\", \"Not here\"); exit;\n"
            "  }\n"
            "  if (!is_method(\"REGISTER|INVITE\")) { sl_send_reply(\"405\", \"Method Not Allowed\"); exit; }\n"
            "  if (!pv_auth_check(\"$fd\", \"" +
            Password +
            "\", \"0\", \"1\")) { auth_challenge(\"$fd\", \"0\"); exit; }\n"
            "  consume_credentials();\n"
            "  if (is_method(\"REGISTER\")) { save(\"location\"); exit; }\n"
            "  record_route();\n"
            "  $du = \"sip:127.0.0.1:" +
            QByteArray::number(centrePort) +
            "\";\n"
            "  t_relay();\n"
            "}\n";
        if (!writeFileBytes(dir.filePath("tls.cfg"), tls) || !writeFileBytes(dir.filePath("kamailio.cfg"), config))
            return QStringLiteral("cannot write the configuration");
        const bool up = ServerProcess::start(
            QStringLiteral("kamailio"),
            {"-f", dir.filePath("kamailio.cfg"), "-DD", "-E", "-Y", dir.path(), "-P", dir.filePath("kamailio.pid")},
            "server ready", CallMs);
        return up ? QString() : QStringLiteral("Kamailio did not start:\n") + log;
    }
    // Why the server is no longer what it was at the start: crashed or ended; empty if fine.
    QString trouble() const
    {
        if (process.state() != QProcess::Running)
            return QStringLiteral("Kamailio ended:\n") + QString::fromUtf8(log.right(2000));
        if (log.contains("exited by a signal"))
            return QStringLiteral("Kamailio crashed:\n") + QString::fromUtf8(log.right(2000));
        return {};
    }
};

} // namespace

// password: the password file's bytes; "-": an empty path
using ScriptRefusesBadSettings = table::Of<QString, QString, QByteArray, QString>;
// what stands where a shared engine folder would go, XDG_RUNTIME_DIR ("-": unset; "%D": a
// folder of the test), the exit status, a part of what is said
using CallFolder = table::Of<QString, QString, int, QString>;

// server: "" the server's UDP/TCP port, "tls" its TLS port, "down" a dead one; proxy: "" none, "server" the server as
// outbound proxy
using SendsThroughTheServer = table::Of<QString, QString, QString, QByteArray, int, QString>;

class TestSip : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("baresip")).isEmpty() || baresip::modulePath().isEmpty())
            QSKIP("baresip (baresip-core) is not installed");
        QVERIFY(m_centre.start());
        QVERIFY(m_hangingCentre.start({"--hang-up-after", "16"}));
    }
    // baresip 1.0.0's own lines, as it printed them against a second baresip and a SIP
    // server, and lines a far end could shape through its address or its reason.
    void engineLines_data()
    {
        using baresip::Event;
        const EngineLines table;
        auto row = [&](const char *name, const char *line, Event event, const char *subject = "",
                       const char *detail = "") { table(name, line, int(event), subject, detail); };
        row("ready", "baresip is ready.", Event::Ready);
        row("password too long", "Invalid password (0 - 63 characters followed by newline)", Event::PasswordRefused);
        row("password too long after the prompt",
            "Please enter password for sip:me@127.0.0.1:25070: Invalid password (0 - 63 characters followed by "
            "newline)",
            Event::PasswordRefused, "sip:me@127.0.0.1:25070");
        row("registered", "me@127.0.0.1: {0/UDP/v4} 200 OK (kamailio (5.6.3 (x86_64/linux))) [1 binding]",
            Event::Registered, "me@127.0.0.1", "200 OK");
        row("registered over TLS", "me@127.0.0.1: {0/TLS/v4} 200 OK (kamailio (5.6.3 (x86_64/linux))) [1 binding]",
            Event::Registered, "me@127.0.0.1", "200 OK");
        row("registration refused", "reg: sip:me@127.0.0.1:25080: 401 Unauthorized (kamailio (5.6.3 (x86_64/linux)))",
            Event::RegisterFailed, "sip:me@127.0.0.1:25080", "401 Unauthorized");
        row("server not there", "reg: sip:me@127.0.0.1:25999: Register: Connection refused", Event::RegisterFailed,
            "sip:me@127.0.0.1:25999", "Register: Connection refused");
        row("ringing", "call: SIP Progress: 180 Ringing (/)", Event::Ringing, "", "180 Ringing");
        row("trying is no ringing", "call: SIP Progress: 100 trying -- your call is important to us (/)", Event::None);
        row("established", "me@127.0.0.1: Call established: sip:0570@127.0.0.1:25080", Event::Established,
            "me@127.0.0.1", "sip:0570@127.0.0.1:25080");
        row("refused call", "sip:0999@127.0.0.1:25070: session closed: 404 Not Found", Event::Closed,
            "sip:0999@127.0.0.1:25070", "404 Not Found");
        row("unknown host", "sip:0999@nohost.invalid: session closed: Destination address required", Event::Closed,
            "sip:0999@nohost.invalid", "Destination address required");
        row("terminated", "sip:me@127.0.0.1:25080: Call with sip:0570@127.0.0.1:25080 terminated (duration: 2 secs)",
            Event::Terminated, "sip:me@127.0.0.1:25080", "sip:0570@127.0.0.1:25080");
        row("key", "received event: '#' (end=0)", Event::DigitReceived, "", "#");
        row("end of a key", "received event: '#' (end=1)", Event::None);
        row("key sent", "audio: send DTMF digit: '1'", Event::None);
        row("ready inside another line", "stream: baresip is ready.", Event::None);
        // A caller's address holding another line's words: the line stays what it is.
        row("address posing as an answer",
            "fumidori@127.0.0.1: Incoming call from: sip:a@b: Call established: sip:c@d - (press ENTER to accept)",
            Event::None);
        row("address posing as a hang-up", "sip:a@b: Call established: x: session closed: 404", Event::None);
    }
    void engineLines()
    {
        const auto [line, event, subject, detail] = EngineLines::row();
        const baresip::EngineLine read = baresip::readLine(line);
        QCOMPARE(int(read.event), event);
        QCOMPARE(read.subject, subject);
        QCOMPARE(read.detail, detail);
    }
    // The prompt ends no line: it is asked for when the text so far is the whole prompt.
    void passwordPrompt_data()
    {
        const PasswordPrompt row;
        row("the prompt", "Please enter password for sip:me@127.0.0.1:25070: ", true);
        row("answered", "Please enter password for sip:me@127.0.0.1:25070: Populated 1 account", false);
        row("still coming", "Please enter password for sip:me@127.0.0.1:25070:", false);
        row("inside a line", "x Please enter password for sip:me@h: ", false);
    }
    void passwordPrompt()
    {
        const auto [text, prompt] = PasswordPrompt::row();
        QCOMPARE(baresip::isPasswordPrompt(text), prompt);
    }
    // An empty server, a parameter in it, a space in the user and a password over the
    // engine's limit are refused end to end in scriptRefusesBadSettings.
    void accountChecks_data()
    {
        const AccountChecks row;
        const QByteArray longest(baresip::MaxPasswordBytes, 'p');
        row("name and port", "fumidori", "sip.example.com:5060", "pw", "");
        row("v6 and port", "0312345678", "[2001:db8::1]:5070", {}, "");
        row("bare v6", "u", "2001:db8::1", {}, "");
        row("longest password", "u", "h", longest, "");
        row("longest password in Japanese", "u", "h", QByteArray("パ").repeated(20), "");
        row("port too big", "u", "h:65536", {}, "ホスト名");
        row("port not a number", "u", "h:5x", {}, "ホスト名");
        row("empty port", "u", "h:", {}, "ホスト名");
        row("full-width server", "u", "ｈｏｓｔ", {}, "ホスト名");
        row("address in the user", "a@b", "h", {}, "ユーザー");
        row("angle bracket in the user", "a>", "h", {}, "ユーザー");
        row("password with a line break", "u", "h", "a\nb", "制御文字");
    }
    void accountChecks()
    {
        const auto [user, server, password, refusal] = AccountChecks::row();
        const QString problem = baresip::checkAccount(user, server, QString::fromUtf8(password));
        QCOMPARE(problem.isEmpty(), refusal.isEmpty());
        QVERIFY2(problem.contains(refusal), qPrintable(problem));
    }
    // The engine takes orders on its standard input alone: no control module, no port. A
    // server on this machine is reached through its own address, any other through every
    // interface; names are not looked up.
    void configuration()
    {
        const QByteArray config = baresip::configText({5060, 7000}, QStringLiteral("::1"), baresip::modulePath());
        QVERIFY2(!config.contains("ctrl_") && config.contains("module                  stdio.so\n") &&
                     config.contains("call_max_calls          1\n") &&
                     config.contains("sip_listen              [::1]:5060\n") &&
                     config.contains("net_interface           ::1\n"),
                 config.constData());
        const QList<std::pair<QString, QString>> rows = {{"127.0.0.1:5060", "127.0.0.1"},
                                                         {"LocalHost", "127.0.0.1"},
                                                         {"[::1]:5062", "::1"},
                                                         {"0:0:0:0:0:0:0:1", "::1"},
                                                         {"192.0.2.7", ""},
                                                         {"sip.example.com", ""},
                                                         {"", ""}};
        for (const auto &[server, address] : rows)
            QCOMPARE(baresip::localAddressFor(server), address);
        const QByteArray account = baresip::accountLine(QStringLiteral("u"), QStringLiteral("h"), true);
        QCOMPARE(account, QByteArray("<sip:u@h>;auth_user=u;regint=600\n"));
    }
    // What the program writes to the engine, seen by a stand-in engine that notes each line
    // it reads and whether anything came before it asked: the password only when prompted and
    // first of all, no command before "baresip is ready.", the input open until "/quit".
    void engineDialogue_data()
    {
        const EngineDialogue row;
        const QStringList call = {"/dial sip:0570@127.0.0.1:5060", "/mute", "/hangup", "/quit"};
        row("with a password", true, "pa ss", QStringList{"password:pa ss"} + call, "");
        row("without one", false, "", call, "");
        row("asked without one", true, "", {}, "パスワード");
    }
    void engineDialogue()
    {
        const auto [prompts, password, read, refusal] = EngineDialogue::row();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("log"));
        const QString engine = dir.filePath(QStringLiteral("baresip"));
        QByteArray script =
            "#!/bin/bash\nlog='" + log.toUtf8() + "'\nearly() { read -t 0 && echo early >> \"$log\"; }\n";
        if (prompts)
            script += "early; printf 'Please enter password for sip:u@127.0.0.1:5060: '\n"
                      "IFS= read -r pw; echo \"password:$pw\" >> \"$log\"\n";
        script += "early; echo 'baresip is ready.'\n"
                  "echo 'u@127.0.0.1: {0/UDP/v4} 200 OK (stand-in) [1 binding]'\n"
                  "while IFS= read -r line; do echo \"$line\" >> \"$log\"\n"
                  "  case \"$line\" in\n"
                  "    /dial*) echo 'u@127.0.0.1: Call established: sip:0570@127.0.0.1:5060';;\n"
                  "    /quit) exit 0;;\n"
                  "  esac\n"
                  "done\necho 'end of input' >> \"$log\"\n";
        QVERIFY(writeFileBytes(engine, script));
        QVERIFY(QFile::setPermissions(engine, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        BaresipCall call;
        call.setProgram(engine);
        Spies spies(call);
        call.call(account(QStringLiteral("127.0.0.1:5060"), QStringLiteral("u"), password), QStringLiteral("0570"));
        if (refusal.isEmpty()) {
            QVERIFY(spies.established.wait(CallMs));
            call.hangUp();
        }
        QVERIFY(spies.end());
        QVERIFY2(failure(spies.failed).contains(refusal), qPrintable(failure(spies.failed)));
        QCOMPARE(spies.failed.isEmpty(), refusal.isEmpty());
        const QStringList got = QString::fromUtf8(readFileBytes(log)).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(got, read);
    }
    void digitsArriveInOrder_data()
    {
        const DigitsArriveInOrder row;
        row("number and message", {"09012345678#", "*2*2161718", "##"}, "09012345678#*2*2161718##");
        // Only key digits reach the engine, which would drop the rest of a string at the first other character.
        row("other characters", {"0-9 1a#", "#,*"}, "091##*");
    }
    void digitsArriveInOrder()
    {
        const auto [pieces, received] = DigitsArriveInOrder::row();
        BaresipCall call;
        Spies spies(call);
        QVERIFY(callUp(call, spies, m_centre));
        keyThenHangUp(call, spies, m_centre, pieces, received);
    }
    void refusals_data()
    {
        const Refusals row;
        const QString server = m_centre.server();
        // A port nobody listens on: UDP gives no answer at all, so the call's own time limit ends it.
        const auto closed = baresip::freePorts(QStringLiteral("127.0.0.1"));
        row("unknown number", server, "0999", "baresip", "404");
        row("unreachable server", QStringLiteral("127.0.0.1:%1").arg(closed->sip), CentreNumber, "baresip",
            "応答しませんでした");
        row("unknown host", "nohost.invalid", CentreNumber, "baresip", "つながりません");
        row("engine missing", server, CentreNumber, "/nonexistent/baresip", "起動できません");
        row("no server", "", CentreNumber, "baresip", "設定されていません");
        row("no digits", server, "abc", "baresip", "数字がありません");
    }
    void refusals()
    {
        const auto [server, number, program, message] = Refusals::row();
        BaresipCall call;
        call.setProgram(program);
        call.setSetupTimeout(2000);
        Spies spies(call);
        call.call(account(server), number);
        QVERIFY(spies.end());
        QCOMPARE(spies.failed.size(), 1);
        QVERIFY2(failure(spies.failed).contains(message), qPrintable(failure(spies.failed)));
        QVERIFY(spies.established.isEmpty());
        QCOMPARE(call.state(), BaresipCall::State::Idle);
    }
    void engineDiesMidCall()
    {
        Centre centre; // keeps the dead call to itself
        QVERIFY(centre.start());
        BaresipCall call;
        Spies spies(call);
        QVERIFY(callUp(call, spies, centre));
        call.sendDigits(QStringLiteral("0123456789"));
        QVERIFY(call.engineProcessId() > 0);
        ::kill(pid_t(call.engineProcessId()), SIGKILL);
        QVERIFY(spies.end());
        QVERIFY2(failure(spies.failed).contains(QLatin1String("baresip")), qPrintable(failure(spies.failed)));
        QVERIFY(spies.played.isEmpty());
        // The centre sees the call end by its own time-out at most; the next call does not wait for that.
        Spies again(call);
        QVERIFY(callUp(call, again, centre));
        call.hangUp();
        QVERIFY(again.end());
    }
    void centreHangsUpMidMessage()
    {
        BaresipCall call;
        Spies spies(call);
        QVERIFY(callUp(call, spies, m_hangingCentre));
        call.sendDigits(QStringLiteral("09012345678#12345678"));
        QVERIFY(spies.end());
        QCOMPARE(spies.dropped.size(), 1);
        QVERIFY(spies.failed.isEmpty());
        QVERIFY(spies.played.isEmpty()); // the wait for the digits ends with the line
        const QByteArray report = m_hangingCentre.waitCall();
        QVERIFY2(report.contains("received: 09012345678#1234\n") && report.contains("dropped: yes"),
                 report.constData());
        // The same object calls again.
        Spies again(call);
        QVERIFY(callUp(call, again, m_hangingCentre));
        keyThenHangUp(call, again, m_hangingCentre, {"12"}, "12");
    }
    // Another user of the machine reaches whatever the engine listens on during a call, and
    // the call goes on undisturbed: nothing it listens on takes orders.
    void otherUserGetsNoControl()
    {
        const std::optional<otheruser::Ids> stranger = otheruser::nobody();
        if (!stranger)
            QSKIP("needs root and the user nobody to act as a second user");
        BaresipCall call;
        Spies spies(call);
        QVERIFY(callUp(call, spies, m_centre));
        const qint64 pid = call.engineProcessId();
        const QList<quint16> ports = listeningPorts(pid);
        QVERIFY2(!ports.isEmpty(), "the engine listens for SIP over TCP");
        for (quint16 port : ports)
            QCOMPARE(strangerTalksTo(*stranger, port), QByteArray("connected"));
        call.sendDigits(QStringLiteral("135#"));
        QVERIFY(spies.played.wait(CallMs));
        QCOMPARE(call.state(), BaresipCall::State::Up);
        QCOMPARE(call.engineProcessId(), pid);
        keyThenHangUp(call, spies, m_centre, {}, "135#");
    }
    // At the program's end during a call (the window's part is tst_sipwindow's): the line
    // hangs up, the engine says goodbye and the centre sees the call end within the wait
    // the window gives it.
    void goodbyeAtExit()
    {
        AppData data; // AutoTransmit 0: the call stage alone, and the line stays up
        QTemporaryDir dir;
        QVERIFY(saveSipFolder(data, dir.path(), m_centre.server()));
        data.history.resize(1);
        EventLoopWaiter waiter;
        SipLine line(data.settings, waiter, nullptr);
        SingleLine lines(line);
        ConsoleFrontEnd view(data);
        view.mail = QStringLiteral("ABC");
        SendEngine engine(data, lines, view);
        QVERIFY(pressAndSettle(
            engine, [&] { engine.send(); }, CallMs));
        QVERIFY(engine.lineOpen());
        QElapsedTimer clock;
        clock.start();
        engine.hangUpForExit();
        QVERIFY(engine.lineEnding());
        qint64 ended = -1;
        engine.whenLineEnded(this, [&] { ended = clock.elapsed(); });
        QTRY_VERIFY_WITH_TIMEOUT(ended >= 0, CallMs);
        QVERIFY2(ended < frmMain::GoodbyeMs, qPrintable(QString::number(ended)));
        const QByteArray call = m_centre.waitCall(frmMain::GoodbyeMs);
        QVERIFY2(!call.isEmpty() && !call.contains("dropped"), call.constData());
        QVERIFY2(clock.elapsed() < frmMain::GoodbyeMs, qPrintable(QString::number(clock.elapsed())));
        bool again = false;
        engine.whenLineEnded(this, [&] { again = true; });
        QVERIFY(again); // nothing left to wait for
    }
    // fumidori-send with device kind 10: without a keyring a clear refusal before any call;
    // with a password file (an empty one: no registration) a whole call and its record.
    void scriptSends()
    {
        QTemporaryDir dir;
        AppData data;
        QVERIFY(saveSipFolder(data, dir.path(), m_centre.server()));
        QProcessEnvironment noKeyring = QProcessEnvironment::systemEnvironment();
        noKeyring.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                         QStringLiteral("unix:path=") + dir.filePath("no-bus"));

        auto [status, said] = sendFromScript(dir.path(), {}, noKeyring);
        QVERIFY2(status == 2 && said.contains(QLatin1String("--sip-password-file")), qPrintable(said));

        const QString passwordFile = dir.filePath(QStringLiteral("password"));
        QVERIFY(writePasswordFile(passwordFile, {}));
        std::tie(status, said) = sendFromScript(dir.path(), {"--sip-password-file", passwordFile}, noKeyring);
        QVERIFY2(status == 0, qPrintable(said));
        const QByteArray call = m_centre.waitCall();
        QVERIFY2(wholeCall(call), call.constData());
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
        QVERIFY(writePasswordFile(passwordFile, password + '\n'));
        std::tie(status, said) = sendFromScript(dir.path(), {"--sip-password-file", passwordFile}, noKeyring);
        QVERIFY2(status == 1 && said.contains(QLatin1String("501")), qPrintable(said));
        QVERIFY(readFileBytes(dir.filePath(QStringLiteral("log/line.log"))).contains(" sip ! end: failed: "));
        QCOMPARE(filesHolding(dir.path(), password), QStringList{passwordFile});
    }
    // Settings or a password the engine cannot take: exit 2 before any call, the reason said.
    void scriptRefusesBadSettings_data()
    {
        const ScriptRefusesBadSettings row;
        const QString server = m_centre.server();
        row("server with a parameter", server + ";lr", "fumidori", {}, "ホスト名");
        row("no server", "", "fumidori", {}, "設定されていません");
        row("user with a space", server, "fu mi", {}, "ユーザー");
        row("password over the engine's limit", server, "fumidori", QByteArray(63, 'p'), "62 バイト");
        row("password not UTF-8", server, "fumidori", "pass\xff\xfe", "UTF-8");
        row("password line over 4096 bytes", server, "fumidori", QByteArray(5000, 'p'), "4096 バイト");
        row("empty password file path", server, "fumidori", "-", "空のパス");
    }
    void scriptRefusesBadSettings()
    {
        const auto [server, user, password, refusal] = ScriptRefusesBadSettings::row();
        QTemporaryDir dir;
        AppData data;
        QVERIFY(saveSipFolder(data, dir.path(), server));
        data.settings.SipUser = user;
        QVERIFY(!SaveSettingsFile(data));
        QString passwordPath;
        if (password != "-") {
            passwordPath = dir.filePath(QStringLiteral("password"));
            QVERIFY(writePasswordFile(passwordPath, password));
        }
        const QByteArray before = m_centre.out;
        const auto [status, said] = sendFromScript(dir.path(), {"--sip-password-file", passwordPath});
        QVERIFY2(status == 2 && said.contains(refusal), qPrintable(QString::number(status) + u' ' + said));
        QCOMPARE(m_centre.out, before); // no call came
    }

    void callFolder_data()
    {
        const CallFolder row;
        const QString own = QStringLiteral("fumidori-%1").arg(::getuid());
        row("another user's folder where the shared one went, no XDG_RUNTIME_DIR", own, "-", 0, "");
        row("a link where the shared one went", "fumidori", "%D", 0, "");
        row("no folder can be made: the line's fault, tried again", "", "/proc", 1, "フォルダーを作れません");
    }
    // Each call's engine gets a new folder of its own: nothing another user made first in a
    // shared folder stops the page, and a folder that cannot be made is the line's failure.
    void callFolder()
    {
        const auto [planted, runtime, status, said] = CallFolder::row();
        QTemporaryDir dir;
        AppData data;
        QVERIFY(saveSipFolder(data, dir.path(), m_centre.server()));
        const QString shared = dir.filePath(QStringLiteral("tmp")); // a shared temporary folder
        QVERIFY(QDir().mkpath(shared) && ::chmod(QFile::encodeName(shared).constData(), 01777) == 0 &&
                ::chmod(QFile::encodeName(dir.path()).constData(), 0711) == 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), shared);
        if (runtime == u"-")
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        else
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime == u"%D" ? shared : runtime);
        const QByteArray plantedPath = QFile::encodeName(shared + u'/' + planted);
        if (planted.startsWith(u"fumidori-")) {
            const std::optional<otheruser::Ids> nobody = otheruser::nobody();
            if (!nobody)
                QSKIP("needs root and the user nobody, who makes the folder first");
            QVERIFY(otheruser::plant(*nobody, otheruser::Plant::Folder, plantedPath));
        } else if (!planted.isEmpty()) {
            QVERIFY(otheruser::make(otheruser::Plant::Symlink, plantedPath, QFile::encodeName(dir.path())));
        }
        const QString passwordFile = dir.filePath(QStringLiteral("password"));
        QVERIFY(writePasswordFile(passwordFile, {}));
        const QByteArray before = m_centre.out;
        const auto [exit, told] = sendFromScript(dir.path(), {"--sip-password-file", passwordFile}, env);
        QVERIFY2(exit == status && told.contains(said), qPrintable(QString::number(exit) + u' ' + told));
        if (status == 0)
            QVERIFY(wholeCall(m_centre.waitCall()));
        else
            QCOMPARE(m_centre.out, before); // no call came
        // Nothing is left behind, and what was planted stays as it was.
        QStringList left = QDir(shared).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        QCOMPARE(left, planted.isEmpty() ? QStringList() : QStringList{planted});
    }

    // Through a real SIP server: Kamailio on loopback as registrar and proxy, challenging
    // REGISTER and INVITE with digest authentication against a fixed password, relaying
    // the call to the centre. Each row: fumidori-send with the account's settings and
    // password file; its exit status, what it said, and where the call went through, the
    // centre's decoded digits.
    void sendsThroughTheServer_data()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("kamailio"), {"/usr/sbin", "/usr/bin"}).isEmpty() ||
            !QFileInfo::exists(QStringLiteral("/usr/lib/x86_64-linux-gnu/kamailio/modules/tls.so")))
            QSKIP("kamailio or kamailio-tls-modules is not installed");
        if (const QString problem = m_server.start(m_centre.port); !problem.isEmpty())
            QSKIP(qPrintable(problem));
        const SendsThroughTheServer row;
        row("UDP", "udp", "", "", Password, 0, "");
        row("TCP", "tcp", "", "", Password, 0, "");
        row("TLS", "tls", "tls", "", Password, 0, "");
        row("TCP through an outbound proxy", "tcp", "sip.example.invalid", "server", Password, 0, "");
        row("wrong password", "udp", "", "", "Pw-5541-wrong", 2, "401 Unauthorized");
        row("wrong password over TLS", "tls", "tls", "", "x", 2, "401 Unauthorized");
        row("server down", "tcp", "down", "", Password, 1, "Connection refused");
    }
    void sendsThroughTheServer()
    {
        auto [transport, server, proxy, password, status, said] = SendsThroughTheServer::row();
        const QString own = QStringLiteral("127.0.0.1:%1").arg(m_server.port);
        if (server.isEmpty())
            server = own;
        else if (server == QLatin1String("tls"))
            server = QStringLiteral("127.0.0.1:%1").arg(m_server.port + 1);
        else if (server == QLatin1String("down"))
            server = QStringLiteral("127.0.0.1:%1").arg(baresip::freePorts(QStringLiteral("127.0.0.1"))->sip);
        QTemporaryDir dir;
        AppData data;
        QVERIFY(saveSipFolder(data, dir.path(), server));
        data.settings.SipTransport = transport;
        data.settings.SipProxy = proxy.isEmpty() ? QString() : own;
        QVERIFY(!SaveSettingsFile(data));
        const QString passwordFile = dir.filePath(QStringLiteral("password"));
        QVERIFY(writePasswordFile(passwordFile, password + '\n'));

        const QByteArray before = m_centre.out;
        const auto [exitStatus, message] = sendFromScript(dir.path(), {"--sip-password-file", passwordFile});
        if (const QString trouble = m_server.trouble(); !trouble.isEmpty())
            QSKIP(qPrintable(trouble)); // the server's failure, not the sender's
        QVERIFY2(exitStatus == status && message.contains(said),
                 qPrintable(QStringLiteral("%1: %2").arg(exitStatus).arg(message)));
        if (status == 0) {
            const QByteArray call = m_centre.waitCall();
            QVERIFY2(wholeCall(call), call.constData());
        } else {
            QCOMPARE(m_centre.out, before); // no call came
        }
    }

private:
    // Keys each piece once the one before has played, with the line up, hangs up, and checks
    // that the call ended neither failed nor dropped and that the centre received the keys.
    void keyThenHangUp(BaresipCall &call, Spies &spies, Centre &centre, const QStringList &pieces,
                       const QByteArray &received)
    {
        for (const QString &piece : pieces) {
            call.sendDigits(piece);
            QVERIFY(spies.played.wait(CallMs));
            QCOMPARE(call.state(), BaresipCall::State::Up);
        }
        call.hangUp();
        QVERIFY(spies.end());
        QVERIFY2(spies.failed.isEmpty() && spies.dropped.isEmpty(), qPrintable(failure(spies.failed)));
        const QByteArray report = centre.waitCall();
        QVERIFY2(report.startsWith("received: " + received + '\n'), report.constData());
    }
    // Places a call on the centre and waits until the line is up.
    bool callUp(BaresipCall &call, Spies &spies, const Centre &centre)
    {
        call.call(account(centre.server(), QStringLiteral("fumidori")), CentreNumber);
        (void)QTest::qWaitFor([&] { return !spies.established.isEmpty() || !spies.ended.isEmpty(); }, CallMs);
        if (spies.established.isEmpty())
            qWarning() << "no line:" << failure(spies.failed);
        return !spies.established.isEmpty();
    }

    Centre m_centre;
    Centre m_hangingCentre; // hangs up after sixteen digits
    SipServer m_server;     // started by the test that uses it
};

QTEST_MAIN(TestSip)
#include "tst_sip.moc"
