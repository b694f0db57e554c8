// Pages from mail: real-world mails (tests/data/mail) through fumidori-send queue add
// --mail, each with the literal pages it queues or its exit status and nothing queued;
// and the pieces under it as tables: charsets, encoded words, HTML, mail.ini, who may
// send, who is paged, and how a text is fitted to a centre.
#include "support/filehelpers.h"
#include "support/sendrig.h"
#include "support/table.h"

#include "gateway/mailintake.h"
#include "gateway/pages.h"
#include "htmltext.h"
#include "mail/mailcharset.h"
#include "mail/mailparser.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");
const QByteArray MailIni = "[Mail]\nAllowFrom=@example.jp, nagios@example.jp\n"
                           "[Addresses]\noncall=佐藤,鈴木\nteam@example.jp=鈴木\nmixed=佐藤,幽霊\n";

QByteArray mailFile(const QString &name)
{
    return readFileBytes(QStringLiteral(FUMIDORI_TEST_DATA "/mail/") + name);
}

// Mail.ini for the tests of the batch: everyone may send, a long text is split.
const QByteArray SplitIni = "[Mail]\nAllowFrom=*\nSplit=1\n";
// A mail whose text takes three pages on S.
const QByteArray DiskFull = "From: a@example.jp\nSubject: DISK FULL ON WEB01 AND WEB02\n\n\n";

// A folder with the centres C (40 characters) and S (16), the recipients 佐藤 and 鈴木
// on C and 短 on S, the escalation up (佐藤, then 鈴木) with their addresses, mail.ini
// and queue/queue.ini (when given).
QString makeFolder(const QTemporaryDir &dir, const QByteArray &mailIni, const QByteArray &queueIni = {})
{
    AppData data;
    data.folder = dir.path() + u'/';
    data.settings = Settings::defaults();
    data.centers << MessageCenter{QStringLiteral("C"), 0, QStringLiteral("0570000111"), 40, 1, 1, 1}
                 << MessageCenter{QStringLiteral("S"), 0, QStringLiteral("0570000222"), 16, 1, 1, 1};
    data.recipients << Recipient{QStringLiteral("佐藤"), 0, QStringLiteral("09000000001")}
                    << Recipient{QStringLiteral("鈴木"), 0, QStringLiteral("09000000002")}
                    << Recipient{QStringLiteral("短"), 1, QStringLiteral("09000000003")};
    const QString queue = sendqueue::queueFolder(data.folder);
    if (SaveSettingsFile(data) || (!mailIni.isNull() && !writeFileBytes(data.folder + "mail.ini", mailIni)) ||
        (!queueIni.isEmpty() && !(QDir().mkpath(queue) && writeFileBytes(queue + "queue.ini", queueIni))) ||
        !writeFileBytes(data.folder + "oncall.ini", "[Escalation up]\nStep1=佐藤\nStep2=10m 鈴木\n"
                                                    "[Person 佐藤]\nMail=sato@example.jp\n"
                                                    "[Person 鈴木]\nMail=suzuki@example.jp\n"))
        return {};
    return data.folder;
}

// "name|text" of each waiting message, oldest first.
QStringList queued(const QString &folder)
{
    QStringList out;
    for (const sendqueue::Entry &e : sendqueue::list(folder))
        out << e.message.to + u'|' + e.message.text;
    return out;
}

// A 3 MiB PNG's worth of base64 lines.
QByteArray graph()
{
    QByteArray line = QByteArray(57, '\x89').toBase64() + '\n';
    return line.repeated(3 * 1024 * 1024 / line.size());
}

MessageCenter center(int kind, int maxChars)
{
    return MessageCenter{QStringLiteral("C"), qint16(kind), QStringLiteral("0570000111"), qint16(maxChars), 1, 1, 1};
}

enum class Setup { Normal, NoSettings, QueueIsFile };

} // namespace

Q_DECLARE_METATYPE(Setup)

using Charsets = table::Of<QByteArray, QByteArray, QString>;

using Headers = table::Of<QByteArray, QString, QString, bool>;

using Html = table::Of<QString, QString>;

using SettingsRows = table::Of<QByteArray, QStringList, QString, bool, int, QStringList, int>;

using Senders = table::Of<QStringList, QString, bool>;

using AddressesRows = table::Of<QString, QStringList>;

using Texts = table::Of<QString, QString, QString, QString, QString>;

using Fit = table::Of<QString, int, int, bool, int, QStringList>;

// mails: "sender|subject|first line|exit status", {code} standing for the page's code;
// state: the page's at the end
using Acks = table::Of<QStringList, QString>;

// the first delivery's arguments and Message-ID, the second's; the pages queued in all
using Retries = table::Of<QStringList, QString, QStringList, QString, int>;

// arguments, messages waiting before, exit status
using Limits = table::Of<QStringList, int, int>;

using Mails = table::Of<QString, QStringList, QByteArray, Setup, int, QStringList, QString, QStringList>;

class tst_Mail : public QObject
{
    Q_OBJECT
private slots:
    void mails_data()
    {
        const Mails table;
        const QStringList to{"--to", "佐藤"};
        const auto row = [&](const char *name, const char *file, const QStringList &args, int status,
                             const QStringList &pages, const QString &said = {}, const QByteArray &ini = MailIni,
                             Setup setup = Setup::Normal, const QStringList &env = {}) {
            table(name, QString::fromLatin1(file), args, ini, setup, status, pages, said, env);
        };
        // What is paged: one mail of each kind that monitoring sends.
        row("ISO-2022-JP with ① and ㈱", "iso2022jp.eml", to, 0,
            {"佐藤|障害1：ｻーﾊﾞー停止 (株)山田商事の監視より ﾃﾞィｽｸ使用率95％"});
        row("UTF-8 quoted-printable, cut", "utf8-qp.eml", to, 0,
            {"佐藤|PROBLEM： WEB01 ﾀﾞｳﾝ ｻーﾊﾞー WEB01 が応答しません…"});
        row("Shift_JIS base64", "sjis-base64.eml", to, 0, {"佐藤|夜間処理 ﾊﾞッｸｱッﾌﾟ失敗 III号機"});
        row("EUC-JP", "eucjp.eml", to, 0, {"佐藤|LOGWATCH ﾛｸﾞ1異常なし"});
        row("alternative: the plain part", "alternative.eml", to, 0, {"佐藤|PROBLEM： CPU LOAD DB02 の負荷が高い"});
        row("HTML only", "html-only.eml", to, 0, {"佐藤|停止 API が＜停止＞ 5分前"});
        row("an attachment only: the subject", "attachment-only.eml", to, 0, {"佐藤|ｽｷャﾝ完了"});
        row("no subject: the body", "no-subject.eml", to, 0, {"佐藤|BACKUP DONE IN 5 MINUTES"});
        row("3 MiB, the graph after the text", "graph.eml", to, 0, {"佐藤|［ALERTING］ DISK FULL /VAR 98％"});
        row("cron: From_ line, auto-generated", "cron.eml", to, 0,
            {"佐藤|CRON ＜ROOT＠HOST＞ /USR/LOCAL/BIN/CHECK E…"});
        row("template", "iso2022jp.eml", to, 0, {"佐藤|監視： 障害1：ｻーﾊﾞー停止"}, {},
            "[Mail]\nAllowFrom=*\nTemplate={from}: {subject}\n");
        row("split, two parts at most", "alternative.eml", {"--to", "短"}, 0,
            {"短|1/2 PROBLEM： CPU", "短|2/2 LOAD DB02 の…"}, {}, "[Mail]\nAllowFrom=*\nSplit=1\nMaxParts=2\n");
        // Who is paged.
        row("[Addresses]: two names", "utf8-qp.eml", {"--recipient", "oncall@example.jp"}, 0,
            {"佐藤|PROBLEM： WEB01 ﾀﾞｳﾝ ｻーﾊﾞー WEB01 が応答しません…",
             "鈴木|PROBLEM： WEB01 ﾀﾞｳﾝ ｻーﾊﾞー WEB01 が応答しません…"});
        row("unknown extension", "no-subject.eml", {"--recipient", "oncall+ghost@example.jp"}, 67, {}, "ghost");
        row("one unknown name of two: none queued", "no-subject.eml", {"--recipient", "mixed@example.jp"}, 67, {},
            "幽霊");
        row("unknown --to", "no-subject.eml", {"--to", "幽霊"}, 67, {}, "幽霊");
        // An escalation: its first step, the code kept at the end of a text cut to fit.
        row("--to an escalation", "utf8-qp.eml", {"--to", "up"}, 0,
            {"佐藤|PROBLEM： WEB01 ﾀﾞｳﾝ ｻーﾊﾞー WEB01… #{ack}"});
        row("[Addresses] naming an escalation", "no-subject.eml", {"--recipient", "alert@example.jp"}, 0,
            {"鈴木|BACKUP DONE IN 5 MINUTES", "佐藤|BACKUP DONE IN 5 MINUTES #{ack}"}, {},
            "[Mail]\nAllowFrom=*\n[Addresses]\nalert=up, 鈴木\n");
        row("no recipient at all", "no-subject.eml", {}, 67, {}, "--recipient");
        row("local delivery's variables", "no-subject.eml", {}, 0, {"鈴木|BACKUP DONE IN 5 MINUTES"}, {}, MailIni,
            Setup::Normal, {"SENDER=x@example.jp", "ORIGINAL_RECIPIENT=鈴木@example.jp"});
        row("options before the variables", "no-subject.eml", {"--sender", "x@example.jp", "--recipient", "佐藤@x"}, 0,
            {"佐藤|BACKUP DONE IN 5 MINUTES"}, {}, MailIni, Setup::Normal,
            {"SENDER=spam@evil.example", "ORIGINAL_RECIPIENT=鈴木@example.jp"});
        row("SENDER empty: the null sender", "no-subject.eml", to, 0, {}, "null sender", MailIni, Setup::Normal,
            {"SENDER="});
        // Who may send.
        row("sender not allowed", "no-subject.eml", to + QStringList{"--sender", "spam@evil.example"}, 77, {},
            "spam@evil.example");
        row("a sender's controls escaped", "no-subject.eml", to + QStringList{"--sender", "ev\x1b[2Jil\r\n@x"}, 77, {},
            "<ev\\x1b[2Jil\\x0d\\x0a@x>");
        row("envelope before From", "iso2022jp.eml", to + QStringList{"--sender", "x@example.jp.evil.example"}, 77, {},
            "x@example.jp.evil.example");
        row("no AllowFrom: nobody", "no-subject.eml", to, 77, {}, "AllowFrom=", "[Mail]\n");
        row("no mail.ini: nobody", "no-subject.eml", to, 77, {}, "AllowFrom=", QByteArray());
        row("vacation reply", "vacation.eml", to, 0, {}, "auto-replied");
        row("null sender", "bounce.eml", to + QStringList{"--sender", ""}, 0, {}, "null sender");
        row("null sender as pipe(8) says it", "bounce.eml", to + QStringList{"--sender", "MAILER-DAEMON"}, 0, {},
            "null sender");
        // What cannot be paged, and what should be tried again later.
        row("nothing to page", "empty.eml", to, 65, {}, "no subject");
        row("nothing codable", "emoji.eml", to, 65, {}, "no character");
        row("no settings in the folder", "no-subject.eml", to, 75, {}, "Fumidori.ini", MailIni, Setup::NoSettings);
        row("queue cannot be written", "no-subject.eml", to, 75, {}, "queue", MailIni, Setup::QueueIsFile);
    }
    void mails()
    {
        const auto [file, args, mailIni, setup, status, pages, said, env] = Mails::row();
        QTemporaryDir dir;
        const QString folder = makeFolder(dir, mailIni);
        QVERIFY(!folder.isEmpty());
        if (setup == Setup::NoSettings)
            QVERIFY(QFile::remove(folder + QLatin1String(settingsfile::FileName)));
        if (setup == Setup::QueueIsFile)
            QVERIFY(writeFileBytes(sendqueue::queueFolder(folder).chopped(1), "not a folder"));
        QByteArray mail = file == QLatin1String("empty.eml") ? QByteArray("From: a@example.jp\n\n\n")
                          : file == QLatin1String("emoji.eml")
                              ? QByteArray("From: a@example.jp\nSubject: =?UTF-8?B?8J+YgA==?=\n\n\xF0\x9F\x98\x80\n")
                              : mailFile(file);
        QVERIFY(!mail.isEmpty());
        mail.replace("@GRAPH@\n", graph());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("SENDER"));
        environment.remove(QStringLiteral("ORIGINAL_RECIPIENT"));
        for (const QString &variable : env)
            environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
        const ToolRun r = runTool(Tool, QStringList{"--folder", folder, "--quiet", "queue", "add", "--mail"} + args,
                                  mail, environment);
        QVERIFY2(r.exitCode == status, qPrintable(QString::number(r.exitCode) + ": " + r.err));
        QVERIFY2(r.err.contains(said), qPrintable(r.err));
        if (status != 0) // the one-line reason the mail server bounces with
            QCOMPARE(r.err.count(u'\n'), 1);
        if (setup != Setup::QueueIsFile)
            QCOMPARE(queued(folder).replaceInStrings(QRegularExpression(QStringLiteral(" #[0-9]{6}$")),
                                                     QStringLiteral(" #{ack}")),
                     pages);
        QCOMPARE(QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts).size(), pages.size()); // the ids
    }
    // The mail server delivers a mail again when it lost the answer: a mail taken already
    // (its Message-ID, to the same people) pages nobody twice, whatever DedupFor= says.
    void retries_data()
    {
        const Retries row;
        const QStringList to{"--to", "短"};
        row("the same mail again: its parts once", to, "<1@x>", to, "<1@x>", 3);
        row("to another person: paged", to, "<1@x>", {"--to", "佐藤"}, "<1@x>", 4);
        row("another Message-ID: paged", to, "<1@x>", to, "<2@x>", 6);
        row("no Message-ID: paged", to, "", to, "", 6);
    }
    void retries()
    {
        const auto [firstArgs, firstId, againArgs, againId, pages] = Retries::row();
        QTemporaryDir dir;
        const QString folder = makeFolder(dir, SplitIni, "[Queue]\nDedupFor=0\n");
        QVERIFY(!folder.isEmpty());
        for (const auto &[args, id] : {qMakePair(firstArgs, firstId), qMakePair(againArgs, againId)}) {
            const QByteArray mail = id.isEmpty() ? DiskFull : "Message-ID: " + id.toUtf8() + '\n' + DiskFull;
            const ToolRun r = runTool(Tool, QStringList{"--folder", folder, "queue", "add", "--mail"} + args, mail);
            QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        }
        QCOMPARE(queued(folder).size(), pages);
    }
    // Killed the moment its pages begin to reach queue/ (wherever in the batch that is):
    // after the runner's start the mail is queued whole or not at all.
    void killedMidMail()
    {
        QTemporaryDir dir;
        const QString folder = makeFolder(dir, SplitIni, "[Queue]\n");
        QVERIFY(!folder.isEmpty());
        const int events = ::inotify_init1(IN_CLOEXEC);
        QVERIFY(events >= 0 &&
                ::inotify_add_watch(events, QFile::encodeName(sendqueue::queueFolder(folder)).constData(),
                                    IN_CREATE | IN_MOVED_TO) >= 0);
        const auto closeEvents = qScopeGuard([events] { ::close(events); });
        QProcess mail;
        mail.start(Tool, {"--folder", folder, "queue", "add", "--mail", "--to", "短"});
        mail.write(DiskFull);
        QVERIFY(mail.waitForBytesWritten(20000));
        mail.closeWriteChannel();
        pollfd p{events, POLLIN, 0};
        QVERIFY(::poll(&p, 1, 20000) == 1);
        ::kill(pid_t(mail.processId()), SIGKILL);
        QVERIFY(mail.waitForFinished(20000));
        sendqueue::recover(folder);
        const qsizetype pages = queued(folder).size();
        QVERIFY2(pages == 0 || pages == 3, qPrintable(QString::number(pages)));
        QCOMPARE(QDir(sendqueue::queueFolder(folder)).entryList({".new-*", "*.batch"}, QDir::Dirs | QDir::Hidden),
                 QStringList());
    }
    // MaxQueued=: past it queue add is busy (3) and a mail is to be tried again (75), and
    // nothing of the batch is queued.
    void maxQueued_data()
    {
        const Limits row;
        const QStringList add{"queue", "add", "--to", "佐藤", "X"}, mail{"queue", "add", "--mail", "--to", "佐藤"},
            split{"queue", "add", "--mail", "--to", "短"};
        row("queue add below the limit", add, 3, 0);
        row("queue add at the limit", add, 4, 3);
        row("a mail below the limit", mail, 3, 0);
        row("a mail at the limit", mail, 4, 75);
        row("a mail's parts that would pass it", split, 2, 75);
    }
    void maxQueued()
    {
        const auto [args, waiting, status] = Limits::row();
        QTemporaryDir dir;
        const QString folder = makeFolder(dir, SplitIni, "[Queue]\nMaxQueued=4\n");
        QVERIFY(!folder.isEmpty());
        for (int i = 0; i < waiting; ++i) {
            QueuedMessage m;
            m.to = QStringLiteral("鈴木");
            m.text = QString::number(i);
            QVERIFY(sendqueue::add(folder, m).ok());
        }
        const ToolRun r = runTool(Tool, QStringList{"--folder", folder} + args, DiskFull);
        QVERIFY2(r.exitCode == status, qPrintable(QString::number(r.exitCode) + ": " + r.err));
        QCOMPARE(queued(folder).size(), waiting + (status == 0 ? 1 : 0));
        if (status != 0)
            QVERIFY2(r.err.contains("MaxQueued=4"), qPrintable(r.err));
    }
    // queue ack --mail: the code of an open page, from an address of a person it reached.
    void acks_data()
    {
        const Acks row;
        row("from the person's address", {"Sato@Example.jp|Re: {code}||0"}, "acknowledged");
        row("the code on the body's first line", {"sato@example.jp|Re: page|{code} on my way|0"}, "acknowledged");
        row("from another address", {"mallory@example.jp|{code}||77"}, "open");
        row("from someone the page has not reached", {"suzuki@example.jp|{code}||77"}, "open");
        row("a bounce", {"|{code}||0"}, "open");
        row("wrong codes limited", QStringList(5, "sato@example.jp|000000||77") << "sato@example.jp|{code}||77",
            "open");
        row("wrong codes of another sender count apart",
            QStringList(5, "mallory@example.jp|000000||77") << "sato@example.jp|{code}||0", "acknowledged");
    }
    void acks()
    {
        const auto [mails, state] = Acks::row();
        QTemporaryDir dir;
        const QString folder = makeFolder(dir, MailIni);
        QVERIFY(!folder.isEmpty());
        const ToolRun added = runTool(Tool, {"--folder", folder, "queue", "add", "--to", "up", "A"});
        QCOMPARE(added.exitCode, 0);
        const auto page = pages::read(folder, QString::fromUtf8(added.out.trimmed()));
        QVERIFY(page);
        for (QString mail : mails) {
            mail.replace(QStringLiteral("{code}"), page->ack);
            const QStringList f = mail.split(u'|');
            const QByteArray raw =
                "From: " + f[0].toUtf8() + "\nSubject: " + f[1].toUtf8() + "\n\n" + f[2].toUtf8() + "\n";
            const ToolRun r = runTool(Tool, {"--folder", folder, "queue", "ack", "--mail", "--sender", f[0]}, raw);
            QVERIFY2(r.exitCode == f[3].toInt(), qPrintable(mail + ": " + r.err));
        }
        QCOMPARE(pages::read(folder, page->id)->word(), state);
    }
    void charsets_data()
    {
        const Charsets row;
        row("ISO-2022-JP row 13", "\x1b$B-!-j\x1b(BA", "iso-2022-jp", "①㈱A");
        row("ISO-2022-JP IBM row 89", "\x1b$By!\x1b(B", "ISO-2022-JP", "纊");
        row("ISO-2022-JP ESC ( I kana", "\x1b(I1\x1b(Bx", "csISO2022JP", "ｱx");
        row("CP50222 SO/SI kana", "a\x0e\x31\x0f b", "cp50222", "aｱ b");
        row("ISO-2022-JP JIS X 0212: U+FFFD", "\x1b$(D\"/\x1b(B.", "iso-2022-jp", "\uFFFD.");
        row("ISO-2022-JP cut in a pair", "\x1b$B$\"$", "iso-2022-jp", "あ\uFFFD");
        row("ISO-2022-JP 8-bit byte", "a\xff", "iso-2022-jp", "a\uFFFD");
        row("Shift_JIS NEC and IBM", "\x87\x40\xfa\x40", "Shift_JIS", "①ⅰ");
        row("Shift_JIS broken byte", "\x82\xa0\x82", "shift_jis", "あ\uFFFD");
        row("EUC-JP row 13", "\xad\xa1\xa4\xa2", "EUC-JP", "①あ");
        row("unnamed UTF-8", "\xe3\x81\x82", {}, "あ");
        row("US-ASCII holding CP932", "\x82\xa0", "us-ascii", "あ");
        row("unnamed JIS", "\x1b$B$\"\x1b(B", {}, "あ");
        row("Latin-1 through iconv", "caf\xe9", "ISO-8859-1", "café");
        row("a charset nobody knows", "abc", "x-nonsense", "abc");
    }
    void charsets()
    {
        const auto [bytes, charset, text] = Charsets::row();
        QCOMPARE(mailcharset::decode(bytes, charset), text);
    }
    void headers_data()
    {
        const Headers row;
        row("JIS words split inside a pair, folded",
            "Subject: =?ISO-2022-JP?B?GyRCLSEk?=\r\n =?ISO-2022-JP?B?IhsoQg==?=\r\n", "①あ", {}, false);
        row("Q encoding, lower case, language", "Subject: =?iso-2022-jp*ja?Q?=1B$B-j=1B(B_x?=\n", "㈱ x", {}, false);
        row("UTF-8 then JIS, text between", "Subject: =?UTF-8?B?44GC?= - =?ISO-2022-JP?B?GyRCJCQbKEI=?=\n", "あ - い",
            {}, false);
        row("raw JIS, no encoded words", "Subject: \x1b$B-!\x1b(B ok\n", "① ok", {}, false);
        row("raw CP932", "Subject: \x87\x40\n", "①", {}, false);
        row("From name in JIS",
            "From: =?ISO-2022-JP?B?GyRCLSEbKEI=?= <a@example.jp>\nAuto-Submitted: Auto-Replied (vacation)\n", {}, "①",
            true);
        row("a broken word stays", "Subject: =?ISO-2022-JP?B?@@@?= x\n", "x", {}, false);
    }
    void headers()
    {
        const auto [header, subject, fromName, autoReplied] = Headers::row();
        const MailContent mail = parseMail(header + "\nbody\n");
        QVERIFY(mail.readable);
        QCOMPARE(mail.subject.trimmed(), subject);
        QCOMPARE(mail.fromName, fromName);
        QCOMPARE(mail.autoReplied, autoReplied);
        QCOMPARE(mail.body, QStringLiteral("body\n"));
    }
    void html_data()
    {
        const Html row;
        row("blocks and entities", "<p>a&amp;b</p><p>c<br>d</p>", "\na&b\n\nc\nd\n");
        row("no head, script or style",
            "<html><head><title>t</title><style>x</style></head><body><script>s()</script>本文</body>", "本文");
        row("broken markup", "<div><b>x<i>y</div>z", "\nxy\nz");
        row("a meta charset is not obeyed", "<meta charset=\"shift_jis\"><p>日本</p>", "\n日本\n");
        row("nested 200 deep", QString(QStringLiteral("<span>").repeated(200) + QStringLiteral("deep")), "deep");
        row("nested past the parser's limit", QString(QStringLiteral("<span>").repeated(5000) + QStringLiteral("deep")),
            {});
        row("empty", {}, {});
    }
    void html()
    {
        const auto [html, text] = Html::row();
        QCOMPARE(htmlAsText(html), text);
    }
    void settings_data()
    {
        const SettingsRows row;
        row("defaults", {}, {}, "{subject} {body}", false, 3, {}, 0);
        row("all set",
            "[mail]\nallowfrom = A@Example.JP ,@b.jp,,*\nTemplate={body}\nSplit=1\n"
            "MaxParts=9\n[Addresses]\nx=佐藤, 鈴木\n",
            {"a@example.jp", "@b.jp", "*"}, "{body}", true, 9, {"x=佐藤+鈴木"}, 0);
        row("bad values keep defaults", "[Mail]\nSplit=yes\nMaxParts=10\nColour=red\n[Addresses]\nempty=,\n", {},
            "{subject} {body}", false, 3, {}, 4);
        row("MaxParts 0", "[Mail]\nMaxParts=0\n", {}, "{subject} {body}", false, 3, {}, 1);
    }
    void settings()
    {
        const auto [ini, allowFrom, pageTemplate, split, maxParts, addresses, problems] = SettingsRows::row();
        const MailSettings s = MailSettings::fromIni(IniFile::parse(ini));
        QCOMPARE(s.allowFrom, allowFrom);
        QCOMPARE(s.allowListGiven, !allowFrom.isEmpty());
        QCOMPARE(s.pageTemplate, pageTemplate);
        QCOMPARE(s.split, split);
        QCOMPARE(s.maxParts, maxParts);
        QStringList shown;
        for (const auto &[address, names] : s.addresses)
            shown << address + u'=' + names.join(u'+');
        QCOMPARE(shown, addresses);
        QVERIFY2(s.problems.size() == problems, qPrintable(s.problems.join(u'\n')));
    }
    void senders_data()
    {
        const Senders row;
        const QStringList list{"alert@example.jp", "@ops.example.jp"};
        row("address, other case", list, "Alert@Example.JP", true);
        row("domain", list, "x@ops.example.jp", true);
        row("subdomain is another domain", list, "x@a.ops.example.jp", false);
        row("domain as a suffix of the local part", list, "x@ops.example.jp@evil.example", false);
        row("longer domain", list, "x@evilops.example.jp", false);
        row("other address", list, "alert2@example.jp", false);
        row("empty sender", list, "", false);
        row("everyone", {"*"}, "anyone@anywhere.example", true);
        row("empty list", {}, "alert@example.jp", false);
    }
    void senders()
    {
        const auto [allowFrom, sender, allowed] = Senders::row();
        QCOMPARE(senderAllowed(allowFrom, sender), allowed);
    }
    void addresses_data()
    {
        const AddressesRows row;
        row("whole address", "Team@Example.jp", {"鈴木"});
        row("local part mapped", "oncall@example.jp", {"佐藤", "鈴木"});
        row("extension, not the local part", "oncall+田中@example.jp", {"田中"});
        row("extension mapped", "pager+oncall@example.jp", {"佐藤", "鈴木"});
        row("plain local part", "yamada@example.jp", {"yamada"});
        row("empty extension", "yamada+@example.jp", {"yamada+"});
        row("no domain", "oncall", {"佐藤", "鈴木"});
    }
    void addresses()
    {
        const auto [address, names] = AddressesRows::row();
        QCOMPARE(namesForAddress(address, MailSettings::fromIni(IniFile::parse(MailIni))), names);
    }
    void texts_data()
    {
        const Texts row;
        const QString plain = QStringLiteral("{subject} {body}");
        row("subject and body", "S", "", "a\r\n b\n\n\tc\n", plain, "S a b c");
        row("signature ends the body", "", "", "a\n-- \nsig\n", plain, "a");
        row("full-width space squeezed", "件名\u3000\u3000本", "", "", plain, "件名 本");
        row("fields never read as fields", "{body}", "", "B", "{subject}/{SUBJECT}", "{body}/{body}");
        row("from: the name, else the address", "", "", "", "<{from}>", "<a@example.jp>");
        row("from name", "", "監視", "", "{from}", "監視");
        row("controls dropped",
            "a\x01"
            "b\u200Bc",
            "", "", plain, "abc");
        row("4096 characters at most", QString(5000, u'x'), "", "tail", plain, QString(4096, u'x'));
    }
    void texts()
    {
        auto [subject, fromName, body, pageTemplate, text] = Texts::row();
        MailContent mail;
        mail.subject = subject;
        mail.fromName = fromName;
        mail.fromAddress = QStringLiteral("a@example.jp");
        mail.body = body;
        QCOMPARE(pageText(mail, pageTemplate), text);
    }
    void fit_data()
    {
        const Fit row;
        row("fits", "ABC", 0, 3, false, 3, {"ABC"});
        row("cut with a mark", "ABCDEF", 0, 4, false, 3, {"ABC…"});
        row("bytes: the mark counts two", "ABCDEF", 2, 4, false, 3, {"AB…"});
        row("surrogate pairs dropped, spaces squeezed", "A 😀 B", 0, 10, false, 3, {"A B"});
        row("nothing left", "😀", 0, 10, false, 3, {});
        row("split in three", "ABCDEFGH", 0, 7, true, 3, {"1/3 ABC", "2/3 DEF", "3/3 GH"});
        row("split, the last part cut", "ABCDEFGHIJKLMN", 0, 6, true, 2, {"1/2 AB", "2/2 C…"});
        row("split no further than needed", "ABCD", 0, 8, true, 9, {"ABCD"});
        row("one part allowed: cut", "ABCDEFGH", 0, 5, true, 1, {"ABCD…"});
        row("no room at all", "ABC", 0, 0, false, 3, {});
    }
    void fit()
    {
        const auto [text, kind, maxChars, split, maxParts, pages] = Fit::row();
        QCOMPARE(fitToCenter(text, center(kind, maxChars), split, maxParts), pages);
    }
    // GMime and libxml2 come with the plugin that queue add --mail loads, never with the program.
    void readerOnlyInItsPlugin()
    {
        const ToolRun send = runTool(QStringLiteral("ldd"), {Tool});
        const ToolRun plugin = runTool(QStringLiteral("ldd"), {QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-mail.so")});
        QVERIFY2(send.exitCode == 0 && plugin.exitCode == 0, qPrintable(send.err + plugin.err));
        for (const char *library : {"libgmime", "libxml2"}) {
            QVERIFY2(!send.out.contains(library), send.out.constData());
            QVERIFY2(plugin.out.contains(library), plugin.out.constData());
        }
    }
};

QTEST_GUILESS_MAIN(tst_Mail)
#include "tst_mail.moc"
