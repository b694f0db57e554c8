// fumidori-send: the queue runner over a scripted call driver (retries, failures that
// go to failed/, hooks, stop and recovery), the checks before dialling, and the
// program's exit statuses; with the window, the history merge at save and the line's
// lock between processes.
#include "support/fakeport.h"
#include "support/filehelpers.h"
#include "support/otheruser.h"
#include "support/scriptedrunner.h"
#include "support/sendrig.h"
#include "support/server.h"
#include "support/table.h"
#include "support/virtualclock.h"
#include "support/waituntil.h"

#include "gateway/calldriver.h"
#include "gateway/dedup.h"
#include "gateway/mailintake.h"
#include "gateway/pages.h"
#include "gateway/prepare.h"
#include "gateway/queueadd.h"
#include "gateway/queuelines.h"
#include "gateway/queuerunner.h"
#include "http/bodies.h"
#include "modem/devicekind.h"
#include "modem/lockedport.h"
#include "store/apperror.h"
#include "store/historyfile.h"
#include "store/locks.h"
#include "store/settingsfile.h"
#include "tools/send/holdprompt.h"
#include "tools/send/options.h"
#include "tools/send/report.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <QTime>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

Q_DECLARE_METATYPE(Outcome)

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

QueuedMessage message(const QString &to, const QString &text = QStringLiteral("ABC"))
{
    QueuedMessage m;
    m.to = to;
    m.text = text;
    return m;
}

const QString TwoLines = QStringLiteral("[Line a]\nPortNumber=1\n[Line b]\nPortNumber=2\n");

// queue.ini's text with %F for the data folder.
bool writeQueueIni(const QString &folder, QString ini)
{
    return QDir().mkpath(sendqueue::queueFolder(folder)) &&
           writeFileBytes(sendqueue::queueFolder(folder) + "queue.ini", ini.replace("%F", folder).toUtf8());
}

// COM2 and COM3 as files of the folder's own, as COM1 is; a second centre "D".
bool moreLines(const QString &folder)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    if (LoadSettingsFile(data))
        return false;
    data.centers << MessageCenter{QStringLiteral("D"), 0, QStringLiteral("0570000222"), 20, 1, 1, 1};
    return writeFileBytes(folder + "line2", "") && QFile::link(folder + "line2", folder + "ports/COM2") &&
           writeFileBytes(folder + "line3", "") && QFile::link(folder + "line3", folder + "ports/COM3") &&
           !SaveSettingsFile(data);
}

struct Run : RunnerRig<TerminalReporter> {
    explicit Run(QString f) : RunnerRig(std::move(f)) { reporter.quiet = true; }
    // The folder's lines COM2, COM3 and centre D, and the settings of the given queue.ini.
    bool withLines(const QString &ini)
    {
        if (!moreLines(folder) || !writeQueueIni(folder, ini))
            return false;
        loadSettings();
        return true;
    }
    // Queues n messages, to R(i % 3) or all to `to`, each as edit leaves it.
    bool add(int n, const QString &to = {}, const std::function<void(QueuedMessage &, int)> &edit = {})
    {
        for (int i = 0; i < n; ++i) {
            QueuedMessage m = message(to.isEmpty() ? QStringLiteral("R%1").arg(i % 3) : to);
            if (edit)
                edit(m, i);
            if (!sendqueue::add(folder, m).ok())
                return false;
        }
        return true;
    }
};

ToolRun runTool(const QStringList &args, const QByteArray &input = {})
{
    return runTool(Tool, args, input);
}

// History entries known by their recipients, sent at 10:00 and the given seconds.
QList<HistoryEntry> entries(std::initializer_list<std::pair<const char *, int>> list)
{
    QList<HistoryEntry> out;
    for (const auto &[name, second] : list)
        out << HistoryEntry{QString::fromLatin1(name), QStringLiteral("C"),
                            QTime(10, 0).addSecs(second).toString(u"'2026/12/07 'hh:mm:ss"), QStringLiteral("m")};
    return out;
}

constexpr uid_t Nobody = 65534;

// A message file the runner would send to R0, its on-sent hook leaving a mark.
QByteArray trapMessage(const QString &mark)
{
    QueuedMessage m = message(QStringLiteral("R0"));
    m.onSent = QStringLiteral("touch '%1'").arg(mark);
    return sendqueue::toJson(m);
}

// Whether a process ends (or has ended) within five seconds: a process signalled a
// moment ago may still be on its way out.
bool processEnds(const QByteArray &pid)
{
    const int fd = int(::syscall(SYS_pidfd_open, pid.trimmed().toInt(), 0));
    if (fd < 0)
        return errno == ESRCH;
    pollfd ended{fd, POLLIN, 0};
    const bool gone = ::poll(&ended, 1, 5000) == 1;
    ::close(fd);
    return gone;
}

} // namespace

using Deaf = table::Of<bool>;

// Another user's lock on the line: what it is (otheruser::ForeignLock::Kind), on the
// device (else ours), the runner meets file permissions as an ordinary user, it holds the
// line (else the message goes at once), it never clears by itself (told as the line down)
using Foreign = table::Of<int, bool, bool, bool, bool>;

using Planted = table::Of<QByteArray, QString>; // what is planted, a part of the reason

using FolderMode = table::Of<QString, int, QString>; // under the data folder (empty: itself), mode, said

// ini; delays, attempts, on-sent hook, hook timeout (ms), answer limit (s, 0: none); a part
// of the problem told (empty: none)
using QueueIni = table::Of<QByteArray, QList<int>, int, QString, int, int, QString>;

using How = table::Of<QString>;

using Check = table::Of<QString, bool, QString, QString>; // centre, optimise, text, a part of the refusal

using Exit = table::Of<QStringList, QByteArray, int, QString>; // arguments, standard input, status, said

using KindDriven = table::Of<int, bool, bool>; // device kind, on a terminal, driven

// typed before the question, typed after it; 1 play the number, 0 dialled by hand, -1 input closed
using Typed = table::Of<QByteArray, QByteArray, int>;

using PasswordFile = table::Of<QByteArray, int, QString, QString>; // content, mode (-1: none), password, refusal

using Histories = table::Of<QList<HistoryEntry>, QList<HistoryEntry>, QList<HistoryEntry>, int, QStringList>;

using LineIni = table::Of<QString, QString, QStringList>;

// the line held by another program (else the first call fails); let go, or the send
// stopped, within the wait; the outcome's word and a part of its text; calls; its try
using DirectWaits =
    table::Of<bool, bool, QString, QString, int, int>; // queue.ini, a part of the refusal (empty: starts), lines

// queue.ini; the port every call on fails, how (1 NO CARRIER, 2 the device's fault); a
// number that fails on every line; messages, sent; lines that went out of service; calls
// on the dead port (-1: not counted); centre D's line for the last message
using Failover = table::Of<QString, int, int, QString, int, int, QStringList, int, QString>;

using AddIni = table::Of<QString, QString, QString>; // queue.ini, centre, a part of the refusal (empty: queued)

// A batch ("R0": a name, "#DIGITS@CENTRE": a number, "=TEXT" after either: its text, else
// "A"), queue.ini; the message refused (-1: all queued), why, and a part of the refusal as
// the command line, HTTP and mail word it, with mail's exit status.
using Batch = table::Of<QStringList, QString, int, Refused, QString, QString, QString, int>;

// oncall.ini, --to, the messages queued "TO: WHY" joined by "; ", or a part of the refusal
using Pages = table::Of<QByteArray, QString, QString>;
using OnCallAt = table::Of<QString, QString>; // --at, who is on duty
using QuietHours = table::Of<QString, bool>;  // --severity, held
const QByteArray OnCallIni = "[Group pair]\nMembers=R1, R0, R1\n[Escalation up]\nStep1=pair\nStep2=5m R2\n"
                             "[Rota duty]\nCalendar=none.ics\nDefault=R2\n";

class tst_Sender : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<Outcome>(); }
    void init()
    {
        m_folder = makeSendFolder(m_dir.emplace());
        QVERIFY(!m_folder.isEmpty());
        QVERIFY(writeFileBytes(m_folder + "oncall.ini", OnCallIni));
    }
    void retryWaitDoesNotHoldOthers()
    {
        Run run(m_folder);
        QVERIFY(run.add(3));
        run.settings.delays = {3600, 7200};
        run.script.fails = [](int call) { return call == 1; };
        QVERIFY(run.start());
        QVERIFY(run.waitForTries(3));
        QCOMPARE(run.outcomes(), QStringList({"failed", "sent", "sent"}));
        const QList<sendqueue::Entry> left = sendqueue::list(m_folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].message.to, QStringLiteral("R0"));
        QCOMPARE(left[0].message.tried, 1);
        const qint64 due = left[0].message.notBefore - QDateTime::currentMSecsSinceEpoch();
        QVERIFY2(due > 3500 * 1000 && due <= 3600 * 1000, qPrintable(QString::number(due)));
        QCOMPARE(left[0].message.lastError, QStringLiteral("NO CARRIER"));
    }
    // A message whose every call fails is tried attempts + 1 times and given up with the
    // reason; its on-failed hook sees the outcome, the reason (far longer than an environment
    // value may be) cut; a failing on-sent hook changes nothing.
    void attemptsUsedUpAndHooks()
    {
        const QString log = m_folder + "hook.log";
        Run run(m_folder);
        QVERIFY(run.add(1, "R1", [&](QueuedMessage &m, int) {
            m.text = QStringLiteral("テスト");
            m.attempts = 2;
            m.onFailed =
                QStringLiteral("{ env | grep ^FUMIDORI_ | sort; cat \"$FUMIDORI_MESSAGE_FILE\"; } > '%1'").arg(log);
        }));
        QVERIFY(run.add(1, "R2", [](QueuedMessage &m, int) { m.onSent = QStringLiteral("exit 7"); }));
        run.script.fails = [](int call) { return call <= 3; };
        run.script.failText = QString(11000, QChar(0xD55C)); // 한, three bytes each
        QVERIFY(run.start());
        QVERIFY(run.waitForTries(4));
        QCOMPARE(run.outcomes(), QStringList({"failed", "failed", "failed", "sent"}));
        QCOMPARE(run.script.numbers, QStringList({"09000000001", "09000000001", "09000000001", "09000000002"}));
        const QList<sendqueue::Entry> left = sendqueue::list(m_folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].state, sendqueue::State::Failed);
        QCOMPARE(left[0].message.tried, 3);
        QVERIFY(left[0].message.failure.startsWith(QStringLiteral("3 回試しても送れませんでした")));
        QVERIFY(left[0].message.failure.toUtf8().size() <= sendqueue::MaxFieldBytes);
        QVERIFY(run.waitForIdle()); // after the last hook
        const QStringList lines = QString::fromUtf8(readFileBytes(log)).split(u'\n');
        QCOMPARE(lines.mid(0, 8),
                 QStringList({"FUMIDORI_ATTEMPT=3", "FUMIDORI_CENTER=C", "FUMIDORI_EXIT=1",
                              "FUMIDORI_ID=" + left[0].message.id, "FUMIDORI_LINE=COM1",
                              "FUMIDORI_MESSAGE_FILE=" + lines[5].mid(22), lines[6], "FUMIDORI_RECIPIENT=R1"}));
        const QByteArray reason = readFileBytes(log).split('\n').value(6);
        QVERIFY2(reason.startsWith(QStringLiteral("FUMIDORI_REASON=한한").toUtf8()), reason.left(40).constData());
        QVERIFY2(reason.size() - 16 > 4000 && reason.size() - 16 <= Hook::MaxValueBytes, reason.right(40).constData());
        QCOMPARE(lines.mid(8), QStringList({"FUMIDORI_STATUS=failed", "テスト"}));
        QVERIFY(!QFile::exists(lines[5].mid(22))); // the message file goes with the hook
    }
    // A stop during a call: the call hangs up, or, when it does not end within the limit,
    // is cut off; either way the message stays queued as it was.
    void stopLeavesMessageQueued_data()
    {
        const Deaf row;
        row("the call hangs up", false);
        row("the call never ends", true);
    }
    void stopLeavesMessageQueued()
    {
        const auto [deaf] = Deaf::row();
        QueuedMessage m = message("R1");
        QVERIFY(sendqueue::add(m_folder, m).ok());
        Run run(m_folder);
        run.script.hang = true;
        run.script.deaf = deaf;
        run.settings.stopLimitMs = 100;
        QVERIFY(run.start());
        QVERIFY(run.waitForCalls(1));
        QCOMPARE(run.script.calls, 1);
        QCOMPARE(sendqueue::list(m_folder).value(0).state, sendqueue::State::Sending);
        QVERIFY(run.stop());
        const QList<sendqueue::Entry> left = sendqueue::list(m_folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].state, sendqueue::State::Waiting);
        QCOMPARE(left[0].message, m);
    }
    // A runner killed in a call left its message in work/: the next runner sends it; one
    // killed after giving a message up sends it to failed/.
    void recoversAfterKill()
    {
        QueuedMessage taken = message("R1"), givenUp = message("R2");
        QVERIFY(sendqueue::add(m_folder, taken).ok() && sendqueue::add(m_folder, givenUp).ok());
        QVERIFY(sendqueue::take(m_folder, taken.id).ok() && sendqueue::take(m_folder, givenUp.id).ok());
        givenUp.failure = QStringLiteral("too long");
        QVERIFY(writeFileBytes(sendqueue::workFolder(m_folder) + givenUp.id + ".msg", sendqueue::toJson(givenUp)));
        QVERIFY(writeFileBytes(sendqueue::queueFolder(m_folder) + "x.msg.Ab12Cd", "{\"to\":")); // a writer's remains
        Run run(m_folder);
        QVERIFY(run.start());
        QVERIFY(run.waitForTries(1));
        QCOMPARE(run.outcomes(), QStringList({"sent"}));
        const QList<sendqueue::Entry> left = sendqueue::list(m_folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].message.id, givenUp.id);
        QCOMPARE(left[0].state, sendqueue::State::Failed);
    }
    void spoolCommands()
    {
        QueuedMessage a = message("A"), b = message("B");
        QVERIFY(sendqueue::add(m_folder, a).ok() && sendqueue::add(m_folder, b).ok());
        QVERIFY(a.id < b.id);
        QCOMPARE(sendqueue::waitingIds(m_folder), QStringList({a.id, b.id}));
        using Kind = sendqueue::Result::Kind;
        QVERIFY(sendqueue::take(m_folder, a.id).ok());
        QCOMPARE(sendqueue::take(m_folder, a.id).kind, Kind::NotQueued); // taken once only
        QCOMPARE(sendqueue::drop(m_folder, a.id).kind, Kind::BeingSent);
        QCOMPARE(sendqueue::retry(m_folder, a.id).kind, Kind::BeingSent);
        QVERIFY(sendqueue::fail(m_folder, a, "why", sendqueue::State::Sending).ok());
        QVERIFY(sendqueue::retry(m_folder, a.id).ok());
        QVERIFY(sendqueue::drop(m_folder, b.id).ok());
        QCOMPARE(sendqueue::drop(m_folder, b.id).kind, Kind::NotQueued);
        QCOMPARE(sendqueue::retry(m_folder, "../Fumidori").kind, Kind::BadId);
        const QList<sendqueue::Entry> left = sendqueue::list(m_folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].state, sendqueue::State::Waiting);
        QCOMPARE(left[0].message.failure, QString());
    }
    // queue list: a waiting message is "waiting", and what others wrote (a name, a text, a
    // reason) keeps to its column and never drives the terminal that shows the queue; listed
    // by another user (root on the gateway's folder), a message file of its owner's is shown
    // as his, unread, not as damaged, and the lister is told whom to list the queue as.
    void listQueue()
    {
        QueuedMessage m = message(QStringLiteral("R\x1b[2J0"), QStringLiteral("A\tB"));
        m.lastError = QStringLiteral("x\r\nfumidori-send: \u202Eok");
        QVERIFY(sendqueue::add(m_folder, m).ok());
        const auto list = [&] { return runTool({"--folder", m_folder, "queue", "list"}); };
        ToolRun r = list();
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.count('\n'), 1);
        const QStringList fields = QString::fromUtf8(r.out.chopped(1)).split(u'\t');
        QCOMPARE(fields.size(), 8);
        QCOMPARE(fields[1], QStringLiteral("waiting"));
        QCOMPARE(fields.mid(4, 3), QStringList({"R\\x1b[2J0", "A\\x09B", "x\\x0d\\x0afumidori-send: \\u202eok"}));
        const QByteArray queue = QFile::encodeName(sendqueue::queueFolder(m_folder));
        if (::geteuid() != 0 || ::chown(queue + m.id.toLatin1() + ".msg", Nobody, Nobody) != 0 ||
            ::chown(queue, Nobody, Nobody) != 0)
            QSKIP("another user's queue needs root to make");
        r = list();
        const QStringList row = QString::fromUtf8(r.out).trimmed().split(u'\t');
        QCOMPARE(row.mid(0, 3), QStringList({m.id, "other-user", ""}));
        QVERIFY2(row.value(6).contains("uid 65534"), qPrintable(row.value(6)));
        QVERIFY2(r.err.contains("sudo -u " + QString::fromLocal8Bit(::getpwuid(Nobody)->pw_name)), qPrintable(r.err));
        QCOMPARE(r.exitCode, 0);
    }
    // A message queue add turns away runs --on-failed, as a refused direct send does.
    void refusedAddRunsOnFailed()
    {
        const QString mark = m_folder + "hook";
        const QString hook = "echo \"$FUMIDORI_STATUS $FUMIDORI_EXIT $FUMIDORI_ATTEMPT $FUMIDORI_RECIPIENT\" > " + mark;
        const ToolRun r =
            runTool({"--folder", m_folder, "queue", "add", "--to", "誰でもない", "--on-failed", hook, "T"});
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(QString::fromUtf8(readFileBytes(mark)), QStringLiteral("refused 2 0 誰でもない\n"));
        QCOMPARE(sendqueue::waitingIds(m_folder), QStringList());
    }
    // An installed copy makes its default data folder only when it is the one used.
    void folderGivenMakesNoOther()
    {
        QTemporaryDir root;
        const QString bin = root.path() + "/bin/", home = root.path() + "/home";
        QVERIFY(QDir().mkpath(root.path() + "/share/fumidori") && QDir().mkpath(bin) && QDir().mkpath(home));
        QVERIFY(QFile::copy(Tool, bin + "fumidori-send"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.remove("XDG_DATA_HOME");
        const QString made = home + "/.local/share/fumidori";
        QCOMPARE(runTool(bin + "fumidori-send", {"--folder", m_folder, "queue", "list"}, {}, env).exitCode, 0);
        QVERIFY(!QFileInfo::exists(made));
        runTool(bin + "fumidori-send", {"queue", "list"}, {}, env);
        QVERIFY(QFileInfo(made).isDir());
    }
    // Entries no runner may trust: each is listed, then moved to failed/ with its reason,
    // never opened for its contents, followed or sent; no hook of it runs, work/ stays
    // empty, and it can be dropped.
    void oddEntries_data()
    {
        const Planted row;
        row("link to a message of ours", "link", QStringLiteral("シンボリックリンク"));
        row("FIFO", "fifo", QStringLiteral("FIFO"));
        row("folder", "folder", QStringLiteral("フォルダー"));
        row("name not UTF-8", "name", QStringLiteral("UTF-8"));
        row("another user's message with a hook", "foreign", QStringLiteral("uid 65534"));
        row("damaged", "damaged", QStringLiteral("JSON"));
        row("300 MB, refused by its size", "huge", QStringLiteral("大きすぎます"));
        row("text over 64 KiB", "long", QStringLiteral("65537 バイト"));
        // What a killed runner left in work/ is looked at the same way when the next one starts.
        row("link left in work/", "work/link", QStringLiteral("シンボリックリンク"));
        row("FIFO left in work/", "work/fifo", QStringLiteral("FIFO"));
    }
    void oddEntries()
    {
        auto [plant, reason] = Planted::row();
        QString queue = sendqueue::queueFolder(m_folder);
        const QString mark = m_folder + "hook-ran";
        if (plant.startsWith("work/")) {
            queue = sendqueue::workFolder(m_folder);
            plant = plant.mid(5);
        }
        QVERIFY(QDir().mkpath(queue));
        QueuedMessage ahead = message("R1"); // first in the queue: its id is a time
        QVERIFY(sendqueue::add(m_folder, ahead).ok());
        const QByteArray entry = QFile::encodeName(queue) + (plant == "name" ? QByteArray("\xff\xfe") : plant) + ".msg";
        const QString victim = m_folder + "victim.json";
        QVERIFY(writeFileBytes(victim, trapMessage(mark)));
        using enum otheruser::Plant;
        const QMap<QByteArray, otheruser::Plant> made{{"link", Symlink}, {"fifo", Fifo}, {"folder", Folder}};
        if (made.contains(plant)) {
            QVERIFY(otheruser::make(made[plant], entry, QFile::encodeName(victim)));
        } else {
            QByteArray bytes = trapMessage(mark);
            if (plant == "damaged")
                bytes = "{\"to\":";
            if (plant == "long")
                bytes = sendqueue::toJson(message("R0", QString(sendqueue::MaxTextBytes + 1, u'A')));
            const int fd = ::open(entry.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600); // a name Qt cannot spell
            QVERIFY(fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size());
            ::close(fd);
            if (plant == "huge")
                QVERIFY(::truncate(entry.constData(), 300LL * 1024 * 1024) == 0);
            if (plant == "foreign" && (::geteuid() != 0 || ::chown(entry.constData(), Nobody, Nobody) != 0))
                QSKIP("another user's file needs root to plant");
        }
        const QList<sendqueue::Entry> listed = sendqueue::list(m_folder);
        QCOMPARE(listed.size(), 2);
        QVERIFY2(listed[1].problem.contains(reason), qPrintable(listed[1].problem));

        // Set aside at once, while the message ahead of it is still being sent.
        Run run(m_folder);
        run.script.hang = true;
        QVERIFY(run.start());
        QVERIFY(run.waitForCalls(1));
        QCOMPARE(run.script.numbers, QStringList{"09000000001"});
        const QList<sendqueue::Entry> failed = sendqueue::entries(m_folder, sendqueue::State::Failed);
        QCOMPARE(failed.size(), 1);
        QVERIFY(run.stop());
        QVERIFY(!QFile::exists(mark));
        QCOMPARE(readFileBytes(victim), trapMessage(mark));
        QCOMPARE(sendqueue::waitingIds(m_folder), QStringList{ahead.id});
        QCOMPARE(sendqueue::entries(m_folder, sendqueue::State::Sending).size(), 0);
        // A message that is whole under its new name can be tried again; one that is no
        // message of ours cannot.
        const sendqueue::Entry &e = failed[0];
        const QString why = e.problem.isEmpty() ? e.message.failure : e.problem;
        QVERIFY2(why.contains(reason), qPrintable(why));
        if (!e.problem.isEmpty())
            QCOMPARE(sendqueue::retry(m_folder, e.id).kind, sendqueue::Result::Kind::Unusable);
        QVERIFY(sendqueue::drop(m_folder, failed[0].id).ok());
        QCOMPARE(sendqueue::list(m_folder).size(), 1);
        QCOMPARE(
            QDir(sendqueue::failedFolder(m_folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
            QStringList());
    }
    // Folders others could change, or that cannot be written: queue run refuses to start
    // (exit 2) and says why.
    void unsafeFolders_data()
    {
        const FolderMode row; // mode -1: a link to a folder of ours; -2: owned by another user
        row("data folder writable by its group", QString(), 0770, QStringLiteral("chmod go-w"));
        row("queue/ writable by others", "queue", 0757, QStringLiteral("chmod go-w"));
        row("queue/ read-only", "queue", 0555, QStringLiteral("書き込めません"));
        row("failed/ writable by its group", "queue/failed", 0770, QStringLiteral("chmod go-w"));
        row("queue/ a link", "queue", -1, QStringLiteral("リンク"));
        row("work/ another user's", "queue/work", -2, QStringLiteral("uid 65534"));
    }
    void unsafeFolders()
    {
        const auto [path, mode, said] = FolderMode::row();
        const QString at = m_folder + path;
        if (mode == -1) {
            QVERIFY(QDir().mkpath(m_folder + "elsewhere"));
            QVERIFY(QFile::link(m_folder + "elsewhere", at));
        } else {
            QVERIFY(QDir().mkpath(at));
            if (mode == -2 && (::geteuid() != 0 || ::chown(QFile::encodeName(at).constData(), Nobody, Nobody) != 0))
                QSKIP("a folder of another user needs root to make");
            if (mode >= 0)
                QVERIFY(::chmod(QFile::encodeName(at).constData(), mode_t(mode)) == 0);
        }
        const ToolRun r = runTool({"--folder", m_folder, "queue", "run"});
        ::chmod(QFile::encodeName(at).constData(), 0700);
        QVERIFY2(r.exitCode == 2, qPrintable(QString::number(r.exitCode) + ": " + r.err));
        QVERIFY2(r.err.contains(said), qPrintable(r.err));
    }
    // A full disk (a file size limit here) at put-back: the failure is reported, the old file
    // goes back to queue/ (nothing is left in work/), the message is not sent again before
    // its time, and its new contents are written once writing works again.
    void putBackOnFullDisk()
    {
        Run run(m_folder);
        QVERIFY(run.add(2));
        run.settings.delays = {3600};
        run.settings.rewriteMs = 200;
        run.script.fails = [](int) { return true; };
        run.reporter.json = true;
        int events[2];
        QVERIFY(::pipe2(events, O_NONBLOCK | O_CLOEXEC) == 0); // a pipe knows no file size limit
        const int out = ::dup(STDOUT_FILENO);
        QVERIFY(::dup2(events[1], STDOUT_FILENO) >= 0);
        const auto oldSignal = ::signal(SIGXFSZ, SIG_IGN);
        rlimit old = {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        rlimit tiny = old;
        tiny.rlim_cur = 16;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &tiny) == 0);
        const bool started = run.start();
        const bool bothTried = run.waitForTries(2) && run.waitForIdle();
        ::setrlimit(RLIMIT_FSIZE, &old);
        ::signal(SIGXFSZ, oldSignal);
        std::fflush(stdout);
        ::dup2(out, STDOUT_FILENO);
        ::close(out);
        QByteArray told(65536, '\0');
        told.truncate(qMax<ssize_t>(0, ::read(events[0], told.data(), size_t(told.size()))));
        ::close(events[0]);
        ::close(events[1]);
        QVERIFY(started && bothTried);
        QCOMPARE(run.script.calls, 2);
        QCOMPARE(sendqueue::entries(m_folder, sendqueue::State::Sending).size(), 0);
        QList<sendqueue::Entry> waiting = sendqueue::entries(m_folder, sendqueue::State::Waiting);
        QCOMPARE(waiting.size(), 2);
        QCOMPARE(waiting[0].message.tried, 0); // the old contents
        QCOMPARE(told.count("\"event\":\"spool\""), 2);
        QVERIFY2(told.contains("File too large"), told.constData());

        // Writing works again: the next rewrite writes the kept contents; nothing is sent.
        QVERIFY(run.waitForIdle());
        waiting = sendqueue::entries(m_folder, sendqueue::State::Waiting);
        QCOMPARE(waiting.size(), 2);
        QCOMPARE(waiting[0].message.tried, 1);
        QCOMPARE(waiting[1].message.tried, 1);
        QVERIFY(waiting[0].message.notBefore > QDateTime::currentMSecsSinceEpoch() + 3500 * 1000);
        QCOMPARE(run.script.calls, 2);
    }
    // queue.ini's [Queue] as the runner reads it; a bad value keeps the default and is told.
    void queueSettings_data()
    {
        const QueueIni row;
        const QList<int> usual{60, 300, 900};
        const QString none;
        row("none", {}, usual, 3, none, 60000, 0, none);
        row("delays with commas, as documented", "[Queue]\nDelays=1m,5m,15m\nAttempts=5\n", usual, 5, none, 60000, 0,
            none);
        row("a hook with a comma", "[Queue]\nOnSent=logger -t page \"sent, $FUMIDORI_ID\"\n", usual, 3,
            "logger -t page \"sent, $FUMIDORI_ID\"", 60000, 0, none);
        row("sections and keys in any case", "[queue]\nhooktimeout=90s\nONSENT=true\n", usual, 3, "true", 90000, 0,
            none);
        row("unknown key", "[Queue]\nDelay=1m\n", usual, 3, none, 60000, 0, "Delay");
        row("unknown section", "[Queu]\nDelays=1m\n", usual, 3, none, 60000, 0, "[Queu]");
        row("bad attempts kept at the default", "[Queue]\nAttempts=many\n", usual, 3, none, 60000, 0, "Attempts=many");
        row("bad delays", "[Queue]\nDelays=soon\n", usual, 3, none, 60000, 0, "Delays=soon");
        row("delays of every unit, a bare number in seconds", "[Queue]\nDelays=30s, 2, 1h\n", {30, 2, 3600}, 3, none,
            60000, 0, none);
        row("a delay of zero", "[Queue]\nDelays=0\n", {0}, 3, none, 60000, 0, none);
        row("a negative delay", "[Queue]\nDelays=-1\n", usual, 3, none, 60000, 0, "Delays=-1");
        row("no delay between the commas", "[Queue]\nDelays=,\n", usual, 3, none, 60000, 0, "Delays=,");
        row("no timeout of zero", "[Queue]\nHookTimeout=0\n", usual, 3, none, 60000, 0, "HookTimeout=0");
        row("not UTF-8", "[Queue]\nOnSent=\xff\n", usual, 3, none, 60000, 0, "UTF-8");
        row("answer limit in minutes", "[Queue]\nAnswerLimit=2m\n", usual, 3, none, 60000, 120, none);
        row("answer limit in seconds, any case", "[queue]\nanswerlimit=5\n", usual, 3, none, 60000, 5, none);
        row("answer limit below five seconds", "[Queue]\nAnswerLimit=4\n", usual, 3, none, 60000, 0, "AnswerLimit=4");
        row("answer limit over an hour", "[Queue]\nAnswerLimit=2h\n", usual, 3, none, 60000, 0, "AnswerLimit=2h");
    }
    void queueSettings()
    {
        const auto [ini, delays, attempts, onSent, hookTimeoutMs, answerLimitS, problem] = QueueIni::row();
        QVERIFY(QDir().mkpath(sendqueue::queueFolder(m_folder)));
        if (!ini.isEmpty())
            QVERIFY(writeFileBytes(sendqueue::queueFolder(m_folder) + "queue.ini", ini));
        QStringList problems;
        const QueueSettings s = QueueSettings::load(m_folder, &problems);
        QCOMPARE(s.delays, delays);
        QCOMPARE(s.attempts, attempts);
        QCOMPARE(s.onSent, onSent);
        QCOMPARE(s.hookTimeoutMs, hookTimeoutMs);
        QCOMPARE(s.answerLimitS.value_or(0), answerLimitS);
        QCOMPARE(problems.size(), problem.isEmpty() ? 0 : 1);
        QVERIFY2(problems.join(u'\n').contains(problem), qPrintable(problems.join(u'\n')));
    }
    // A hook that outlives its timeout, or the runner's stop, goes with everything it
    // started, even what ignores SIGTERM.
    void hookGroupEnds_data()
    {
        const How row;
        row("at its timeout", "timeout");
        row("when the runner stops", "stop");
        row("when a direct send is stopped", "direct");
    }
    void hookGroupEnds()
    {
        const auto [how] = How::row();
        const QString pidFile = m_folder + "grandchild";
        const QString hook =
            QStringLiteral("trap '' TERM; sleep 300 & echo $! > '%1.new'; mv '%1.new' '%1'; wait").arg(pidFile);
        if (how == u"direct") { // the call fails (port 1 is no modem), then the hook runs
            QProcess send;
            send.start(Tool, {"--folder", m_folder, "--to", "R0", "--on-failed", hook, "X"});
            QVERIFY(waitForFile(pidFile));
            send.terminate();
            QVERIFY(send.waitForFinished(10000));
            QCOMPARE(send.exitCode(), 1);
            QVERIFY2(processEnds(readFileBytes(pidFile)), readFileBytes(pidFile).constData());
            return;
        }
        Run run(m_folder);
        QVERIFY(run.add(1, "R0", [&](QueuedMessage &m, int) { m.onSent = hook; }));
        run.settings.hookTimeoutMs = how == u"stop" ? 2000 : 300; // the grace after SIGTERM is as long, up to 5 s
        QVERIFY(run.start());
        QVERIFY(run.waitForTries(1));
        QVERIFY(waitForFile(pidFile));
        const QByteArray pid = readFileBytes(pidFile);
        QVERIFY(pid.trimmed().toInt() > 0);
        QVERIFY(how == u"stop" ? run.stop() : run.waitForIdle());
        QVERIFY2(processEnds(pid), pid.constData());
    }
    // What is checked before dialling R0 through centre C (20 characters) or the one named.
    void checks_data()
    {
        const Check row;
        const QString none;
        row("fits", none, false, QStringLiteral("ABC\nあいう"), none);
        row("twenty characters fit", none, false, QString(20, u'A'), none);
        row("too long", none, false, QString(21, u'A'), QStringLiteral("21 文字"));
        row("a line break counts two", none, false, QString(19, u'A') + "\n", QStringLiteral("21 文字"));
        row("no code", none, false, QStringLiteral("A😀B€"), QStringLiteral("「😀」(U+1F600)、「€」(U+20AC)"));
        row("small letters have no code", none, false, "abc", QStringLiteral("「a」"));
        row("the optimiser makes them sendable", none, true, "abc", none);
        row("unsendable hints the optimiser", none, false, QStringLiteral("😀"), QStringLiteral("--optimize"));
        row("unknown centre", "X", false, "A", QStringLiteral("センター「X」"));
        row("empty", none, false, none, QStringLiteral("空"));
    }
    void checks()
    {
        const auto [center, optimize, text, refusal] = Check::row();
        const auto result = prepare(m_folder, {QStringLiteral("R0"), {}, center, optimize}, text);
        if (refusal.isEmpty()) {
            QVERIFY(std::holds_alternative<Prepared>(result));
            QCOMPARE(std::get<Prepared>(result).number, QStringLiteral("09000000000"));
        } else {
            QVERIFY(std::holds_alternative<Outcome>(result));
            const Outcome &o = std::get<Outcome>(result);
            QCOMPARE(o.status(), ExitStatus::BadInput);
            const QString said = refusalText(o.refusal); // as the command line words it
            QVERIFY2(said.contains(refusal), qPrintable(said));
        }
    }
    void exitStatus_data()
    {
        const Exit row;
        row("neither --to nor --number", {"hello"}, {}, 2, "--to");
        row("both", {"--to", "R0", "--number", "1", "--center", "C", "X"}, {}, 2, "--number");
        row("number without centre", {"--number", "1", "X"}, {}, 2, "--center");
        row("bad wait", {"--to", "R0", "--wait", "soon", "X"}, {}, 2, "--wait");
        for (const char *limit : {"4", "3601", "1e3", "-60", "soon"})
            QTest::addRow("answer limit %s", limit)
                << Exit::Row{{"--to", "R0", "--answer-limit", limit, "X"}, {}, 2, "--answer-limit"};
        row("unknown name", {"--to", "Ghost", "X"}, {}, 2, QStringLiteral("「Ghost」はアドレス帳にありません"));
        row("too long from stdin", {"--to", "R0"}, QByteArray(21, 'A') + "\n", 2, "21");
        row("not UTF-8", {"--to", "R0"}, "\xff\xfe", 2, "UTF-8");
        row("queue add refuses now", {"queue", "add", "--to", "Ghost", "X"}, {}, 2, "Ghost");
        row("queue drop unknown", {"queue", "drop", "20260101T000000000-00000"}, {}, 2, QStringLiteral("ありません"));
        row("wait of NaN", {"--to", "R0", "--wait", "nan", "X"}, {}, 2, "--wait");
        row("endless wait", {"--to", "R0", "--wait", "inf", "X"}, {}, 2, "--wait");
        row("10 MB on standard input", {"--to", "R0"}, QByteArray(10 * 1024 * 1024, 'A'), 2,
            QStringLiteral("大きすぎます"));
        row("queue add over 64 KiB",
            {"queue", "add", "--to", "R0", QString(sendqueue::MaxTextBytes / 3 + 1, QChar(0x3042))}, {}, 2,
            QStringLiteral("65538 バイト"));
        row("queue add", {"queue", "add", "--to", "R0", "X"}, {}, 0, "");
        row("a number of 32 digits", {"queue", "add", "--number", QString(32, u'1'), "--center", "C", "X"}, {}, 0, "");
        row("a number of 33 digits", {"queue", "add", "--number", QString(33, u'1'), "--center", "C", "X"}, {}, 2,
            QStringLiteral("33 桁"));
        row("a # inside a number", {"queue", "add", "--number", "0900#1234", "--center", "C", "X"}, {}, 2,
            QStringLiteral("「#」(U+0023)"));
        row("listen without a port", {"queue", "run", "--listen", "127.0.0.1"}, {}, 2, "--listen");
        row("listen on IPv6 without brackets", {"queue", "run", "--listen", "::1:8025"}, {}, 2, "--listen");
        row("listen on a name", {"queue", "run", "--listen", "localhost:8025"}, {}, 2, QStringLiteral("IPv4 か IPv6"));
        row("listen beside a send", {"--to", "R0", "--listen", "127.0.0.1:0", "X"}, {}, 2, "queue run");
        row("token file others may read", {"queue", "run", "--listen", "127.0.0.1:0", "--token-file", "/etc/hostname"},
            {}, 2, "/etc/hostname");
        row("--sender without --mail", {"queue", "add", "--sender", "a@b", "--to", "R0", "X"}, {}, 2, "--mail");
        row("--mail with a message", {"queue", "add", "--mail", "--to", "R0", "X"}, {}, 2, "--mail");
        row("a direct send to an escalation", {"--to", "up", "X"}, {}, 2, QStringLiteral("エスカレーション"));
        row("queue ack of no page", {"queue", "ack", "20260101T000000000-00000"}, {}, 2,
            QStringLiteral("ページはありません"));
        row("queue oncall of nobody", {"queue", "oncall", "Ghost"}, {}, 2, "Ghost");
        row("queue oncall at no time", {"queue", "oncall", "--at", "soon"}, {}, 2, "--at");
    }
    // A group or rota named as the recipient is one page of a message to each person it
    // reaches, each once, with how; queue oncall shows the same.
    void pages_data()
    {
        const Pages row;
        row("a group in a group, each once", "[Group b]\nMembers=pair, R2, R1\n", "b",
            "R1: b → pair → R1; R0: b → pair → R0; R2: b → R2");
        row("a rota whose calendar cannot be read: its default", "", "duty", "R2: duty → R2, 当番なし、Default");
        row("a rota with someone on duty", "[Rota always]\nCalendar=always.ics\nDefault=R2\n", "always",
            "R0: always → R0, always.ics 2000-01-01 00:00–2100-01-01 00:00");
        row("a bad oncall.ini leaves the book alone", "[Group bad]\nMembers=Ghost\n", "R0", "R0: ");
        row("a bad oncall.ini refuses its names", "[Group bad]\nMembers=Ghost\n", "pair", "「Ghost」は知らない名前");
    }
    // A page to an escalation from the command line: its first step queued at once with the
    // page's code at the end of the text, the page's id printed; queue ack stops it.
    void escalationFromTheCommandLine()
    {
        const ToolRun added = runTool({"--folder", m_folder, "queue", "add", "--to", "up", "DOWN"});
        QCOMPARE(added.exitCode, 0);
        const QString page = QString::fromUtf8(added.out.trimmed());
        const auto state = pages::read(m_folder, page);
        QVERIFY(state && state->queued == 1 && state->open() && state->people == QStringList({"R1", "R0"}));
        const QList<sendqueue::Entry> waiting = sendqueue::entries(m_folder, sendqueue::State::Waiting);
        QCOMPARE(waiting.size(), 2);
        for (const auto &e : waiting) {
            QCOMPARE(e.message.text, QStringLiteral("DOWN #") + state->ack);
            QVERIFY(e.message.page == page && e.message.step == 1 && e.message.why.startsWith(u"up Step1 → pair → "));
        }
        const auto listed = [&] {
            return QString::fromUtf8(runTool({"--folder", m_folder, "queue", "list"}).out).section(u'\n', 0, 0);
        };
        QVERIFY2(listed().startsWith(QStringLiteral("page\t%1\tup\topen\t1/%2\t").arg(page).arg(state->steps.size())),
                 qPrintable(listed()));
        QCOMPARE(runTool({"--folder", m_folder, "queue", "ack", state->ack}).exitCode, 0);
        QCOMPARE(pages::read(m_folder, page)->word(), QStringLiteral("acknowledged"));
        QCOMPARE(sendqueue::entries(m_folder, sendqueue::State::Waiting).size(), 0);
        QCOMPARE(listed(),
                 QStringLiteral("page\t%1\tup\tacknowledged\t1/%2\t\tqueue ack").arg(page).arg(state->steps.size()));
    }
    // Quiet hours (here the two hours around now): a page of a severity held waits for
    // their end; any other goes at once.
    void quietHours_data()
    {
        const QuietHours row;
        row("a warning waits", "warning", true);
        row("a critical page goes at once", "critical", false);
        row("no severity goes at once", "", false);
    }
    void quietHours()
    {
        const auto [severity, held] = QuietHours::row();
        const int hour = QDateTime::currentDateTimeUtc().time().hour();
        QVERIFY(writeFileBytes(m_folder + "oncall.ini",
                               QStringLiteral("[OnCall]\nTimeZone=UTC\n[Quiet]\nHours=%1:00-%2:59\n"
                                              "Hold=info, warning\n")
                                   .arg((hour + 23) % 24)
                                   .arg((hour + 1) % 24)
                                   .toUtf8()));
        QCOMPARE(runTool({"--folder", m_folder, "queue", "add", "--to", "R0", "--severity", severity, "X"}).exitCode,
                 0);
        const auto waiting = sendqueue::entries(m_folder, sendqueue::State::Waiting);
        QCOMPARE(waiting.size(), 1);
        QCOMPARE(waiting.first().message.notBefore > QDateTime::currentMSecsSinceEpoch() + 59 * 60 * 1000, held);
    }
    // --at without an offset is a wall time of the gateway's zone, not the machine's.
    void onCallAt_data()
    {
        const OnCallAt row;
        row("the gateway's 10:00", "2026-01-07T10:00", "R0");
        row("10:00 UTC: 19:00 in Tokyo", "2026-01-07T10:00:00Z", "R2");
        row("with an offset", "2026-01-07T17:59:00+09:00", "R0");
    }
    void onCallAt()
    {
        const auto [at, person] = OnCallAt::row();
        QVERIFY(writeFileBytes(m_folder + "oncall.ini",
                               "[OnCall]\nTimeZone=Asia/Tokyo\n[Rota day]\nCalendar=day.ics\nDefault=R2\n"));
        QVERIFY(writeFileBytes(m_folder + "day.ics",
                               "BEGIN:VCALENDAR\nBEGIN:VEVENT\nUID:d\nSUMMARY:R0\nDTSTART:20260105T090000\n"
                               "DTEND:20260105T180000\nRRULE:FREQ=DAILY\nEND:VEVENT\nEND:VCALENDAR\n"));
        const ToolRun run = runTool({"--folder", m_folder, "queue", "oncall", "--at", at});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(QString::fromUtf8(run.out).section(u'\t', 1, 1), person);
    }
    void pages()
    {
        const auto [more, name, reached] = Pages::row();
        QVERIFY(writeFileBytes(m_folder + "oncall.ini", OnCallIni + more));
        QVERIFY(writeFileBytes(m_folder + "always.ics", "BEGIN:VCALENDAR\nBEGIN:VEVENT\nUID:a\nSUMMARY:R0\n"
                                                        "DTSTART;VALUE=DATE:20000101\nDTEND;VALUE=DATE:21000101\n"
                                                        "END:VEVENT\nEND:VCALENDAR\n"));
        const BatchResult r = addBatch(m_folder, {{{name, {}, {}, false}, QStringLiteral("A")}}, {}, QueuedMessage{});
        if (!reached.contains(u':')) {
            QVERIFY(r.refusal);
            QVERIFY2(r.refusal->outcome.message.contains(reached), qPrintable(r.refusal->outcome.message));
            return;
        }
        QStringList queued, shown;
        QString problem;
        for (const QString &id : r.ids) {
            const auto m = sendqueue::read(sendqueue::queueFolder(m_folder), id, &problem);
            QVERIFY(m && m->page == r.ids.first());
            queued << m->to + QStringLiteral(": ") + m->why;
        }
        QCOMPARE(queued.join(QStringLiteral("; ")), reached);
        if (name == u"R0")
            return;
        const ToolRun run = runTool({"--folder", m_folder, "queue", "oncall", name});
        QCOMPARE(run.exitCode, 0);
        for (const QString &line : QString::fromUtf8(run.out).split(u'\n', Qt::SkipEmptyParts))
            shown << line.section(u'\t', 1, 1) + QStringLiteral(": ") + line.section(u'\t', 2);
        QCOMPARE(shown.join(QStringLiteral("; ")), reached);
    }
    void exitStatus()
    {
        const auto [args, input, status, said] = Exit::row();
        const ToolRun r = runTool(QStringList{"--folder", m_folder} + args, input);
        QVERIFY2(r.exitCode == status, qPrintable(QString::number(r.exitCode) + ": " + r.err));
        QVERIFY2(r.err.contains(said), qPrintable(r.err));
        if (status == 0) // the id, and the message waiting under it
            QCOMPARE(sendqueue::waitingIds(m_folder), QStringList{QString::fromUtf8(r.out.trimmed())});
        else
            QCOMPARE(sendqueue::waitingIds(m_folder), QStringList());
    }
    // A line held by another program: at once exit 3, or after waiting for it the send; a
    // second queue runner on the folder exits 3 as well.
    void busy()
    {
        ServerProcess holder;
        QVERIFY(holdLock(holder, LockedPort::lockPath(m_folder, 1)));
        ToolRun r = runTool({"--folder", m_folder, "--to", "R0", "--json", "X"});
        QVERIFY2(r.exitCode == 3, qPrintable(r.err));
        QVERIFY2(r.err.contains("--wait"), qPrintable(r.err));
        QCOMPARE(QJsonDocument::fromJson(r.out).object().value("status").toString(), QStringLiteral("busy"));

        // With --wait the sender waits, and goes on the moment the holder lets go.
        QProcess waiting;
        waiting.start(Tool, {"--folder", m_folder, "--to", "R0", "--wait", "60", "--json", "X"});
        QVERIFY(waiting.waitForReadyRead(10000));
        const QJsonObject event = QJsonDocument::fromJson(waiting.readLine()).object();
        QCOMPARE(event.value("event").toString(), QStringLiteral("waiting"));
        holder.process.kill();
        QVERIFY(waiting.waitForFinished(20000));
        QVERIFY2(waiting.exitCode() != 3, waiting.readAllStandardError().constData());

        sendqueue::RunnerLock runner(m_folder);
        QVERIFY(QDir().mkpath(sendqueue::queueFolder(m_folder)) && runner.tryLock());
        r = runTool({"--folder", m_folder, "queue", "run"});
        QCOMPARE(r.exitCode, 3);
    }
    void deviceKinds_data()
    {
        const KindDriven row;
        row("modem", 0, false, true);
        row("mobile-phone module", 8, false, true);
        row("sound card on a terminal", 9, true, true);
        row("sound card without one", 9, false, false);
        row("SIP", 10, false, true);
        row("unknown", int(::deviceKinds().size()), true, false);
        row("negative", -1, true, false);
    }
    void deviceKinds()
    {
        const auto [kind, onTerminal, driven] = KindDriven::row();
        DeviceAccess access;
        access.onTerminal = onTerminal;
        QCOMPARE(deviceKindProblem(kind, access).isEmpty(), driven);
    }
    void holdPrompt_data()
    {
        const Typed row;
        row("Return plays", {}, "\n", 1);
        row("1 plays", {}, "1\n", 1);
        row("2 by hand", {}, " 2 \n", 0);
        row("asked again", {}, "x\n3\n2\n", 0);
        row("typed ahead is dropped", "2\n", "\n", 1);
        row("Ctrl+D", {}, "3\n\x04", -1);
    }
    // The sound card's question answered on a pseudo-terminal, read from the event loop.
    void holdPrompt()
    {
        const auto [before, typed, answer] = Typed::row();
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(slave >= 0);
        auto type = [master](const QByteArray &bytes) { return ::write(master, bytes.constData(), bytes.size()); };
        if (!before.isEmpty()) {
            QSocketNotifier arrived(slave, QSocketNotifier::Read);
            QSignalSpy spy(&arrived, &QSocketNotifier::activated);
            QCOMPARE(type(before), before.size());
            QVERIFY(spy.wait(5000));
        }
        int got = -2;
        {
            HoldPrompt prompt(slave);
            QEventLoop loop;
            connect(&prompt, &HoldPrompt::inputClosed, &loop, [&] {
                got = -1;
                loop.quit();
            });
            prompt.ask([&](bool playNumber) {
                got = playNumber ? 1 : 0;
                loop.quit();
            });
            QCOMPARE(type(typed), typed.size());
            QTimer::singleShot(5000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        ::close(slave);
        ::close(master);
        QCOMPARE(got, answer);
    }
    void passwordFile_data()
    {
        const PasswordFile row;
        const QString none;
        row("first line", "pa ss\nnext\n", 0600, "pa ss", none);
        row("CRLF", "secret\r\n", 0400, "secret", none);
        row("no line break", "secret", 0600, "secret", none);
        row("group may read", "secret", 0640, none, "chmod 600");
        row("others may write", "secret", 0602, none, "chmod 600");
        row("missing", {}, -1, none, QStringLiteral("読めません"));
    }
    void passwordFile()
    {
        const auto [content, mode, password, refusal] = PasswordFile::row();
        TempDir dir;
        const QString path = dir.filePath("password");
        if (mode >= 0) {
            QVERIFY(writeFileBytes(path, content));
            QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
        }
        QString problem;
        const std::optional<QString> read = readPrivateFile(path, &problem);
        QCOMPARE(read.value_or(QString()), password);
        QCOMPARE(read.has_value(), refusal.isEmpty());
        QVERIFY2(problem.contains(refusal), qPrintable(problem));
        if (!refusal.isEmpty()) { // and the command line refuses it with exit 2
            const ToolRun r = runTool({"--folder", dir.path(), "--sip-password-file", path, "--to", "R0", "X"});
            QCOMPARE(r.exitCode, 2);
            QVERIFY2(r.err.contains(refusal), qPrintable(r.err));
        }
    }
    // The window's history merged at save with what senders wrote meanwhile: ours, as loaded,
    // the file now; at most rows; the recipients in the order kept.
    void historyMerged_data()
    {
        const Histories row;
        const auto old = entries({{"a", 10}, {"b", 5}});
        row("nobody else wrote", entries({{"w", 20}, {"a", 10}, {"b", 5}}), old, old, 21, {"w", "a", "b"});
        row("a sender's entry between ours", entries({{"w2", 40}, {"w1", 20}, {"a", 10}, {"b", 5}}), old,
            entries({{"s", 30}, {"a", 10}, {"b", 5}}), 21, {"w2", "s", "w1", "a", "b"});
        row("at most the table's rows", entries({{"w", 20}, {"a", 10}}), entries({{"a", 10}}),
            entries({{"s", 30}, {"a", 10}}), 2, {"s", "w"});
        row("the sender's file dropped our oldest: still ours to keep", old, old, entries({{"s", 30}, {"a", 10}}), 21,
            {"s", "a", "b"});
        row("deleted in the window: not brought back", entries({{"a", 10}}), old, old, 21, {"a"});
        row("the same entry twice, once new", entries({{"a", 10}}), entries({{"a", 10}}),
            entries({{"a", 10}, {"a", 10}}), 21, {"a", "a"});
        row("equal times: ours first", entries({{"w", 30}}), {}, entries({{"s", 30}}), 21, {"w", "s"});
        QList<HistoryEntry> oddTime = entries({{"s", 30}});
        oddTime[0].sentAt = QStringLiteral("yesterday");
        row("a time that is no time keeps its place after ours", entries({{"w", 20}}), {}, oddTime, 21, {"w", "s"});
    }
    void historyMerged()
    {
        const auto [ours, asLoaded, now, rows, expected] = Histories::row();
        QStringList names;
        for (const HistoryEntry &e : historyfile::merged(ours, asLoaded, now, rows))
            names << e.recipientName;
        QCOMPARE(names, expected);
    }
    // The window's port: a line held by another program is "in use" (8005) and the port
    // stays closed; once free the port opens (that it holds the line until it closes,
    // tst_sendline's windowAndScript sees from a script).
    void windowPortRefusesHeldLine()
    {
        QVERIFY(moreLines(m_folder));
        const QString path = LockedPort::lockPath(m_folder, 2);
        QVERIFY(path.endsWith(QFileInfo(m_folder + "line2").canonicalFilePath().mid(1).replace(u'/', u'_') + ".lock"));
        FakePort fake;
        LockedPort port(fake, m_folder);
        port.setPortNumber(2);
        {
            ServerProcess other;
            QVERIFY(holdLock(other, path));
            try {
                port.setPortOpen(true);
                QFAIL("opened a held line");
            } catch (const AppError &e) {
                QCOMPARE(e.failure(), Failure::PortInUse);
            }
            QVERIFY(!port.isOpen());
        }
        port.setPortOpen(true);
        QVERIFY(port.isOpen());
    }
    void lineSettings_data()
    {
        const LineIni row;
        const QString none;
        const QString badName = QStringLiteral("回線の名前"), sameDevice = QStringLiteral("同じ機器");
        row("no line: the window's", none, none, {"COM1"});
        row("two lines, in order", "[Line b]\nPortNumber=2\n[Line a]\nPortNumber=1\n", none, {"b", "a"});
        row("a device path, the centres", "[Line x]\nDevice=%Fline3\nCenters=C, D\nAnswerLimit=30s\n", none, {"x"});
        row("a name with a space", "[Line a b]\n", badName, {});
        row("a name too long", "[Line " + QString(33, u'x') + "]\n", badName, {});
        row("an unknown key", "[Line a]\nSpeed=9600\n", "Speed", {});
        row("a number out of range", "[Line a]\nPortNumber=99999\n", "PortNumber", {});
        row("a transport there is none of", "[Line a]\nSipTransport=sctp\n", "SipTransport", {});
        row("an answer limit too short", "[Line a]\nAnswerLimit=1s\n", "AnswerLimit", {});
        row("a relative device", "[Line a]\nDevice=ttyUSB0\n", "Device=ttyUSB0", {});
        row("a centre not in the book", "[Line a]\nCenters=Z\n", QStringLiteral("「Z」"), {});
        row("a password file that is not there", "[Line a]\nSipPasswordFile=%Fnone\n", "none", {});
        row("a kind that needs a person", "[Line a]\nModemKind=9\n", QStringLiteral("キューの回線にはできません"), {});
        row("one device twice", TwoLines + "[Line c]\nPortNumber=1\n", QStringLiteral("[Line a] と同じ機器"), {});
        row("one device by its link and its path", "[Line a]\nPortNumber=2\n[Line b]\nDevice=%Fline2\n", sameDevice,
            {});
        row("one SIP account twice",
            "[Line a]\nModemKind=10\nSipServer=Example.org\nSipUser=u\n"
            "[Line b]\nModemKind=10\nSipServer=example.org\nSipUser=u\n",
            sameDevice, {});
    }
    // The lines of queue.ini as the runner takes them: refused at start with the reason
    // (exit 2) when any cannot be driven.
    void lineSettings()
    {
        const auto [ini, problem, lines] = LineIni::row();
        Run run(m_folder);
        QVERIFY(run.withLines(ini));
        QCOMPARE(run.start(), problem.isEmpty());
        if (run.refused) {
            QCOMPARE(run.refused->exitCode(), 2);
            QVERIFY2(run.refused->message.contains(problem), qPrintable(run.refused->message));
        }
        QCOMPARE(run.runner->lineNames(), lines);
    }
    void failover_data()
    {
        const Failover row;
        const QString none;
        row("two lines share the work", TwoLines, 0, 0, none, 6, 6, {}, -1, none);
        row("a dead device: out after three, nothing lost", TwoLines, 1, 2, none, 8, 8, {"a"}, 3, none);
        row("NO CARRIER on one line only: that line's fault, out after 3 calls", TwoLines, 1, 1, none, 8, 8, {"a"}, 3,
            none);
        row("the second of three dead", TwoLines + "[Line c]\nPortNumber=3\n", 2, 2, none, 9, 9, {"b"}, 3, none);
        row("a number every line fails: the message's, no line's", TwoLines, 0, 0, "09000000001", 6, 4, {}, -1, none);
        row("the last line is never taken out", "[Line a]\nPortNumber=1\n", 1, 2, none, 4, 0, {}, 8, none);
        row("a centre one line may call", "[Line a]\nPortNumber=1\nCenters=C\n[Line b]\nPortNumber=2\n", 0, 0, none, 3,
            3, {}, -1, "b");
        row("a centre no line may call", "[Line a]\nPortNumber=1\nCenters=C\n[Line b]\nPortNumber=2\nCenters=C\n", 0, 0,
            none, 3, 2, {}, -1, "none");
    }
    // Failover between lines: a failed call goes on to another line at once without
    // counting a try; the blame goes to the line when it is the device's or another line
    // then sends the message, to the message when every line fails it.
    void failover()
    {
        const auto [ini, deadPort, deadHow, badNumber, messages, sent, down, deadCalls, centerD] = Failover::row();
        Run run(m_folder);
        QVERIFY(run.withLines(ini));
        QVERIFY(run.add(messages, {}, [&](QueuedMessage &m, int i) {
            m.attempts = 1;
            if (!centerD.isEmpty() && i == messages - 1)
                m.center = QStringLiteral("D");
        }));
        run.script.fault = [&](int port, const QString &number) {
            return port == deadPort ? deadHow : number == badNumber ? 1 : 0;
        };
        QVERIFY(run.start());
        while (run.settled->count() < messages)
            QVERIFY(run.settled->wait(5000));
        int sentNow = 0;
        for (const QList<QVariant> &args : *run.settled)
            sentNow += args[1].toBool();
        QCOMPARE(sentNow, sent);
        QStringList wentDown;
        for (const QList<QVariant> &args : *run.changed)
            wentDown << args[0].toString();
        QCOMPARE(wentDown, down);
        QCOMPARE(sendqueue::entries(m_folder, sendqueue::State::Failed).size(), messages - sent);
        QVERIFY(sendqueue::entries(m_folder, sendqueue::State::Waiting).isEmpty());
        if (deadCalls >= 0)
            QCOMPARE(run.script.ports.count(deadPort), deadCalls);
        if (deadPort == 0 && ini.contains("[Line b]"))
            QVERIFY2(run.script.ports.contains(1) && run.script.ports.contains(2),
                     qPrintable(QString::number(run.script.calls)));
        if (centerD == u"b") // the message to D went on the one line that may call it, once
            QCOMPARE(run.script.ports.value(run.script.centers.indexOf("D")), 2);
        QCOMPARE(run.script.centers.count("D"), int(centerD == u"b"));
        const std::optional<QJsonObject> status = linestatus::read(m_folder);
        QVERIFY(status);
        const QJsonArray lines = status->value("lines").toArray();
        for (const QJsonValue &line : lines) {
            const bool isDown = down.contains(line["name"].toString());
            QCOMPARE(line["state"].toString(), isDown ? QStringLiteral("down") : QStringLiteral("free"));
            QCOMPARE(line["until"].toString().isEmpty(), !isDown);
        }
    }
    // A direct send's waits on the runner's clock: a retry not a moment before its delay, a
    // line another program holds waited for as long as --wait says and no longer.
    void directSendWaits_data()
    {
        const DirectWaits row;
        row("a retry after its delay", false, false, "sent", "送信しました", 2, 2);
        row("stopped while a retry waits", false, true, "failed", "やり直しを待つ間", 1, 1);
        row("the line let go within the wait", true, true, "sent", "送信しました", 1, 1);
        row("the line held past the wait", true, false, "busy", "待ち時間内に空きませんでした", 0, 1);
    }
    void directSendWaits()
    {
        const auto [held, meanwhile, word, said, calls, attempt] = DirectWaits::row();
        VirtualClock clock;
        Script script;
        script.fails = [held](int call) { return !held && call == 1; };
        TerminalReporter reporter;
        reporter.quiet = true;
        ServerProcess holder;
        if (held)
            QVERIFY(holdLock(holder, LockedPort::lockPath(m_folder, 1)));
        const auto oneTry = [&](QObject *parent) {
            auto *one = new MessageSend(
                m_folder, {QStringLiteral("R0"), {}, {}, false}, "X", reporter,
                [&] { return std::make_unique<ScriptedDriver>(script); }, parent);
            one->setLineWait(60000);
            one->setClock(clock);
            return one;
        };
        RetriedSend send(oneTry, "X", 1, {60}, reporter, clock);
        QSignalSpy retrying(&send, &RetriedSend::retrying), finished(&send, &RetriedSend::finished);
        send.start();
        QVERIFY(held || retrying.wait(5000)); // the first call failed: again in 60 s
        clock.advance(59'999);
        QCOMPARE(script.calls, held ? 0 : 1);
        QVERIFY(finished.isEmpty());
        if (!meanwhile)
            clock.advance(1);
        else if (held)
            holder.process.kill(); // the holder ends: its lock goes with it
        else
            send.stop();
        QVERIFY(!finished.isEmpty() || finished.wait(5000));
        const Outcome outcome = finished[0][0].value<Outcome>();
        QCOMPARE(outcome.word(), word);
        QVERIFY2(outcome.message.contains(said), qPrintable(outcome.message));
        QCOMPARE(finished[0][2].toInt(), attempt);
        clock.advance(3'600'000); // nothing more comes of it
        QCOMPARE(script.calls, calls);
        QCOMPARE(finished.size(), 1);
    }
    // Minutes and hours on the runner's virtual clock: a message waits for its retry's time
    // and not a moment less; a dead line rests 60 s, then 120 s, then 240 s between trials.
    void minutesOnVirtualTime()
    {
        VirtualClock clock;
        Run run(m_folder);
        run.runnerClock = &clock;
        QVERIFY(run.withLines(TwoLines));
        run.settings.delays = {60};
        run.settings.coolOffMs = 60000;
        bool lineBFails = true;
        run.script.fault = [&](int port, const QString &) { return port == 1 ? 2 : port == 2 && lineBFails ? 1 : 0; };
        QVERIFY(run.add(1, "R0", [](QueuedMessage &m, int) { m.attempts = 1; }));
        QVERIFY(run.start());
        QVERIFY(run.waitForTries(2)); // a (the device) and b (the call) in one round
        clock.advance(59'999);
        QCOMPARE(run.script.calls, 2);
        lineBFails = false;
        clock.advance(2'000);
        QVERIFY(run.waitForTries(4)); // a again, then b sends it
        QCOMPARE(run.outcomes(), (QStringList{"failed", "failed", "failed", "sent"}));
        QCOMPARE(run.changed->count(), 0); // two failures of a: not yet out of service

        auto at = [&](qint64 ms) { return QDateTime::fromMSecsSinceEpoch(clock.now() + ms).toString(Qt::ISODate); };
        QVERIFY(run.add(1, "R0"));
        QVERIFY(run.changed->wait(5000));
        QCOMPARE(run.changed->last(), (QList<QVariant>{"a", false}));
        for (const qint64 rest : {60'000, 120'000, 240'000}) {
            QCOMPARE(run.lineField(0, "until"), at(rest));
            QVERIFY(run.waitForIdle());
            clock.advance(rest);
            QCOMPARE(run.lineField(0), QStringLiteral("trial"));
            const qsizetype before = run.changed->count();
            QVERIFY(run.add(1, "R0")); // a's trial call fails: out again, for twice as long
            QVERIFY(run.changed->count() > before || run.changed->wait(5000));
        }
        QCOMPARE(run.lineField(0, "until"), at(480'000));
        QVERIFY(run.stop());
    }
    void foreignLock_data()
    {
        const Foreign row;
        using enum otheruser::ForeignLock::Kind;
        for (const bool ordinary : {false, true}) {
            const char *who = ordinary ? "runner meets permissions" : "root runner";
            QTest::addRow("our lock held, %s", who) << Foreign::Row{Flock, false, ordinary, true, false};
            QTest::addRow("device lock, live, %s", who) << Foreign::Row{Live, true, ordinary, true, false};
            QTest::addRow("device lock, stale, %s", who) << Foreign::Row{Stale, true, ordinary, true, true};
            QTest::addRow("pipe as our lock, %s", who) << Foreign::Row{Fifo, false, ordinary, true, true};
            QTest::addRow("link as our lock, %s", who) << Foreign::Row{Symlink, false, ordinary, true, true};
            QTest::addRow("folder as our lock, %s", who) << Foreign::Row{Folder, false, ordinary, true, true};
            QTest::addRow("our lock unreadable, %s", who) << Foreign::Row{Unreadable, false, ordinary, ordinary, false};
            QTest::addRow("device lock unreadable, %s", who) << Foreign::Row{Unreadable, true, ordinary, true, false};
        }
    }
    // The one line held by another user's lock: no try, no call, the lock file left as it
    // is; one that never clears by itself is told once as the line going down (even the last
    // line). Once the lock goes, the message goes out at its first try, and the line is back.
    void foreignLock()
    {
        const auto [kind, onDevice, ordinary, holds, lasts] = Foreign::row();
        const std::optional<otheruser::Ids> nobody = otheruser::nobody();
        if (!nobody)
            QSKIP("needs root and the user nobody, whose locks these are");
        const QString ours = LockedPort::lockPath(m_folder, 1);
        if (!ours.startsWith(u"/run/lock/"))
            QSKIP("/run/lock cannot be written here");
        const QString planted = onDevice ? DeviceLock::pathFor(LockedPort::devicePath(m_folder, 1)) : ours;
        const QString victim = m_folder + "victim"; // where a planted link points: never touched
        QVERIFY(writeFileBytes(victim, "precious\n"));
        otheruser::ForeignLock lock;
        QVERIFY(lock.plant(*nobody, otheruser::ForeignLock::Kind(kind), planted, QFile::encodeName(victim)));

        const QString log = m_folder + "lines.log";
        Run run(m_folder);
        run.settings.onLineDown = run.settings.onLineUp =
            QStringLiteral("echo \"$FUMIDORI_STATUS $FUMIDORI_LINE $FUMIDORI_REASON\" >> '%1'").arg(log);
        QVERIFY(run.add(1, "R0"));
        std::optional<otheruser::AsOrdinaryUser> asUser;
        if (ordinary)
            QVERIFY(asUser.emplace().active());
        QVERIFY(run.start());
        if (holds) {
            QVERIFY(waitUntil([&] { return run.lineField(0) == u"held"; }, {sendqueue::queueFolder(m_folder)}));
            QVERIFY(!lasts || waitForFile(log));
            QCOMPARE(run.script.calls + run.tried->count(), 0);
            QVERIFY(lock.unchanged());
            QCOMPARE(readFileBytes(victim), QByteArray("precious\n"));
            QVERIFY(lock.release());
        }
        QVERIFY(run.settled->count() == 1 || run.settled->wait(5000));
        QCOMPARE(run.outcomes(), QStringList{"sent"});
        QCOMPARE(run.tried->first().at(2).toInt(), 1); // its first try
        QCOMPARE(run.script.calls, 1);
        QVERIFY(!lasts || waitUntil([&] { return readFileBytes(log).contains("line-up"); }, {m_folder}));
        const QStringList told = QString::fromUtf8(readFileBytes(log)).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(told.size(), lasts ? 2 : 0);
        if (lasts) {
            QVERIFY2(told[0].startsWith("line-down COM1 ") && told[0].contains(planted) && told[0].contains("nobody"),
                     qPrintable(told[0]));
            QCOMPARE(told[1], QStringLiteral("line-up COM1 "));
        }
        asUser.reset();
        QVERIFY(run.stop());
    }
    // The one path into the queue: a batch is checked whole by the same rules for every
    // intake, each of which words the refusal for its own input; nothing of a refused
    // batch is queued, and all of a batch appears at once.
    void batches_data()
    {
        const Batch row;
        const QString none;
        row("three at once", {"R0", "R1", "R2=あいう"}, none, -1, Refused::None, none, none, none, 0);
        row("one unknown: none queued", {"R0", "X", "R1"}, none, 1, Refused::UnknownRecipient, "--number と --center",
            "「number」と「center」", "unknown recipient: X is not", 67);
        row("nobody", {""}, none, 0, Refused::NoRecipient, "--to（", "「to」（", "refused: ", 65);
        row("a number needs a centre", {"#0312345678"}, none, 0, Refused::NumberWithoutCenter, "--number には --center",
            "「number」には「center」", "refused: ", 65);
        row("no number", {"#12x@C"}, none, 0, Refused::BadNumber, "--number の", "「number」の", "refused: ", 65);
        row("too long", {"R0", "R1=" + QString(21, u'A')}, none, 1, Refused::TooLong, "--optimize で短く",
            "「optimize」: true", "refused: メッセージが長すぎます", 65);
        row("no line calls the centre", {"R0"}, "[Line a]\nPortNumber=2\nCenters=D\n", 0, Refused::NoLineForCenter,
            "queue.ini の Centers", "queue.ini の Centers", "no line of the queue may call centre C", 65);
    }
    void batches()
    {
        const auto [specs, ini, refusedAt, why, cli, http, mail, mailExit] = Batch::row();
        QList<BatchMessage> batch;
        for (const QString &spec : specs) {
            const QString who = spec.section(u'=', 0, 0), text = spec.contains(u'=') ? spec.section(u'=', 1) : "A";
            batch << BatchMessage{who.startsWith(u'#')
                                      ? Target{{}, who.mid(1).section(u'@', 0, 0), who.section(u'@', 1), false}
                                      : Target{who, {}, {}, false},
                                  text};
        }
        if (!ini.isEmpty())
            QVERIFY(moreLines(m_folder) && writeQueueIni(m_folder, ini));
        const BatchResult r = addBatch(m_folder, batch, DeviceAccess{}, QueuedMessage{});
        const QStringList left = QDir(sendqueue::queueFolder(m_folder))
                                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
        QVERIFY2(!left.join(u' ').contains(".batch") && !left.join(u' ').contains(".new-"),
                 qPrintable(left.join(u' ')));
        if (refusedAt < 0) {
            QCOMPARE(r.ids.size(), specs.size());
            QCOMPARE(sendqueue::waitingIds(m_folder), r.ids); // in order, as separate messages
            QString problem;
            QCOMPARE(sendqueue::read(sendqueue::queueFolder(m_folder), r.ids.last(), &problem)->text, "あいう");
            return;
        }
        QVERIFY(r.ids.isEmpty() && r.refusal);
        QCOMPARE(sendqueue::list(m_folder).size(), 0);
        QCOMPARE(r.refusal->index, refusedAt);
        const Outcome &o = r.refusal->outcome;
        QCOMPARE(o.refusal.why, why);
        QVERIFY2(refusalText(o.refusal).contains(cli), qPrintable(refusalText(o.refusal)));
        QVERIFY2(httpbody::refusalText(o.refusal).contains(http), qPrintable(httpbody::refusalText(o.refusal)));
        const MailAnswer bounced = mailRefusal(o);
        QCOMPARE(bounced.exitCode, mailExit);
        QVERIFY2(bounced.message.contains(mail), qPrintable(bounced.message));
    }
    // A storm of repeats leaves one message, each answered with its id and counted; what
    // differs pages; DedupFor=0 lets every one through.
    void repeatsPageOnce()
    {
        const auto add = [&](const QString &text, const QString &page = {}) {
            BatchMessage m{Target{"R0", {}, {}, false}, text};
            m.page = page;
            return addBatch(m_folder, {m}, DeviceAccess{}, QueuedMessage{});
        };
        const QString first = add("A").ids.value(0);
        QVERIFY(!first.isEmpty());
        for (int i = 0; i < 1000; ++i) {
            const BatchResult r = add("A");
            QVERIFY(r.ids == QStringList{first} && r.repeats == QList<qsizetype>{0});
        }
        QCOMPARE(sendqueue::waitingIds(m_folder), QStringList{first});
        QCOMPARE(DedupIndex::load(m_folder).suppressed, 1000u);
        // A batch of a repeat and a new text: the new one alone is queued, in its place.
        const BatchResult mixed =
            addBatch(m_folder, {{Target{"R0", {}, {}, false}, "A"}, {Target{"R0", {}, {}, false}, "B"}}, DeviceAccess{},
                     QueuedMessage{});
        QCOMPARE(mixed.repeats, QList<qsizetype>{0});
        QCOMPARE(mixed.ids.value(0), first);
        QCOMPARE(sendqueue::waitingIds(m_folder), (QStringList{first, mixed.ids.value(1)}));
        QVERIFY(add("A", "page1").repeats.size() == 1 && add("C", "page1").repeats.isEmpty());
        QVERIFY(add("C", "page1").repeats.isEmpty());        // a step of the same page
        BatchMessage news{Target{"R0", {}, {}, false}, "A"}; // a heartbeat's silence: news each time
        news.news = true;
        QVERIFY(addBatch(m_folder, {news}, DeviceAccess{}, QueuedMessage{}).repeats.isEmpty());
        QVERIFY(writeQueueIni(m_folder, "[Queue]\nDedupFor=0\n"));
        QVERIFY(add("A").repeats.isEmpty() && add("A").repeats.isEmpty());
        QCOMPARE(sendqueue::waitingIds(m_folder).size(), 7);
        QCOMPARE(DedupIndex::load(m_folder).suppressed, 1002u);
    }
    // Among due messages a free line takes the highest severity first (a severity nobody
    // knows, or none, as critical), the oldest first within one.
    void severityFirst()
    {
        const QStringList severities{"info", "", "warning", "critical", "info", "page", "WARNING", "Info"};
        Run run(m_folder);
        QVERIFY(run.add(int(severities.size()), "R0", [&](QueuedMessage &m, int i) {
            m.severity = severities[i];
            m.text = QString::number(i);
        }));
        QHash<QString, QString> textOf;
        for (const sendqueue::Entry &e : sendqueue::list(m_folder))
            textOf.insert(e.id, e.message.text + u'=' + e.message.severity);
        QVERIFY(run.start());
        QVERIFY(run.waitForTries(int(severities.size())));
        QStringList order;
        for (const QList<QVariant> &args : std::as_const(*run.tried))
            order << textOf.value(args[0].toString());
        QCOMPARE(order,
                 (QStringList{"1=", "3=critical", "5=page", "2=warning", "6=WARNING", "0=info", "4=info", "7=Info"}));
        QVERIFY(run.stop());
    }
    // At most MaxPerPerson= pages to a person per Per=, the highest severity first: beyond,
    // they wait for the window and go as one summary page when it reopens, fitted to the
    // centre (20 characters); another person's go meanwhile.
    void ratePerPerson()
    {
        VirtualClock clock;
        Run run(m_folder);
        run.runnerClock = &clock;
        run.settings.maxPerPerson = 2;
        run.settings.perMs = 600000;
        QVERIFY(run.add(5, "R0", [](QueuedMessage &m, int i) {
            m.text = QStringLiteral("DISK%1").arg(i);
            m.severity = i == 3 ? QStringLiteral("warning") : QStringLiteral("info");
        }));
        // Nothing more until the window has passed, then the next call.
        const auto windowPasses = [&](int calls) {
            clock.advance(599'999);
            return run.script.calls == calls && (clock.advance(2), run.waitForTries(calls + 1));
        };
        QVERIFY(run.start());
        QVERIFY(run.waitForTries(2));
        QVERIFY(run.add(1, "R1"));
        QVERIFY(run.waitForTries(3));
        QVERIFY(windowPasses(3));
        QCOMPARE(run.script.texts, (QStringList{"DISK3", "DISK0", "ABC", "他3件：DISK1 / DISK2 /…"}));
        QCOMPARE(run.script.numbers.last(), QStringLiteral("09000000000"));
        QVERIFY(sendqueue::list(m_folder).isEmpty());
        // The summary counts as one page: one more goes now, the next waits, alone, as it is.
        QVERIFY(run.add(2, "R0"));
        QVERIFY(run.waitForTries(5));
        QVERIFY(windowPasses(5));
        QCOMPARE(run.script.texts.mid(4), (QStringList{"ABC", "ABC"}));
        QVERIFY(run.stop());
    }
    // A batch its writer left in queue/ is taken in by whoever reads the queue next; a
    // writer's private folder goes once it is old; queue/state/ is nobody's but the
    // gateway's (made with the spool, never scanned, never cleaned).
    // What a folder's readers take from its book and history is what the files hold now:
    // each replaced (as every writer does, within the same second), removed, made again.
    void folderReadAgainWhenReplaced()
    {
        AppData data, read;
        QVERIFY(!loadFolder(m_folder, data) && !loadFolder(m_folder, read));
        QCOMPARE(read.recipients.size(), data.recipients.size());
        data.recipients << Recipient{QStringLiteral("New"), 0, QStringLiteral("09000000009")};
        AddHistoryEntry(data, QStringLiteral("New"), QStringLiteral("C"), QStringLiteral("m"));
        QVERIFY(!SaveSettingsFile(data) && !SaveHistoryFile(data));
        QVERIFY(!loadFolder(m_folder, read));
        QCOMPARE(read.recipients.last().name, QStringLiteral("New"));
        QCOMPARE(read.history.used().size(), 1);
        QVERIFY(QFile::remove(data.historyPath()) && !loadFolder(m_folder, read));
        QVERIFY(read.history.used().isEmpty());
        QVERIFY(QFile::remove(data.settingsPath()));
        QCOMPARE(loadFolder(m_folder, read)->failure, Failure::Refused);
    }
    // Left by writers that died: a batch renamed in comes in whole; the runner's own file
    // and a batch folder half written (written under the folder's lock, free now) go at
    // once; a message's file only when old (a command may rewrite one without the lock).
    void batchLeftBehind()
    {
        const QString queue = sendqueue::queueFolder(m_folder);
        QVERIFY(sendqueue::checkFolders(m_folder).ok());
        QCOMPARE(QFileInfo(sendqueue::stateFolder(m_folder)).permissions() & 0x0077, 0);
        QueuedMessage m = message(QStringLiteral("R0"));
        QVERIFY(QDir().mkpath(queue + "b.batch") && QDir().mkpath(queue + ".new-old") &&
                QDir().mkpath(queue + ".new-now"));
        for (const char *name : {"b.batch/1.msg", "b.batch/2.msg", ".new-old/3.msg", ".new-now/5.msg", "state/4.msg",
                                 "lines.json.CTmjAA", "6.msg.Xy12ab", "7.msg.Zz99zz", "queue.ini.backup"})
            QVERIFY(writeFileBytes(queue + name, sendqueue::toJson(m)));
        const timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        for (const char *name : {".new-old", "7.msg.Zz99zz"})
            QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(queue + name).constData(), old, 0) == 0);
        QCOMPARE(sendqueue::recover(m_folder).problems, QStringList());
        QCOMPARE(sendqueue::waitingIds(m_folder), QStringList({"1", "2"}));
        QStringList left = QDir(queue).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.sort();
        QCOMPARE(left, QStringList({"1.msg", "2.msg", "6.msg.Xy12ab", "failed", "queue.ini.backup", "state", "work"}));
        QVERIFY(QFileInfo::exists(queue + "state/4.msg"));
    }
    void queueAddForLines_data()
    {
        const AddIni row;
        row("the window's sound card, no lines of its own", QString(), "C", QStringLiteral("端末からだけ"));
        row("the queue's own lines carry it", TwoLines, "C", QString());
        row("a centre some line may call", "[Line a]\nPortNumber=1\nCenters=C\n[Line b]\nPortNumber=2\n", "D",
            QString());
    }
    // What queue add checks depends on what will carry the message: the window's device, or
    // the queue's own lines (checked by the runner at its start) and the centres they may call.
    void queueAddForLines()
    {
        const auto [ini, center, problem] = AddIni::row();
        QVERIFY(moreLines(m_folder));
        AppData data;
        data.folder = m_folder;
        QVERIFY(!LoadSettingsFile(data));
        data.settings.ModemKind = 9; // needs a person at a terminal
        QVERIFY(!SaveSettingsFile(data));
        if (!ini.isEmpty())
            QVERIFY(writeQueueIni(m_folder, ini));
        const auto queued = checkBatch(m_folder, {{{QStringLiteral("R0"), {}, center, false}, QStringLiteral("A")}},
                                       DeviceAccess{}, QueuedMessage{});
        const BatchRefusal *refused = std::get_if<BatchRefusal>(&queued);
        QCOMPARE(refused != nullptr, !problem.isEmpty());
        if (refused)
            QVERIFY2(refused->outcome.message.contains(problem), qPrintable(refused->outcome.message));
    }

private:
    std::optional<TempDir> m_dir;
    QString m_folder; // a fresh folder for each test, as makeSendFolder() makes it
};

QTEST_GUILESS_MAIN(tst_Sender)
#include "tst_sender.moc"
