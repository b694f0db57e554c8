// fumidori-send: the queue runner over a scripted call driver (retries, failures that
// go to failed/, hooks, stop and recovery), the checks before dialling, and the
// program's exit statuses; with the window, the history merge at save and the line's
// lock between processes.
#include "support/fakeport.h"
#include "support/filehelpers.h"
#include "support/sendrig.h"

#include "calldriver.h"
#include "holdprompt.h"
#include "modem/devicekind.h"
#include "modem/lockedport.h"
#include "options.h"
#include "prepare.h"
#include "queueadd.h"
#include "queuelines.h"
#include "queuerunner.h"
#include "report.h"
#include "store/apperror.h"
#include "store/historyfile.h"
#include "store/locks.h"
#include "store/settingsfile.h"

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

#include <QFileSystemWatcher>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

Q_DECLARE_METATYPE(Outcome)

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

// Calls that end as the test says: fails(n) for the n-th call (from 1) of the run;
// hang() keeps a call open until it is aborted.
struct Script {
    std::function<bool(int)> fails = [](int) { return false; };
    QString failText = QStringLiteral("NO CARRIER");
    bool hang = false;
    bool deaf = false; // an aborted call never ends
    std::function<void()> onStart = [] {};
    // By the line's port and the number: 0 the call goes, 1 it fails (NO CARRIER), 2 the
    // device fails (NO DIALTONE).
    std::function<int(int port, const QString &number)> fault = [](int, const QString &) { return 0; };
    int calls = 0;
    QStringList numbers;
    QList<int> ports;
    QStringList centers;
};

class ScriptedDriver : public CallDriver
{
public:
    explicit ScriptedDriver(Script &script) : m_script(script) {}
    void start(const CallRequest &request) override
    {
        const int call = ++m_script.calls;
        m_script.numbers << request.number;
        m_script.ports << request.settings.PortNumber;
        m_script.centers << request.center.name;
        emit stageChanged(QStringLiteral("call"), QStringLiteral("センターに電話をかけてます"));
        m_script.onStart();
        if (m_script.hang)
            return;
        const int fault = m_script.fault(request.settings.PortNumber, request.number);
        QTimer::singleShot(0, this, [this, call, fault] {
            if (fault)
                emit finished(ExitStatus::LineFailed, fault == 1 ? m_script.failText : QStringLiteral("NO DIALTONE"),
                              fault == 2);
            else if (m_script.fails(call))
                emit finished(ExitStatus::LineFailed, m_script.failText);
            else
                emit finished(ExitStatus::Sent, QString());
        });
    }
    void abort() override
    {
        if (!m_script.deaf)
            QTimer::singleShot(0, this, [this] { emit finished(ExitStatus::LineFailed, QStringLiteral("切断")); });
    }

private:
    Script &m_script;
};

QueuedMessage message(const QString &to, const QString &text = QStringLiteral("ABC"))
{
    QueuedMessage m;
    m.to = to;
    m.text = text;
    return m;
}

struct Run {
    QString folder;
    Script script;
    Reporter reporter;
    QueueSettings settings;
    std::unique_ptr<QueueRunner> runner;
    std::unique_ptr<QSignalSpy> tried;
    std::unique_ptr<QSignalSpy> idled;

    explicit Run(QString f) : folder(std::move(f))
    {
        reporter.quiet = true;
        settings.delays = {0};
    }
    bool start()
    {
        runner = std::make_unique<QueueRunner>(folder, settings, reporter,
                                               [this] { return std::make_unique<ScriptedDriver>(script); });
        tried = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::tried);
        idled = std::make_unique<QSignalSpy>(runner.get(), &QueueRunner::idle);
        return !runner->start();
    }
    // Until the runner has nothing to do (again).
    bool waitForIdle()
    {
        const qsizetype seen = idled->count();
        return idled->wait(5000) || idled->count() > seen;
    }
    // Until n tries have ended in all.
    bool waitForTries(int n)
    {
        while (tried->count() < n && tried->wait(5000))
            continue;
        return tried->count() >= n;
    }
    // The status word of each try, in order.
    QStringList outcomes() const
    {
        QStringList out;
        for (const QList<QVariant> &args : *tried)
            out << args[1].value<Outcome>().word();
        return out;
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

// Another program holding a lock: flock(1) on the path until it is killed.
struct Holder {
    QProcess process;
    bool hold(const QString &path)
    {
        process.start(QStringLiteral("flock"),
                      {QStringLiteral("-o"), path, QStringLiteral("-c"), QStringLiteral("echo held; cat")});
        return process.waitForReadyRead(5000) && process.readAll() == "held\n";
    }
    ~Holder()
    {
        process.kill();
        process.waitForFinished();
    }
};

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

// Until the file exists (a hook writes it), watched, never polled.
bool waitForFile(const QString &path)
{
    QFileSystemWatcher watcher({QFileInfo(path).path()});
    QSignalSpy changed(&watcher, &QFileSystemWatcher::directoryChanged);
    while (!QFile::exists(path)) {
        if (!changed.wait(5000))
            return QFile::exists(path);
    }
    return true;
}

} // namespace

class tst_Sender : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<Outcome>(); }
    void init();
    void retryWaitDoesNotHoldOthers();
    void attemptsUsedUpAndHooks();
    void stopLeavesMessageQueued_data();
    void stopLeavesMessageQueued();
    void recoversAfterKill();
    void spoolCommands();
    void oddEntries_data();
    void oddEntries();
    void unsafeFolders_data();
    void unsafeFolders();
    void putBackOnFullDisk();
    void queueSettings_data();
    void queueSettings();
    void answerLimitSetting_data();
    void answerLimitSetting();
    void hookGroupEnds_data();
    void hookGroupEnds();
    void longReasonReachesHook();
    void checks_data();
    void checks();
    void delays_data();
    void delays();
    void exitStatus_data();
    void exitStatus();
    void busy();
    void deviceKinds_data();
    void deviceKinds();
    void holdPrompt_data();
    void holdPrompt();
    void passwordFile_data();
    void passwordFile();
    void historyMerged_data();
    void historyMerged();
    void lineLockBetweenProcesses();
    void windowPortRefusesHeldLine();
    void lineSettings_data();
    void lineSettings();
    void failover_data();
    void failover();
    void lineComesBack();
    void heldLineLeftAlone();
    void queueAddForLines_data();
    void queueAddForLines();

private:
    std::optional<QTemporaryDir> m_dir;
    QString m_folder; // a fresh folder for each test, as makeSendFolder() makes it
};

void tst_Sender::init()
{
    m_folder = makeSendFolder(m_dir.emplace());
    QVERIFY(!m_folder.isEmpty());
}

void tst_Sender::retryWaitDoesNotHoldOthers()
{
    for (int i = 0; i < 3; ++i) {
        QueuedMessage m = message(QStringLiteral("R%1").arg(i));
        QVERIFY(sendqueue::add(m_folder, m).ok());
    }
    Run run(m_folder);
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
// reason; its on-failed hook sees the outcome; a failing on-sent hook changes nothing.
void tst_Sender::attemptsUsedUpAndHooks()
{
    const QString log = m_folder + "hook.log";
    QueuedMessage doomed = message("R1", QStringLiteral("テスト"));
    doomed.attempts = 2;
    doomed.onFailed =
        QStringLiteral("{ env | grep ^FUMIDORI_ | sort; cat \"$FUMIDORI_MESSAGE_FILE\"; } > '%1'").arg(log);
    QVERIFY(sendqueue::add(m_folder, doomed).ok());
    QueuedMessage fine = message("R2");
    fine.onSent = QStringLiteral("exit 7");
    QVERIFY(sendqueue::add(m_folder, fine).ok());
    Run run(m_folder);
    run.script.fails = [](int call) { return call <= 3; };
    QVERIFY(run.start());
    QVERIFY(run.waitForTries(4));
    QCOMPARE(run.outcomes(), QStringList({"failed", "failed", "failed", "sent"}));
    QCOMPARE(run.script.numbers, QStringList({"09000000001", "09000000001", "09000000001", "09000000002"}));
    const QList<sendqueue::Entry> left = sendqueue::list(m_folder);
    QCOMPARE(left.size(), 1);
    QCOMPARE(left[0].state, sendqueue::State::Failed);
    QCOMPARE(left[0].message.tried, 3);
    QVERIFY(left[0].message.failure.startsWith(QStringLiteral("3 回試しても送れませんでした")));
    QSignalSpy idle(run.runner.get(), &QueueRunner::idle);
    QVERIFY(idle.wait(5000)); // after the last hook
    const QStringList lines = QString::fromUtf8(readFileBytes(log)).split(u'\n');
    QCOMPARE(lines.mid(0, 8), QStringList({"FUMIDORI_ATTEMPT=3", "FUMIDORI_CENTER=C", "FUMIDORI_EXIT=1",
                                           "FUMIDORI_ID=" + left[0].message.id, "FUMIDORI_LINE=COM1",
                                           "FUMIDORI_MESSAGE_FILE=" + lines[5].mid(22), "FUMIDORI_REASON=NO CARRIER",
                                           "FUMIDORI_RECIPIENT=R1"}));
    QCOMPARE(lines.mid(8), QStringList({"FUMIDORI_STATUS=failed", "テスト"}));
    QVERIFY(!QFile::exists(lines[5].mid(22))); // the message file goes with the hook
}

// A stop during a call: the call hangs up, or, when it does not end within the limit,
// is cut off; either way the message stays queued as it was.
void tst_Sender::stopLeavesMessageQueued_data()
{
    QTest::addColumn<bool>("deaf");
    QTest::newRow("the call hangs up") << false;
    QTest::newRow("the call never ends") << true;
}

void tst_Sender::stopLeavesMessageQueued()
{
    QFETCH(bool, deaf);
    QueuedMessage m = message("R1");
    QVERIFY(sendqueue::add(m_folder, m).ok());
    Run run(m_folder);
    run.script.hang = true;
    run.script.deaf = deaf;
    run.settings.stopLimitMs = 100;
    QVERIFY(run.start());
    QSignalSpy stopped(run.runner.get(), &QueueRunner::stopped);
    QEventLoop calling;
    run.script.onStart = [&] { calling.quit(); };
    QTimer::singleShot(5000, &calling, &QEventLoop::quit);
    calling.exec();
    QCOMPARE(run.script.calls, 1);
    QCOMPARE(sendqueue::list(m_folder).value(0).state, sendqueue::State::Sending);
    run.runner->stop();
    QVERIFY(stopped.wait(5000));
    const QList<sendqueue::Entry> left = sendqueue::list(m_folder);
    QCOMPARE(left.size(), 1);
    QCOMPARE(left[0].state, sendqueue::State::Waiting);
    QCOMPARE(left[0].message, m);
}

// A runner killed in a call left its message in work/: the next runner sends it; one
// killed after giving a message up sends it to failed/.
void tst_Sender::recoversAfterKill()
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

void tst_Sender::spoolCommands()
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

// Entries no runner may trust: each is listed, then moved to failed/ with its reason,
// never opened for its contents, followed or sent; no hook of it runs, work/ stays
// empty, and it can be dropped.
void tst_Sender::oddEntries_data()
{
    QTest::addColumn<QByteArray>("plant");
    QTest::addColumn<QString>("reason");
    QTest::newRow("link to a message of ours") << QByteArray("link") << QStringLiteral("シンボリックリンク");
    QTest::newRow("FIFO") << QByteArray("fifo") << QStringLiteral("FIFO");
    QTest::newRow("folder") << QByteArray("folder") << QStringLiteral("フォルダー");
    QTest::newRow("name not UTF-8") << QByteArray("name") << QStringLiteral("UTF-8");
    QTest::newRow("another user's message with a hook") << QByteArray("foreign") << QStringLiteral("uid 65534");
    QTest::newRow("damaged") << QByteArray("damaged") << QStringLiteral("JSON");
    QTest::newRow("300 MB, refused by its size") << QByteArray("huge") << QStringLiteral("大きすぎます");
    QTest::newRow("text over 64 KiB") << QByteArray("long") << QStringLiteral("65537 バイト");
    // What a killed runner left in work/ is looked at the same way when the next one starts.
    QTest::newRow("link left in work/") << QByteArray("work/link") << QStringLiteral("シンボリックリンク");
    QTest::newRow("FIFO left in work/") << QByteArray("work/fifo") << QStringLiteral("FIFO");
}

void tst_Sender::oddEntries()
{
    QFETCH(QByteArray, plant);
    QFETCH(QString, reason);
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
    if (plant == "link") {
        QVERIFY(::symlink(QFile::encodeName(victim).constData(), entry.constData()) == 0);
    } else if (plant == "fifo") {
        QVERIFY(::mkfifo(entry.constData(), 0600) == 0);
    } else if (plant == "folder") {
        QVERIFY(::mkdir(entry.constData(), 0700) == 0);
    } else {
        QByteArray bytes = trapMessage(mark);
        if (plant == "damaged")
            bytes = "{\"to\":";
        if (plant == "long")
            bytes = sendqueue::toJson(message("R0", QString(sendqueue::MaxTextBytes + 1, u'A')));
        if (plant != "name") {
            QVERIFY(writeFileBytes(QFile::decodeName(entry), bytes));
        } else {
            const int fd = ::open(entry.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            QVERIFY(fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size());
            ::close(fd);
        }
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
    QEventLoop calling;
    run.script.onStart = [&] { calling.quit(); };
    QTimer::singleShot(5000, &calling, &QEventLoop::quit);
    QVERIFY(run.start());
    calling.exec();
    QCOMPARE(run.script.numbers, QStringList{"09000000001"});
    const QList<sendqueue::Entry> failed = sendqueue::entries(m_folder, sendqueue::State::Failed);
    QCOMPARE(failed.size(), 1);
    QSignalSpy stopped(run.runner.get(), &QueueRunner::stopped);
    run.runner->stop();
    QVERIFY(stopped.wait(5000));
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
    QCOMPARE(QDir(sendqueue::failedFolder(m_folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList());
}

// Folders others could change, or that cannot be written: queue run refuses to start
// (exit 2) and says why.
void tst_Sender::unsafeFolders_data()
{
    QTest::addColumn<QString>("path"); // under the data folder; empty: the folder itself
    QTest::addColumn<int>("mode");     // -1: a link to a folder of ours; -2: owned by another user
    QTest::addColumn<QString>("said");
    QTest::newRow("data folder writable by its group") << QString() << 0770 << QStringLiteral("chmod go-w");
    QTest::newRow("queue/ writable by others") << "queue" << 0757 << QStringLiteral("chmod go-w");
    QTest::newRow("queue/ read-only") << "queue" << 0555 << QStringLiteral("書き込めません");
    QTest::newRow("failed/ writable by its group") << "queue/failed" << 0770 << QStringLiteral("chmod go-w");
    QTest::newRow("queue/ a link") << "queue" << -1 << QStringLiteral("リンク");
    QTest::newRow("work/ another user's") << "queue/work" << -2 << QStringLiteral("uid 65534");
}

void tst_Sender::unsafeFolders()
{
    QFETCH(QString, path);
    QFETCH(int, mode);
    QFETCH(QString, said);
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
void tst_Sender::putBackOnFullDisk()
{
    for (const char *to : {"R0", "R1"}) {
        QueuedMessage m = message(QString::fromLatin1(to));
        QVERIFY(sendqueue::add(m_folder, m).ok());
    }
    Run run(m_folder);
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

void tst_Sender::queueSettings_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QList<int>>("delays");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<QString>("onSent");
    QTest::addColumn<int>("hookTimeoutMs");
    QTest::addColumn<QString>("problem"); // a part of the problems told; empty: none
    const QList<int> usual{60, 300, 900};
    const QString none;
    QTest::newRow("none") << QByteArray() << usual << 3 << none << 60000 << none;
    QTest::newRow("delays with commas, as documented")
        << QByteArray("[Queue]\nDelays=1m,5m,15m\nAttempts=5\n") << usual << 5 << none << 60000 << none;
    QTest::newRow("other delays") << QByteArray("[Queue]\nDelays=30s, 2h\n") << QList<int>{30, 7200} << 3 << none
                                  << 60000 << none;
    QTest::newRow("a hook with a comma") << QByteArray("[Queue]\nOnSent=logger -t page \"sent, $FUMIDORI_ID\"\n")
                                         << usual << 3 << "logger -t page \"sent, $FUMIDORI_ID\"" << 60000 << none;
    QTest::newRow("sections and keys in any case")
        << QByteArray("[queue]\nhooktimeout=90s\nONSENT=true\n") << usual << 3 << "true" << 90000 << none;
    QTest::newRow("unknown key") << QByteArray("[Queue]\nDelay=1m\n") << usual << 3 << none << 60000 << "Delay";
    QTest::newRow("unknown section") << QByteArray("[Queu]\nDelays=1m\n") << usual << 3 << none << 60000 << "[Queu]";
    QTest::newRow("bad attempts kept at the default")
        << QByteArray("[Queue]\nAttempts=many\n") << usual << 3 << none << 60000 << "Attempts=many";
    QTest::newRow("bad delays") << QByteArray("[Queue]\nDelays=soon\n") << usual << 3 << none << 60000 << "Delays=soon";
    QTest::newRow("no timeout of zero") << QByteArray("[Queue]\nHookTimeout=0\n") << usual << 3 << none << 60000
                                        << "HookTimeout=0";
    QTest::newRow("not UTF-8") << QByteArray("[Queue]\nOnSent=\xff\n") << usual << 3 << none << 60000 << "UTF-8";
}

void tst_Sender::queueSettings()
{
    QFETCH(QByteArray, ini);
    QFETCH(QList<int>, delays);
    QFETCH(int, attempts);
    QFETCH(QString, onSent);
    QFETCH(int, hookTimeoutMs);
    QFETCH(QString, problem);
    QVERIFY(QDir().mkpath(sendqueue::queueFolder(m_folder)));
    if (!ini.isEmpty())
        QVERIFY(writeFileBytes(sendqueue::queueFolder(m_folder) + "queue.ini", ini));
    QStringList problems;
    const QueueSettings s = QueueSettings::load(m_folder, &problems);
    QCOMPARE(s.delays, delays);
    QCOMPARE(s.attempts, attempts);
    QCOMPARE(s.onSent, onSent);
    QCOMPARE(s.hookTimeoutMs, hookTimeoutMs);
    QCOMPARE(problems.size(), problem.isEmpty() ? 0 : 1);
    QVERIFY2(problems.join(u'\n').contains(problem), qPrintable(problems.join(u'\n')));
}

void tst_Sender::answerLimitSetting_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("limitS"); // 0: none set
    QTest::addColumn<int>("problems");
    QTest::newRow("minutes") << QByteArray("[Queue]\nAnswerLimit=2m\n") << 120 << 0;
    QTest::newRow("seconds, any case") << QByteArray("[queue]\nanswerlimit=5\n") << 5 << 0;
    QTest::newRow("below five seconds") << QByteArray("[Queue]\nAnswerLimit=4\n") << 0 << 1;
    QTest::newRow("over an hour") << QByteArray("[Queue]\nAnswerLimit=2h\n") << 0 << 1;
}

void tst_Sender::answerLimitSetting()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, limitS);
    QFETCH(int, problems);
    QVERIFY(QDir().mkpath(sendqueue::queueFolder(m_folder)));
    QVERIFY(writeFileBytes(sendqueue::queueFolder(m_folder) + "queue.ini", ini));
    QStringList found;
    const QueueSettings s = QueueSettings::load(m_folder, &found);
    QCOMPARE(s.answerLimitS.value_or(0), limitS);
    QCOMPARE(found.size(), problems);
}

// A hook that outlives its timeout, or the runner's stop, goes with everything it
// started, even what ignores SIGTERM.
void tst_Sender::hookGroupEnds_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("at its timeout") << "timeout";
    QTest::newRow("when the runner stops") << "stop";
    QTest::newRow("when a direct send is stopped") << "direct";
}

void tst_Sender::hookGroupEnds()
{
    QFETCH(QString, how);
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
    QueuedMessage m = message("R0");
    m.onSent = hook;
    QVERIFY(sendqueue::add(m_folder, m).ok());
    Run run(m_folder);
    run.settings.hookTimeoutMs = how == u"stop" ? 2000 : 300; // the grace after SIGTERM is as long, up to 5 s
    QVERIFY(run.start());
    QVERIFY(run.waitForTries(1));
    QVERIFY(waitForFile(pidFile));
    const QByteArray pid = readFileBytes(pidFile);
    QVERIFY(pid.trimmed().toInt() > 0);
    if (how == u"stop") {
        QSignalSpy stopped(run.runner.get(), &QueueRunner::stopped);
        run.runner->stop();
        QVERIFY(stopped.wait(10000));
    } else {
        QVERIFY(run.waitForIdle());
    }
    QVERIFY2(processEnds(pid), pid.constData());
}

// A refusal far longer than an environment value may be still reaches the on-failed
// hook, cut.
void tst_Sender::longReasonReachesHook()
{
    const QString told = m_folder + "reason-bytes";
    QueuedMessage m = message("R0");
    m.attempts = 0;
    m.onFailed = QStringLiteral("printf %s \"$FUMIDORI_REASON\" | wc -c > '%1'").arg(told);
    QVERIFY(sendqueue::add(m_folder, m).ok());
    Run run(m_folder);
    run.script.fails = [](int) { return true; };
    run.script.failText = QString(11000, QChar(0xD55C)); // 한, three bytes each
    QVERIFY(run.start());
    QVERIFY(run.waitForTries(1));
    QVERIFY(run.waitForIdle());
    const int bytes = readFileBytes(told).trimmed().toInt();
    QVERIFY2(bytes > 4000 && bytes <= Hook::MaxValueBytes, qPrintable(QString::number(bytes)));
    QVERIFY(sendqueue::entries(m_folder, sendqueue::State::Failed).value(0).message.failure.toUtf8().size() <=
            sendqueue::MaxFieldBytes);
}

void tst_Sender::checks_data()
{
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("center");
    QTest::addColumn<bool>("optimize");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal"); // a part of the message; empty: accepted
    const QString none;
    QTest::newRow("fits") << "R0" << none << false << QStringLiteral("ABC\nあいう") << none;
    QTest::newRow("twenty characters fit") << "R0" << none << false << QString(20, u'A') << none;
    QTest::newRow("too long") << "R0" << none << false << QString(21, u'A') << QStringLiteral("21 文字");
    QTest::newRow("a line break counts two") << "R0" << none << false << QString(19, u'A') + "\n"
                                             << QStringLiteral("21 文字");
    QTest::newRow("no code") << "R0" << none << false << QStringLiteral("A😀B€")
                             << QStringLiteral("「😀」(U+1F600)、「€」(U+20AC)");
    QTest::newRow("small letters have no code") << "R0" << none << false << QString("abc") << QStringLiteral("「a」");
    QTest::newRow("the optimiser makes them sendable") << "R0" << none << true << QString("abc") << none;
    QTest::newRow("unsendable hints the optimiser")
        << "R0" << none << false << QStringLiteral("😀") << QStringLiteral("--optimize");
    QTest::newRow("unknown centre") << "R0" << QString("X") << false << QString("A") << QStringLiteral("センター「X」");
    QTest::newRow("empty") << "R0" << none << false << none << QStringLiteral("空");
}

void tst_Sender::checks()
{
    QFETCH(QString, to);
    QFETCH(QString, center);
    QFETCH(bool, optimize);
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    const auto result = prepare(m_folder, {to, {}, center, optimize}, text);
    if (refusal.isEmpty()) {
        QVERIFY(std::holds_alternative<Prepared>(result));
        QCOMPARE(std::get<Prepared>(result).number, QStringLiteral("09000000000"));
    } else {
        QVERIFY(std::holds_alternative<Outcome>(result));
        QCOMPARE(std::get<Outcome>(result).status, ExitStatus::BadInput);
        QVERIFY2(std::get<Outcome>(result).message.contains(refusal), qPrintable(std::get<Outcome>(result).message));
    }
}

void tst_Sender::delays_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("seconds"); // empty: refused
    QTest::newRow("default") << "1m,5m,15m" << QList<int>{60, 300, 900};
    QTest::newRow("units") << "30s, 2, 1h" << QList<int>{30, 2, 3600};
    QTest::newRow("zero") << "0" << QList<int>{0};
    QTest::newRow("negative") << "-1" << QList<int>{};
    QTest::newRow("words") << "soon" << QList<int>{};
    QTest::newRow("nothing") << "," << QList<int>{};
}

void tst_Sender::delays()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, seconds);
    QCOMPARE(parseDelays(text).value_or(QList<int>()), seconds);
    if (!seconds.isEmpty()) // the last delay repeats
        QCOMPARE(sendqueue::retryDelay(seconds, 9), seconds.last());
}

void tst_Sender::exitStatus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    QTest::newRow("neither --to nor --number") << QStringList{"hello"} << QByteArray() << 2 << "--to";
    QTest::newRow("both") << QStringList{"--to", "R0", "--number", "1", "--center", "C", "X"} << QByteArray() << 2
                          << "--number";
    QTest::newRow("number without centre") << QStringList{"--number", "1", "X"} << QByteArray() << 2 << "--center";
    QTest::newRow("bad wait") << QStringList{"--to", "R0", "--wait", "soon", "X"} << QByteArray() << 2 << "--wait";
    for (const char *limit : {"4", "3601", "1e3", "-60", "soon"})
        QTest::addRow("answer limit %s", limit)
            << QStringList{"--to", "R0", "--answer-limit", limit, "X"} << QByteArray() << 2 << "--answer-limit";
    QTest::newRow("unknown name") << QStringList{"--to", "Ghost", "X"} << QByteArray() << 2
                                  << QStringLiteral("「Ghost」はアドレス帳にありません");
    QTest::newRow("too long from stdin") << QStringList{"--to", "R0"} << QByteArray(21, 'A') + "\n" << 2 << "21";
    QTest::newRow("not UTF-8") << QStringList{"--to", "R0"} << QByteArray("\xff\xfe") << 2 << "UTF-8";
    QTest::newRow("queue add refuses now")
        << QStringList{"queue", "add", "--to", "Ghost", "X"} << QByteArray() << 2 << "Ghost";
    QTest::newRow("queue drop unknown") << QStringList{"queue", "drop", "20260101T000000000-00000"} << QByteArray() << 2
                                        << "ありません";
    QTest::newRow("wait of NaN") << QStringList{"--to", "R0", "--wait", "nan", "X"} << QByteArray() << 2 << "--wait";
    QTest::newRow("endless wait") << QStringList{"--to", "R0", "--wait", "inf", "X"} << QByteArray() << 2 << "--wait";
    QTest::newRow("10 MB on standard input")
        << QStringList{"--to", "R0"} << QByteArray(10 * 1024 * 1024, 'A') << 2 << QStringLiteral("大きすぎます");
    QTest::newRow("queue add over 64 KiB")
        << QStringList{"queue", "add", "--to", "R0", QString(sendqueue::MaxTextBytes / 3 + 1, QChar(0x3042))}
        << QByteArray() << 2 << QStringLiteral("65538 バイト");
    QTest::newRow("queue add") << QStringList{"queue", "add", "--to", "R0", "X"} << QByteArray() << 0 << "";
    QTest::newRow("listen without a port")
        << QStringList{"queue", "run", "--listen", "127.0.0.1"} << QByteArray() << 2 << "--listen";
    QTest::newRow("listen on IPv6 without brackets")
        << QStringList{"queue", "run", "--listen", "::1:8025"} << QByteArray() << 2 << "--listen";
    QTest::newRow("listen on a name") << QStringList{"queue", "run", "--listen", "localhost:8025"} << QByteArray() << 2
                                      << QStringLiteral("IPv4 か IPv6");
    QTest::newRow("listen beside a send")
        << QStringList{"--to", "R0", "--listen", "127.0.0.1:0", "X"} << QByteArray() << 2 << "queue run";
    QTest::newRow("token file others may read")
        << QStringList{"queue", "run", "--listen", "127.0.0.1:0", "--token-file", "/etc/hostname"} << QByteArray() << 2
        << "/etc/hostname";
    QTest::newRow("--sender without --mail")
        << QStringList{"queue", "add", "--sender", "a@b", "--to", "R0", "X"} << QByteArray() << 2 << "--mail";
    QTest::newRow("--mail with a message")
        << QStringList{"queue", "add", "--mail", "--to", "R0", "X"} << QByteArray() << 2 << "--mail";
}

void tst_Sender::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QString, said);
    const ToolRun r = runTool(QStringList{"--folder", m_folder} + args, input);
    QVERIFY2(r.exitCode == status, qPrintable(QString::number(r.exitCode) + ": " + r.err));
    QVERIFY2(r.err.contains(said), qPrintable(r.err));
    if (status == 0) // the id, and the message waiting under it
        QCOMPARE(sendqueue::waitingIds(m_folder), QStringList{QString::fromUtf8(r.out.trimmed())});
    else
        QCOMPARE(sendqueue::waitingIds(m_folder), QStringList());
}

// A line held by another program: at once exit 3, or after waiting for it the send; a
// second queue runner on a m_folder exits 3 as well.
void tst_Sender::busy()
{
    Holder holder;
    QVERIFY(holder.hold(LockedPort::lockPath(m_folder, 1)));
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

void tst_Sender::deviceKinds_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("onTerminal");
    QTest::addColumn<bool>("driven");
    QTest::newRow("modem") << 0 << false << true;
    QTest::newRow("mobile-phone module") << 8 << false << true;
    QTest::newRow("sound card on a terminal") << 9 << true << true;
    QTest::newRow("sound card without one") << 9 << false << false;
    QTest::newRow("SIP") << 10 << false << true;
    QTest::newRow("unknown") << int(::deviceKinds().size()) << true << false;
    QTest::newRow("negative") << -1 << true << false;
}

void tst_Sender::deviceKinds()
{
    QFETCH(int, kind);
    QFETCH(bool, onTerminal);
    QFETCH(bool, driven);
    DeviceAccess access;
    access.onTerminal = onTerminal;
    QCOMPARE(deviceKindProblem(kind, access).isEmpty(), driven);
}

void tst_Sender::holdPrompt_data()
{
    QTest::addColumn<QByteArray>("before"); // typed before the question
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<int>("answer"); // 1 play the number, 0 dialled by hand, -1 input closed
    QTest::newRow("Return plays") << QByteArray() << QByteArray("\n") << 1;
    QTest::newRow("1 plays") << QByteArray() << QByteArray("1\n") << 1;
    QTest::newRow("2 by hand") << QByteArray() << QByteArray(" 2 \n") << 0;
    QTest::newRow("asked again") << QByteArray() << QByteArray("x\n3\n2\n") << 0;
    QTest::newRow("typed ahead is dropped") << QByteArray("2\n") << QByteArray("\n") << 1;
    QTest::newRow("Ctrl+D") << QByteArray() << QByteArray("3\n\x04") << -1;
}

// The sound card's question answered on a pseudo-terminal, read from the event loop.
void tst_Sender::holdPrompt()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, typed);
    QFETCH(int, answer);
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

void tst_Sender::passwordFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode"); // -1: no file
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("refusal");
    const QString none;
    QTest::newRow("first line") << QByteArray("pa ss\nnext\n") << 0600 << QString("pa ss") << none;
    QTest::newRow("CRLF") << QByteArray("secret\r\n") << 0400 << QString("secret") << none;
    QTest::newRow("no line break") << QByteArray("secret") << 0600 << QString("secret") << none;
    QTest::newRow("group may read") << QByteArray("secret") << 0640 << none << QString("chmod 600");
    QTest::newRow("others may write") << QByteArray("secret") << 0602 << none << QString("chmod 600");
    QTest::newRow("missing") << QByteArray() << -1 << none << QStringLiteral("読めません");
}

void tst_Sender::passwordFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, password);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
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

void tst_Sender::historyMerged_data()
{
    QTest::addColumn<QList<HistoryEntry>>("ours");
    QTest::addColumn<QList<HistoryEntry>>("asLoaded");
    QTest::addColumn<QList<HistoryEntry>>("now");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QStringList>("expected");
    const auto old = entries({{"a", 10}, {"b", 5}});
    const QList<HistoryEntry> none;
    QTest::newRow("nobody else wrote") << entries({{"w", 20}, {"a", 10}, {"b", 5}}) << old << old << 21
                                       << QStringList{"w", "a", "b"};
    QTest::newRow("a sender's entry between ours")
        << entries({{"w2", 40}, {"w1", 20}, {"a", 10}, {"b", 5}}) << old << entries({{"s", 30}, {"a", 10}, {"b", 5}})
        << 21 << QStringList{"w2", "s", "w1", "a", "b"};
    QTest::newRow("at most the table's rows") << entries({{"w", 20}, {"a", 10}}) << entries({{"a", 10}})
                                              << entries({{"s", 30}, {"a", 10}}) << 2 << QStringList{"s", "w"};
    QTest::newRow("the sender's file dropped our oldest: still ours to keep")
        << entries({{"a", 10}, {"b", 5}}) << old << entries({{"s", 30}, {"a", 10}}) << 21 << QStringList{"s", "a", "b"};
    QTest::newRow("deleted in the window: not brought back")
        << entries({{"a", 10}}) << old << old << 21 << QStringList{"a"};
    QTest::newRow("the same entry twice, once new") << entries({{"a", 10}}) << entries({{"a", 10}})
                                                    << entries({{"a", 10}, {"a", 10}}) << 21 << QStringList{"a", "a"};
    QTest::newRow("equal times: ours first")
        << entries({{"w", 30}}) << none << entries({{"s", 30}}) << 21 << QStringList{"w", "s"};
    QList<HistoryEntry> oddTime = entries({{"s", 30}});
    oddTime[0].sentAt = QStringLiteral("yesterday");
    QTest::newRow("a time that is no time keeps its place after ours")
        << entries({{"w", 20}}) << none << oddTime << 21 << QStringList{"w", "s"};
}
void tst_Sender::historyMerged()
{
    QFETCH(QList<HistoryEntry>, ours);
    QFETCH(QList<HistoryEntry>, asLoaded);
    QFETCH(QList<HistoryEntry>, now);
    QFETCH(int, rows);
    QFETCH(QStringList, expected);
    QStringList names;
    for (const HistoryEntry &e : historyfile::merged(ours, asLoaded, now, rows))
        names << e.recipientName;
    QCOMPARE(names, expected);
}

void tst_Sender::lineLockBetweenProcesses()
{
    QTemporaryDir dir;
    const QString path = PortLock::pathFor(dir.path() + "/line", dir.path() + u'/');
    Holder other;
    {
        PortLock probe(path); // makes the file for flock(1) to open
        QVERIFY(probe.tryLock());
        PortLock again(path); // a second hold in one process is granted
        QVERIFY(again.tryLock());
    }
    QVERIFY(other.hold(path));
    PortLock lock(path);
    QVERIFY(!lock.tryLock());

    PortLockWaiter giveUp(lock);
    QSignalSpy timedOut(&giveUp, &PortLockWaiter::timedOut);
    giveUp.start(0);
    QVERIFY(timedOut.wait(5000));

    PortLockWaiter waiter(lock);
    QSignalSpy acquired(&waiter, &PortLockWaiter::acquired);
    waiter.start(-1);
    QCoreApplication::processEvents();
    QCOMPARE(acquired.count(), 0); // still held
    other.process.kill();          // the holder dies: the kernel lets its lock go
    QVERIFY(acquired.wait(5000));
    QVERIFY(lock.isLocked());
    QCOMPARE(lock.holder(), QStringLiteral("tst_sender %1").arg(QCoreApplication::applicationPid()));
}

// The window's port: a line held by another program is "in use" (8005) and the port
// stays closed; once free the port opens and holds the line until it closes.
void tst_Sender::windowPortRefusesHeldLine()
{
    QVERIFY(QDir(m_folder).mkpath("ports"));
    QVERIFY(writeFileBytes(m_folder + "device", ""));
    QVERIFY(QFile::link(m_folder + "device", m_folder + "ports/COM2"));
    const QString path = LockedPort::lockPath(m_folder, 2);
    QVERIFY(path.endsWith(QFileInfo(m_folder + "device").canonicalFilePath().mid(1).replace(u'/', u'_') + ".lock"));
    FakePort fake;
    LockedPort port(fake, m_folder);
    port.setPortNumber(2);
    {
        Holder other;
        QVERIFY(other.hold(path));
        try {
            port.setPortOpen(true);
            QFAIL("opened a held line");
        } catch (const AppError &e) {
            QCOMPARE(e.code(), int(ErrorCode::PortInUse));
        }
        QVERIFY(!port.isOpen());
    }
    auto tryElsewhere = [&] { // flock -n: 1 while the line is held, 0 once free
        QProcess p;
        p.start(QStringLiteral("flock"), {QStringLiteral("-n"), path, QStringLiteral("true")});
        return p.waitForFinished(5000) ? p.exitCode() : -1;
    };
    port.setPortOpen(true);
    QVERIFY(port.isOpen());
    QCOMPARE(tryElsewhere(), 1);
    port.setPortOpen(false);
    QCOMPARE(tryElsewhere(), 0);
}

namespace
{

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

// A line's state word in queue/lines.json; empty when there is none.
QString lineState(const QString &folder, int index)
{
    const std::optional<QJsonObject> status = linestatus::read(folder);
    return status ? status->value("lines").toArray().at(index).toObject().value("state").toString() : QString();
}

// Until done() holds, looked at again at each change of the watched files or folders.
bool waitUntil(const QStringList &paths, const std::function<bool()> &done)
{
    QFileSystemWatcher watcher(paths);
    QEventLoop loop;
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &loop, [&] {
        watcher.addPaths(paths); // a file replaced by a rename is watched anew
        if (done())
            loop.quit();
    });
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

const QString TwoLines = QStringLiteral("[Line a]\nPortNumber=1\n[Line b]\nPortNumber=2\n");

} // namespace

void tst_Sender::lineSettings_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("problem"); // a part of the refusal; empty: the runner starts
    QTest::addColumn<QStringList>("lines");
    const QString none;
    QTest::newRow("no line: the window's") << QString() << none << QStringList{"COM1"};
    QTest::newRow("two lines, in order") << "[Line b]\nPortNumber=2\n[Line a]\nPortNumber=1\n"
                                         << none << QStringList{"b", "a"};
    QTest::newRow("a device path, the centres") << "[Line x]\nDevice=%Fline3\nCenters=C, D\nAnswerLimit=30s\n"
                                                << none << QStringList{"x"};
    QTest::newRow("a name with a space") << "[Line a b]\n"
                                         << "回線の名前" << QStringList();
    QTest::newRow("a name too long") << "[Line " + QString(33, u'x') + "]\n"
                                     << "回線の名前" << QStringList();
    QTest::newRow("an unknown key") << "[Line a]\nSpeed=9600\n"
                                    << "Speed" << QStringList();
    QTest::newRow("a number out of range") << "[Line a]\nPortNumber=99999\n"
                                           << "PortNumber" << QStringList();
    QTest::newRow("a transport there is none of") << "[Line a]\nSipTransport=sctp\n"
                                                  << "SipTransport" << QStringList();
    QTest::newRow("an answer limit too short") << "[Line a]\nAnswerLimit=1s\n"
                                               << "AnswerLimit" << QStringList();
    QTest::newRow("a relative device") << "[Line a]\nDevice=ttyUSB0\n"
                                       << "Device=ttyUSB0" << QStringList();
    QTest::newRow("a centre not in the book") << "[Line a]\nCenters=Z\n"
                                              << "「Z」" << QStringList();
    QTest::newRow("a password file that is not there") << "[Line a]\nSipPasswordFile=%Fnone\n"
                                                       << "none" << QStringList();
    QTest::newRow("a kind that needs a person") << "[Line a]\nModemKind=9\n"
                                                << "キューの回線にはできません" << QStringList();
    QTest::newRow("one device twice") << TwoLines + "[Line c]\nPortNumber=1\n"
                                      << "[Line a] と同じ機器" << QStringList();
    QTest::newRow("one device by its link and its path") << "[Line a]\nPortNumber=2\n[Line b]\nDevice=%Fline2\n"
                                                         << "同じ機器" << QStringList();
    QTest::newRow("one SIP account twice") << "[Line a]\nModemKind=10\nSipServer=Example.org\nSipUser=u\n"
                                              "[Line b]\nModemKind=10\nSipServer=example.org\nSipUser=u\n"
                                           << "同じ機器" << QStringList();
}

// The lines of queue.ini as the runner takes them: refused at start with the reason
// (exit 2) when any cannot be driven.
void tst_Sender::lineSettings()
{
    QFETCH(QString, ini);
    QFETCH(QString, problem);
    QFETCH(QStringList, lines);
    QVERIFY(moreLines(m_folder));
    QVERIFY(writeQueueIni(m_folder, ini));
    Run run(m_folder);
    run.settings = QueueSettings::load(m_folder);
    QueueRunner runner(m_folder, run.settings, run.reporter,
                       [&run] { return std::make_unique<ScriptedDriver>(run.script); });
    const std::optional<Outcome> refused = runner.start();
    QCOMPARE(refused.has_value(), !problem.isEmpty());
    if (refused) {
        QCOMPARE(refused->exitCode(), 2);
        QVERIFY2(refused->message.contains(problem), qPrintable(refused->message));
    }
    QCOMPARE(runner.lineNames(), lines);
}

void tst_Sender::failover_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("deadPort");      // every call on this port fails
    QTest::addColumn<int>("deadHow");       // 1 NO CARRIER, 2 the device's fault
    QTest::addColumn<QString>("badNumber"); // fails on every line
    QTest::addColumn<int>("messages");
    QTest::addColumn<int>("sent");
    QTest::addColumn<QStringList>("down"); // lines that went out of service
    QTest::addColumn<int>("deadCalls");    // calls on the dead port; -1: not counted
    QTest::addColumn<QString>("centerD");  // messages to centre D (the last one)
    const QString none;
    QTest::newRow("two lines share the work") << TwoLines << 0 << 0 << none << 6 << 6 << QStringList() << -1 << none;
    QTest::newRow("a dead device: out after three, nothing lost")
        << TwoLines << 1 << 2 << none << 8 << 8 << QStringList{"a"} << 3 << none;
    QTest::newRow("NO CARRIER on one line only: that line's fault")
        << TwoLines << 1 << 1 << none << 8 << 8 << QStringList{"a"} << -1 << none;
    QTest::newRow("the second of three dead") << TwoLines + "[Line c]\nPortNumber=3\n"
                                              << 2 << 2 << none << 9 << 9 << QStringList{"b"} << 3 << none;
    QTest::newRow("a number every line fails: the message's, no line's")
        << TwoLines << 0 << 0 << "09000000001" << 6 << 4 << QStringList() << -1 << none;
    QTest::newRow("the last line is never taken out") << "[Line a]\nPortNumber=1\n"
                                                      << 1 << 2 << none << 4 << 0 << QStringList() << 8 << none;
    QTest::newRow("a centre one line may call") << "[Line a]\nPortNumber=1\nCenters=C\n[Line b]\nPortNumber=2\n"
                                                << 0 << 0 << none << 3 << 3 << QStringList() << -1 << "b";
    QTest::newRow("a centre no line may call")
        << "[Line a]\nPortNumber=1\nCenters=C\n[Line b]\nPortNumber=2\nCenters=C\n"
        << 0 << 0 << none << 3 << 2 << QStringList() << -1 << "none";
}

// Failover between lines: a failed call goes on to another line at once without
// counting a try; the blame goes to the line when it is the device's or another line
// then sends the message, to the message when every line fails it.
void tst_Sender::failover()
{
    QFETCH(QString, ini);
    QFETCH(int, deadPort);
    QFETCH(int, deadHow);
    QFETCH(QString, badNumber);
    QFETCH(int, messages);
    QFETCH(int, sent);
    QFETCH(QStringList, down);
    QFETCH(int, deadCalls);
    QFETCH(QString, centerD);
    QVERIFY(moreLines(m_folder));
    QVERIFY(writeQueueIni(m_folder, ini));
    for (int i = 0; i < messages; ++i) {
        QueuedMessage m = message(QStringLiteral("R%1").arg(i % 3));
        m.attempts = 1;
        if (!centerD.isEmpty() && i == messages - 1)
            m.center = QStringLiteral("D");
        QVERIFY(sendqueue::add(m_folder, m).ok());
    }
    Run run(m_folder);
    run.settings = QueueSettings::load(m_folder);
    run.settings.delays = {0};
    run.script.fault = [&](int port, const QString &number) {
        return port == deadPort ? deadHow : number == badNumber ? 1 : 0;
    };
    QVERIFY(run.start());
    QSignalSpy settled(run.runner.get(), &QueueRunner::settled);
    QSignalSpy changed(run.runner.get(), &QueueRunner::lineChanged);
    while (settled.count() < messages)
        QVERIFY(settled.wait(5000));
    int sentNow = 0;
    for (const QList<QVariant> &args : settled)
        sentNow += args[1].toBool();
    QCOMPARE(sentNow, sent);
    QStringList wentDown;
    for (const QList<QVariant> &args : changed)
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

// A line out of service comes back after its cool-off at its first success; the hooks
// and the status file say so.
void tst_Sender::lineComesBack()
{
    QVERIFY(moreLines(m_folder));
    const QString log = m_folder + "lines.log";
    QVERIFY(writeQueueIni(m_folder, TwoLines + QStringLiteral("[Queue]\nOnLineDown=echo \"$FUMIDORI_STATUS "
                                                              "$FUMIDORI_LINE $FUMIDORI_REASON\" >> '%1'\n"
                                                              "OnLineUp=echo \"$FUMIDORI_STATUS $FUMIDORI_LINE\" "
                                                              ">> '%1'\n")
                                                   .arg(log)));
    Run run(m_folder);
    run.settings = QueueSettings::load(m_folder);
    run.settings.delays = {0};
    run.settings.coolOffMs = 50;
    bool healthy = false;
    run.script.fault = [&](int port, const QString &) { return port == 1 && !healthy ? 2 : 0; };
    const auto add = [&](int n) {
        for (int i = 0; i < n; ++i) {
            QueuedMessage m = message(QStringLiteral("R0"));
            if (!sendqueue::add(m_folder, m).ok())
                return false;
        }
        return true;
    };
    QVERIFY(add(8));
    QVERIFY(run.start());
    QSignalSpy changed(run.runner.get(), &QueueRunner::lineChanged);
    QVERIFY(changed.wait(5000));
    QCOMPARE(changed[0], (QList<QVariant>{"a", false}));
    QCOMPARE(lineState(m_folder, 0), QStringLiteral("down"));
    // Still dead at its trial call: out again at once. Then healthy: back at its first call.
    for (const bool now : {false, true}) {
        QVERIFY(run.waitForIdle());
        QVERIFY(waitUntil({sendqueue::queueFolder(m_folder)}, [&] { return lineState(m_folder, 0) == u"trial"; }));
        const qsizetype before = changed.count(); // the first batch may have seen trials of its own
        healthy = now;
        QVERIFY(add(2));
        QVERIFY(changed.count() > before || changed.wait(5000));
        QCOMPARE(changed.last(), (QList<QVariant>{"a", now}));
    }
    QVERIFY(waitForFile(log));
    const QString told = QString("line-down a NO DIALTONE\n").repeated(changed.count() - 1) + "line-up a\n";
    QVERIFY(waitUntil({log}, [&] { return readFileBytes(log) == told.toUtf8(); }));
    run.runner->stop();
    QSignalSpy stopped(run.runner.get(), &QueueRunner::stopped);
    QVERIFY(stopped.wait(5000));
    QCOMPARE(linestatus::read(m_folder)->value("running").toBool(), false);
    QCOMPARE(lineState(m_folder, 0), QStringLiteral("stopped"));
}

// A line another program holds (the window): the runner sends on the other meanwhile and
// on the first again once it is let go.
void tst_Sender::heldLineLeftAlone()
{
    QVERIFY(moreLines(m_folder));
    QVERIFY(writeQueueIni(m_folder, TwoLines));
    auto holder = std::make_unique<Holder>();
    QVERIFY(holder->hold(LockedPort::lockPath(m_folder, 1)));
    for (int i = 0; i < 3; ++i) {
        QueuedMessage m = message(QStringLiteral("R0"));
        QVERIFY(sendqueue::add(m_folder, m).ok());
    }
    Run run(m_folder);
    run.settings = QueueSettings::load(m_folder);
    QVERIFY(run.start());
    QVERIFY(run.waitForTries(3));
    QCOMPARE(run.script.ports, (QList<int>{2, 2, 2}));
    QCOMPARE(lineState(m_folder, 0), QStringLiteral("held"));
    run.script.hang = true; // b keeps its next call: a must take the one after it
    holder.reset();
    for (int i = 0; i < 2; ++i) {
        QueuedMessage m = message(QStringLiteral("R1"));
        QVERIFY(sendqueue::add(m_folder, m).ok());
    }
    QSignalSpy calling(run.runner.get(), &QueueRunner::calling);
    while (run.script.ports.size() < 5)
        QVERIFY(calling.wait(5000));
    QVERIFY(run.script.ports.mid(3).contains(1));
    run.runner->stop();
    QSignalSpy stopped(run.runner.get(), &QueueRunner::stopped);
    QVERIFY(stopped.wait(10000));
    QCOMPARE(sendqueue::entries(m_folder, sendqueue::State::Waiting).size(), 2); // stopped calls stay queued
}

void tst_Sender::queueAddForLines_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("center");
    QTest::addColumn<QString>("problem"); // empty: queued
    QTest::newRow("the window's sound card, no lines of its own") << QString() << "C"
                                                                  << "端末からだけ";
    QTest::newRow("the queue's own lines carry it") << TwoLines << "C" << QString();
    QTest::newRow("a centre some line may call")
        << QString("[Line a]\nPortNumber=1\nCenters=C\n[Line b]\nPortNumber=2\n") << "D" << QString();
    QTest::newRow("a centre no line may call") << "[Line a]\nPortNumber=1\nCenters=C\n"
                                               << "D"
                                               << "「D」にかけられる回線";
}

// What queue add checks depends on what will carry the message: the window's device, or
// the queue's own lines (checked by the runner at its start) and the centres they may call.
void tst_Sender::queueAddForLines()
{
    QFETCH(QString, ini);
    QFETCH(QString, center);
    QFETCH(QString, problem);
    QVERIFY(moreLines(m_folder));
    AppData data;
    data.folder = m_folder;
    QVERIFY(!LoadSettingsFile(data));
    data.settings.ModemKind = 9; // needs a person at a terminal
    QVERIFY(!SaveSettingsFile(data));
    if (!ini.isEmpty())
        QVERIFY(writeQueueIni(m_folder, ini));
    const auto queued = messageToQueue(m_folder, {QStringLiteral("R0"), {}, center, false}, QStringLiteral("A"),
                                       DeviceAccess{}, QueuedMessage{});
    const Outcome *refused = std::get_if<Outcome>(&queued);
    QCOMPARE(refused != nullptr, !problem.isEmpty());
    if (refused)
        QVERIFY2(refused->message.contains(problem), qPrintable(refused->message));
}

QTEST_GUILESS_MAIN(tst_Sender)
#include "tst_sender.moc"
