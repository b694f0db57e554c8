// Pages from mail through a real mail server: Postfix started on loopback with a
// configuration of its own (the pipe(8) transport as the README sets it up, and an alias
// for a desktop user), mails sent over SMTP with swaks, bounces caught by a transport of
// their own; then the queued pages sent through the simulator, whose centre decodes them.
// Needs root (Postfix's master and pipe(8)'s user switch); skips with a message otherwise.
#include "support/filehelpers.h"
#include "support/modemsim.h"
#include "support/otheruser.h"
#include "support/sendrig.h"
#include "support/table.h"
#include "support/waituntil.h"

#include "store/appdata.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QDirIterator>
#include <QStandardPaths>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");
const QString Postfix = QStringLiteral("/usr/sbin/postfix");

bool chownTree(const QString &path, uid_t uid, gid_t gid)
{
    bool ok = ::chown(QFile::encodeName(path).constData(), uid, gid) == 0;
    for (QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();)
        ok = ::lchown(QFile::encodeName(it.next()).constData(), uid, gid) == 0 && ok;
    return ok;
}

// Read as files, not as the runner reads them: the deliveries' files are nobody's, and
// the spool takes no file of another user for a message.
QStringList queuedTexts(const QString &folder)
{
    QStringList out;
    const QString queue = sendqueue::queueFolder(folder);
    for (const QString &name : QDir(queue).entryList({QStringLiteral("*.msg")}, QDir::Files, QDir::Name)) {
        QueuedMessage m;
        if (!sendqueue::fromJson(readFileBytes(queue + name), &m))
            out << m.to + u'|' + m.text;
    }
    return out;
}

} // namespace

// queued: everything queued once this mail is taken; bounced: what the bounce to the sender says
using Deliveries = table::Of<QString, QString, QString, QStringList, QString>;

class tst_MailServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("Postfix's master and pipe(8) need root: run as root (as CI does)");
        if (!QFileInfo(Postfix).isExecutable() || QStandardPaths::findExecutable(QStringLiteral("swaks")).isEmpty())
            QSKIP("Postfix or swaks is not installed (scripts/setup installs them where no other mail server is)");
        const std::optional<otheruser::Ids> nobody = otheruser::nobody(), postfixUser = otheruser::named("postfix");
        if (!nobody || !postfixUser)
            QSKIP("no users nobody and postfix on this machine");
        m_root = m_dir.path() + u'/';
        m_folder = m_root + QStringLiteral("folder/");
        m_caught = m_root + QStringLiteral("caught");
        m_config = m_root + QStringLiteral("etc");
        for (const char *sub : {"etc", "spool", "data", "caught", "folder/queue", "bin"})
            QVERIFY(QDir().mkpath(m_root + QLatin1String(sub)));
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        // The address book: one centre without waits, 佐藤 and 鈴木; senders from example.jp.
        AppData data;
        data.folder = m_folder;
        data.settings = Settings::defaults();
        data.settings.MailInterval = 0;
        data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), 40, 0, 0, 0};
        data.recipients << Recipient{QStringLiteral("佐藤"), 0, QStringLiteral("09000000001")}
                        << Recipient{QStringLiteral("鈴木"), 0, QStringLiteral("09000000002")};
        QVERIFY(!SaveSettingsFile(data));
        QVERIFY(
            writeFileBytes(m_folder + "mail.ini", "[Mail]\nAllowFrom=@example.jp\n[Addresses]\noncall=佐藤,鈴木\n"));
        // The deliveries run as nobody, as pipe(8) and the alias's command do for a user of their own.
        QVERIFY(chownTree(m_folder, nobody->uid, nobody->gid));
        QVERIFY(::chmod(QFile::encodeName(m_folder).constData(), 0700) == 0);
        QVERIFY(chownTree(m_caught, nobody->uid, nobody->gid));
        QVERIFY(chownTree(m_root + "data", postfixUser->uid, postfixUser->gid));

        // What pipe(8) runs, where its user may reach it: the build folder may lie in a
        // home folder others cannot enter.
        QVERIFY(::chmod(QFile::encodeName(m_root + "bin").constData(), 0755) == 0);
        for (const char *file : {"fumidori-send", "fumidori-mail.so"}) {
            const QString copy = m_root + "bin/" + file;
            QVERIFY(QFile::copy(QStringLiteral(FUMIDORI_BIN_DIR "/") + file, copy));
            QVERIFY(::chmod(QFile::encodeName(copy).constData(), 0755) == 0);
        }
        const QByteArray tool = QFile::encodeName(m_root + "bin/fumidori-send");

        m_port = freePort();
        QVERIFY(m_port > 0);
        const QByteArray root = QFile::encodeName(m_root);
        // @ stands for the test's root; the last lines are the README's, with this test's names.
        QByteArray mainCf =
            "compatibility_level = 3.6\nqueue_directory = @spool\ndata_directory = @data\n"
            "mail_owner = postfix\nsetgid_group = postdrop\n"
            "myhostname = gateway.test\nmydomain = gateway.test\nmyorigin = gateway.test\n"
            "mydestination = local.test\ninet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
            "mynetworks = 127.0.0.0/8\nsmtputf8_enable = no\nbiff = no\ndefault_privs = nobody\n"
            "maillog_file = @maillog\nmaillog_file_prefixes = @\n"
            "relay_domains = pager.test\ntransport_maps = texthash:@etc/transport\n"
            "fumidori_destination_recipient_limit = 1\n"
            "alias_maps = texthash:@etc/aliases\nalias_database =\nlocal_recipient_maps = $alias_maps\n";
        QVERIFY(writeFileBytes(m_config + "/main.cf", mainCf.replace("@", root)));
        QVERIFY(writeFileBytes(m_config + "/transport", "pager.test fumidori:\nexample.jp catch:\nevil.test catch:\n"));
        QVERIFY(writeFileBytes(m_config + "/aliases", "pager \"|" + tool + " --folder " + QFile::encodeName(m_folder) +
                                                          " queue add --mail --to 鈴木\"\n"));
        QByteArray master = "127.0.0.1:" + QByteArray::number(m_port) + " inet n - n - - smtpd\n";
        for (const char *service :
             {"pickup unix n - n 60 1 pickup", "cleanup unix n - n - 0 cleanup", "qmgr unix n - n 300 1 qmgr",
              "rewrite unix - - n - - trivial-rewrite", "bounce unix - - n - 0 bounce", "defer unix - - n - 0 bounce",
              "trace unix - - n - 0 bounce", "verify unix - - n - 1 verify", "flush unix n - n 1000? 0 flush",
              "proxymap unix - - n - - proxymap", "showq unix n - n - - showq", "error unix - - n - - error",
              "retry unix - - n - - error", "discard unix - - n - - discard", "local unix - n n - - local",
              "anvil unix - - n - 1 anvil", "scache unix - - n - 1 scache", "postlog unix-dgram n - n - 1 postlogd"})
            master += QByteArray(service) + '\n';
        master += "fumidori unix - n n - - pipe\n  flags=Rq user=nobody argv=" + tool + " --folder " +
                  QFile::encodeName(m_folder) +
                  " queue add --mail --sender ${sender} --recipient ${original_recipient}\n"
                  "catch unix - n n - - pipe\n  flags=R user=nobody argv=/usr/bin/tee " +
                  QFile::encodeName(m_caught) + "/${queue_id}\n";
        QVERIFY(writeFileBytes(m_config + "/master.cf", master));

        // Started in the foreground of its script: it returns once the master listens.
        const ToolRun start = runTool(Postfix, {"-c", m_config, "start"});
        if (start.exitCode != 0)
            QSKIP(qPrintable("Postfix cannot start here: " + start.err + readFileBytes(m_root + "maillog")));
        m_started = true;
    }
    void cleanupTestCase()
    {
        if (m_started)
            runTool(Postfix, {"-c", m_config, "stop"});
    }
    void deliveries_data()
    {
        const Deliveries row;
        const QString page = QStringLiteral("障害1：ｻーﾊﾞー停止 (株)山田商事の監視より ﾃﾞィｽｸ使用率95％");
        const QStringList both{u"佐藤|"_qs + page, u"鈴木|"_qs + page};
        row("pipe transport, [Addresses]", "alert@example.jp", "oncall@pager.test", "iso2022jp.eml", both, {});
        row("alias of a desktop user", "alert@example.jp", "pager@local.test", "no-subject.eml",
            both + QStringList{"鈴木|BACKUP DONE IN 5 MINUTES"}, {});
        row("unknown recipient bounces, named", "alert@example.jp", "ghost@pager.test", "no-subject.eml",
            both + QStringList{"鈴木|BACKUP DONE IN 5 MINUTES"}, "unknown recipient: ghost");
        row("sender not allowed bounces", "spam@evil.test", "oncall@pager.test", "no-subject.eml",
            both + QStringList{"鈴木|BACKUP DONE IN 5 MINUTES"}, "sender <spam@evil.test> may not page");
    }
    void deliveries()
    {
        const auto [from, to, file, queued, bounced] = Deliveries::row();
        const QStringList caughtBefore = QDir(m_caught).entryList(QDir::Files);
        const ToolRun sent = runTool(QStringLiteral("swaks"),
                                     {"--server", QStringLiteral("127.0.0.1:%1").arg(m_port), "--from", from, "--to",
                                      to, "--data", "-", "--silent", "2"},
                                     readFileBytes(QStringLiteral(FUMIDORI_TEST_DATA "/mail/") + file));
        QVERIFY2(sent.exitCode == 0, qPrintable(sent.err + sent.out));
        if (bounced.isEmpty()) {
            QVERIFY2(waitUntil([&] { return queuedTexts(m_folder).size() >= queued.size(); },
                               {sendqueue::queueFolder(m_folder)}, 30000),
                     readFileBytes(m_root + "maillog").constData());
        } else {
            // The bounce reaches the sender's domain, whose transport keeps it in caught/.
            const auto bounce = [&] {
                for (const QString &name : QDir(m_caught).entryList(QDir::Files)) {
                    const QByteArray text = readFileBytes(m_caught + u'/' + name);
                    if (!caughtBefore.contains(name) && text.contains(bounced.toUtf8()) &&
                        text.contains("Final-Recipient: rfc822; " + to.toUtf8()))
                        return true;
                }
                return false;
            };
            QVERIFY2(waitUntil(bounce, {m_caught}, 30000), readFileBytes(m_root + "maillog").constData());
        }
        QCOMPARE(queuedTexts(m_folder), queued);
    }
    void pagesReachTheCentre()
    {
        const QStringList queued = queuedTexts(m_folder);
        QCOMPARE(queued.size(), 3);
        // The runner as the folder's owner: here root, as the simulator's terminal is root's.
        QVERIFY(chownTree(m_folder, 0, 0));
        ModemSim sim;
        QVERIFY(sim.start(m_folder, 1));
        QProcess run;
        run.start(Tool, {"--folder", m_folder, "--quiet", "queue", "run"});
        QVERIFY(run.waitForStarted());
        QStringList decoded = sim.field("message", queued.size());
        run.terminate();
        QVERIFY(run.waitForFinished(10000));
        QStringList expected;
        for (const QString &q : queued)
            expected << q.section(u'|', 1);
        decoded.sort();
        expected.sort();
        QCOMPARE(decoded, expected);
        QCOMPARE(sendqueue::list(m_folder).size(), 0);
    }

private:
    TempDir m_dir;
    QString m_root, m_folder, m_caught, m_config;
    int m_port = 0;
    bool m_started = false;
};

QTEST_GUILESS_MAIN(tst_MailServer)
#include "tst_mailserver.moc"
