// The Internet telephone line against a real SIP server: Kamailio on loopback as
// registrar and proxy, challenging REGISTER and INVITE with digest authentication
// against a fixed password, relaying the call to the centre (a second baresip).
#include "modem/baresipconfig.h"
#include "support/filehelpers.h"
#include "support/server.h"
#include "support/siprig.h"
#include "support/table.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace siprig;

namespace
{

const QByteArray Password = "Pw-5541-right";

// Kamailio with a configuration of its own in a temporary folder: UDP and TCP on port,
// TLS on port + 1 with a certificate made here.
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

// server: "" the server's UDP/TCP port, "tls" its TLS port, "down" a dead one; proxy: "" none, "server" the server as
// outbound proxy
using SendsThroughTheServer = table::Of<QString, QString, QString, QByteArray, int, QString>;

class TestSipServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("baresip")).isEmpty() || baresip::modulePath().isEmpty())
            QSKIP("baresip (baresip-core) is not installed");
        if (QStandardPaths::findExecutable(QStringLiteral("kamailio"), {"/usr/sbin", "/usr/bin"}).isEmpty() ||
            !QFileInfo::exists(QStringLiteral("/usr/lib/x86_64-linux-gnu/kamailio/modules/tls.so")))
            QSKIP("kamailio or kamailio-tls-modules is not installed");
        QVERIFY(m_centre.start());
        const QString problem = m_server.start(m_centre.port);
        if (!problem.isEmpty())
            QSKIP(qPrintable(problem));
    }
    // Each row: fumidori-send with the account's settings and password file; its exit
    // status, what it said, and where the call went through, the centre's decoded digits.
    void sendsThroughTheServer_data()
    {
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

        const auto [exitStatus, message] = sendFromScript(dir.path(), {"--sip-password-file", passwordFile});
        if (const QString trouble = m_server.trouble(); !trouble.isEmpty())
            QSKIP(qPrintable(trouble)); // the server's failure, not the sender's
        QVERIFY2(exitStatus == status && message.contains(said),
                 qPrintable(QStringLiteral("%1: %2").arg(exitStatus).arg(message)));
        if (status == 0) {
            const QByteArray call = m_centre.waitCall();
            QVERIFY2(wholeCall(call), call.constData());
        } else {
            QVERIFY(!m_centre.out.contains("--\n"));
        }
    }

private:
    Centre m_centre;
    SipServer m_server;
};

QTEST_MAIN(TestSipServer)
#include "tst_sipserver.moc"
