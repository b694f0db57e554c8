// The lines over pseudo-terminals with fumidori-modemsim. fumidori-send end to end: a
// send per device kind (the mobile-phone module's too) and per centre kind, with the
// exact bytes the line carried and what the centre decoded, the exit statuses, refusals
// before any byte, the --json events, the queue with failing calls, the window and a
// script sharing a folder and a line. The window against a faulty device. The simulator
// itself: its sample settings, its module, its options, its line's exclusive mode. The
// serial port on bare pseudo-terminals.
#include "support/centrekinds.h"
#include "support/fakeplatform.h"
#include "support/filehelpers.h"
#include "support/linelogfile.h"
#include "support/modemsim.h"
#include "support/otheruser.h"
#include "support/press.h"
#include "support/sendrig.h"
#include "support/table.h"

#include "app/lifecycle.h"
#include "modem/comport.h"
#include "modem/lockedport.h"
#include "modem/modemline.h"
#include "modem/sendengine.h"
#include "store/appdata.h"
#include "store/apperror.h"
#include "store/historyfile.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"
#include "ui/frmmain.h"
#include "ui/mailedit.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

const QString Tool = QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-send");

// The simulator's sample settings' numbers, which the sends below deliver through it:
// numbers no exchange in Japan connects (030 and 040 serve nothing; no local number
// begins with 0).
const QString SampleCentre = QStringLiteral("03000000111");
const QString SampleRecipient = QStringLiteral("03012345678");

// Settings on COM1 with one centre of the kind and recipients R0 and R1 (the sample's
// numbers); no waits.
bool writeSettings(const QString &folder, int modemKind, int centerKind, int okCheckNo = 0)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.settings.ModemKind = qint16(modemKind);
    data.settings.OkCheckNo = qint16(okCheckNo);
    data.settings.MailInterval = 0;
    data.centers << MessageCenter{QStringLiteral("C"), qint16(centerKind), SampleCentre, 40, 0, 0, 0};
    data.recipients << Recipient{QStringLiteral("R0"), 0, SampleRecipient}
                    << Recipient{QStringLiteral("R1"), 0, QStringLiteral("09000000001")};
    return !SaveSettingsFile(data) && !SaveHistoryFile(data);
}

QList<HistoryEntry> history(const QString &folder)
{
    AppData data;
    data.folder = folder;
    if (LoadSettingsFile(data) || LoadHistoryFile(data))
        return {};
    return data.history.used();
}

// A folder with the settings above (a modem and centre kind 0 unless told) and a
// simulator on its COM1.
struct SimFolder {
    TempDir dir;
    QString folder = dir.path() + u'/';
    ModemSim sim;
    // Many pages to one person: no rate per person here (tst_sender has its own test).
    bool start(const QStringList &options, int modemKind = 0, int centerKind = 0, int okCheckNo = 0)
    {
        return writeSettings(folder, modemKind, centerKind, okCheckNo) && QDir().mkpath(folder + "queue") &&
               writeFileBytes(folder + "queue/queue.ini", "[Queue]\nMaxPerPerson=0\n") && sim.start(folder, 1, options);
    }
};

ToolRun runSend(const QStringList &args)
{
    return runTool(Tool, args, {}, QProcessEnvironment::systemEnvironment(), 60000);
}

// What each device kind writes with the built-in settings: the centre call ("%1" the
// number), the wrapping of one string of digits ("%1"), the hang-up. The link cable
// (kind 6) keys the digits.
const QByteArray Devices[][3] = {
    {"ATZ\rATE0M1L3Q0V1X4&C1T\rATD%1T;\r", "ATD%1;\r", "ATH\r"},
    {"AT\rATZ\rATE0V1Q0\rATX4&C1\rATM1L3\rATH1\rATDT;\rATDT%1T;\r", "ATD%1;\r", "ATH\r"},
    {"ATE0Q0V1\rATD%1V\r", "ATD%1V\r", "ATH\r"},
    {"ATE0Q0V1\rATDV%1;\r", "ATDV%1;\r", "ATH\r"},
    {"ATE0M1Q0V1X4\rATD%1\r", "ATD%1\r", "ATH\r"},
    {"ATE0Q0V1X4\rATD%1#;\r", "ATD%1;\r", "ATH\r"},
    {"\xA7%1\x86", "%1", "\xA4"},
    {"ATM1L3Q0V1X4T\rATH1\rATD%1T;\r", "ATD%1;\r", "ATH\r"},
};

// The whole call's bytes on the line for R0, the text below, with centre C of the kind.
QByteArray lineBytes(int modemKind, int centerKind)
{
    const auto wrap = [modemKind](int part, QByteArray digits) {
        if (modemKind == 6) // the link cable's keys: 1-9, 0, *, #
            for (char &d : digits)
                d = d == '0' ? '\x9A' : d == '*' ? '\x9B' : d == '#' ? '\x9C' : char(0x90 + d - '0');
        return QByteArray(Devices[modemKind][part]).replace("%1", digits);
    };
    QByteArray bytes = wrap(0, SampleCentre.toLatin1());
    for (const QByteArrayList &stage : centreKindKeys(
             centerKind, SampleRecipient.toLatin1(), {"*2*24433458816171869", "96979888#0402#0404#0406#2033", "#2790"}))
        for (const QByteArray &digits : stage)
            bytes += wrap(1, digits);
    return bytes + Devices[modemKind][2];
}

// What the descriptor gives until done says it is enough, or nothing more comes for ms.
QByteArray readUntil(int fd, const std::function<bool(const QByteArray &)> &done, int ms = 2000)
{
    QByteArray out;
    char buffer[512];
    pollfd readable{fd, POLLIN, 0};
    for (ssize_t n = 0; !done(out) && ::poll(&readable, 1, ms) == 1 && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        out.append(buffer, n);
    return out;
}

// A pseudo-terminal whose far end is linked as COMn of a program folder.
struct Pty {
    int master = -1;
    int slave = -1;
    QString path;
    Pty()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = QString::fromLocal8Bit(name);
    }
    ~Pty() { close(); }
    void close()
    {
        for (int *fd : {&master, &slave}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }
};

int codeOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const AppError &error) {
        return error.code();
    }
    return 0;
}

// Sends one command to the simulator; returns the answer up to its final line.
QByteArray command(QSerialPort &line, const QByteArray &text)
{
    line.write(text + '\r');
    QByteArray answer;
    const QDeadlineTimer deadline(5000);
    while (!answer.contains("OK\r\n") && !answer.contains("ERROR\r\n") &&
           line.waitForReadyRead(int(deadline.remainingTime())))
        answer += line.readAll();
    return answer;
}

// The --json events a run printed, one a line.
QList<QJsonObject> events(const QByteArray &out)
{
    QList<QJsonObject> events;
    for (const QByteArray &line : out.split('\n'))
        if (!line.isEmpty())
            events << QJsonDocument::fromJson(line).object();
    return events;
}

} // namespace

using Send = table::Of<int, int, int, QStringList, int>;

using RefusedBeforeAnyByte = table::Of<QString, QString>;

// presses: of the send button, while the port is open; cutAfterMs: the hang-up button, pressed while the call waits; 0:
// never
using LineFaults = table::Of<QStringList, int, int, QString>;

// summary: empty: no call
using ModuleCall = table::Of<QList<QByteArrayList>, QStringList, QByteArray>;

using SimBadOptions = table::Of<QStringList, QString>;

using BytesThenHangUpBeforeClose = table::Of<int, QString, QByteArray>;
// link target, port, device, named, missing (fails to open)
using DeviceTexts = table::Of<QString, int, QString, QStringList, bool>;

class tst_SendLine : public QObject
{
    Q_OBJECT
private slots:
    void send_data()
    {
        const Send row;
        for (int kind = 0; kind < 8; ++kind)
            QTest::addRow("device kind %d", kind) << Send::Row{kind, 0, 0, {}, 0};
        for (int kind = 1; kind < 8; ++kind)
            QTest::addRow("centre kind %d", kind) << Send::Row{0, kind, 0, {}, 0};
        row("mobile-phone module, star stage", 8, 2, 0, {"--kind", "module"}, 0);
        row("OK not checked", 0, 0, 1, {}, 0);
        row("NO CARRIER", 0, 0, 0, {"--no-carrier-after", "4"}, 1);
        row("the call fails", 0, 0, 0, {"--fail-every", "1"}, 1);
        row("no dial tone", 0, 0, 0, {"--no-dialtone"}, 1);
        row("the centre never answers", 0, 0, 0, {"--unreachable", "03000000111"}, 1);
        row("another centre never answers", 0, 0, 0, {"--unreachable", "03000000112"}, 0);
        row("the line goes", 0, 0, 0, {"--drop-after", "3"}, 1);
    }
    // One send: the exit status, what the centre received, the history, the --json
    // events in their order, and every byte on the line.
    void send()
    {
        const auto [modemKind, centerKind, okCheckNo, simOptions, status] = Send::row();
        SimFolder f;
        QVERIFY(f.start(simOptions, modemKind, centerKind, okCheckNo));
        const QString text = QStringLiteral("ﾃｽﾄ ABC-123 あいう漢字");
        const ToolRun r = runSend({"--folder", f.folder, "--to", "R0", "--json", text});
        QVERIFY2(r.exitCode == status, qPrintable(r.err));
        QStringList order;
        const QList<QJsonObject> printed = events(r.out);
        for (const QJsonObject &e : printed) {
            const QString name = e.value("event").toString();
            const QString detail = e.value(name == "stage" ? "stage" : "status").toString();
            if (order.isEmpty() || order.last() != name + ':' + detail)
                order << name + ':' + detail;
        }
        if (status == 0) {
            QStringList expected{"stage:call", "stage:number", "stage:mail", "progress:"};
            if (centerKind == 2 || centerKind == 7)
                expected << "stage:star";
            QCOMPARE(order, expected << "stage:hungup"
                                     << "result:sent");
            QCOMPARE(printed.last().value("exit").toInt(), 0);
            QCOMPARE(f.sim.field("message", 1), QStringList{text});
            QCOMPARE(f.sim.field("recipient", 1), QStringList{SampleRecipient});
            QCOMPARE(history(f.folder).size(), 1);
            QCOMPARE(history(f.folder)[0].message, text);
        } else {
            QCOMPARE(order.last(), QStringLiteral("result:failed"));
            QVERIFY(f.sim.field("message", 1).isEmpty());
            QVERIFY(history(f.folder).isEmpty());
        }
        // The line log: every byte the simulator received, in order (its records' fields
        // and order are tst_linelog's).
        const QList<LogRecord> records = readLineLog(f.folder + "log/line.log");
        QVERIFY(records.size() > 3);
        // The outcome comes last, but for a hang-up still under way (the module's).
        qsizetype end = records.size() - 1;
        while (end > 0 && records[end].mark != '!' && (records[end].mark == '>' || records[end].mark == '<'))
            --end;
        QCOMPARE(records[end].mark, '!');
        QVERIFY2(records[end].text.startsWith(status == 0 ? "end: sent" : "end: failed: "), records[end].text);
        f.sim.process.terminate();
        QVERIFY(f.sim.process.waitForFinished(5000));
        QVERIFY(!QFile::exists(f.folder + "ports/COM1")); // the link goes with the simulator
        const QByteArray received = transcriptReceived(f.folder + "line1.txt");
        QCOMPARE(joinedLog(records, '>'), received);
        if (status == 0 && modemKind < 8)
            QCOMPARE(received, lineBytes(modemKind, centerKind));
    }
    void refusedBeforeAnyByte_data()
    {
        const RefusedBeforeAnyByte row;
        row("too long", QString(41, u'A'), "41 文字");
        row("uncodable", "A😀", "「😀」");
    }
    void refusedBeforeAnyByte()
    {
        const auto [text, said] = RefusedBeforeAnyByte::row();
        SimFolder f;
        QVERIFY(f.start({}));
        const ToolRun r = runSend({"--folder", f.folder, "--to", "R0", text});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(said), qPrintable(r.err));
        f.sim.process.terminate();
        QVERIFY(f.sim.process.waitForFinished(5000));
        QVERIFY(QFile::exists(f.folder + "line1.txt"));
        QVERIFY(!readFileBytes(f.folder + "line1.txt").contains(" rx ")); // the program wrote nothing
    }
    // Twenty messages with every third call failing, and one to a name the book does not
    // have: all twenty reach the centre once, the failed ones on their second try; the
    // unknown name waits in failed/ and delays nobody.
    void queueWithFailingCalls()
    {
        SimFolder f;
        QVERIFY(f.start({"--fail-every", "3"}));
        QStringList texts;
        for (int i = 0; i < 21; ++i) {
            QueuedMessage m;
            m.to = i == 10 ? QStringLiteral("Ghost") : QStringLiteral("R1");
            m.text = QStringLiteral("M%1").arg(i, 2, 10, QLatin1Char('0'));
            m.delays = {0};
            QVERIFY(sendqueue::add(f.folder, m).ok());
            if (i != 10)
                texts << m.text;
        }
        QProcess run;
        run.start(Tool, {"--folder", f.folder, "--json", "--quiet", "queue", "run"});
        QMap<QString, int> attempts; // the attempt each message was sent on
        int results = 0;
        while (results < 30 && run.waitForReadyRead(20000)) {
            while (run.canReadLine()) {
                const QJsonObject e = QJsonDocument::fromJson(run.readLine()).object();
                if (e.value("event") != QLatin1String("result"))
                    continue;
                ++results;
                if (e.value("status") == QLatin1String("sent"))
                    attempts[e.value("id").toString()] = e.value("attempt").toInt();
            }
        }
        run.terminate();
        QVERIFY(run.waitForFinished(10000));
        QCOMPARE(results, 30);
        QCOMPARE(f.sim.field("message", 29), texts);
        QCOMPARE(attempts.size(), 20);
        QCOMPARE(int(std::count(attempts.cbegin(), attempts.cend(), 2)), 9);
        const QList<sendqueue::Entry> left = sendqueue::list(f.folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].state, sendqueue::State::Failed);
        QVERIFY(left[0].message.failure.contains("Ghost"));
        QCOMPARE(history(f.folder).size(), 20);
    }
    // SIGTERM while a call is under way on a slow modem: the runner hangs up and ends
    // within seconds, the message stays queued with no try counted.
    void queueStopsMidCall()
    {
        SimFolder f;
        QVERIFY(f.start({"--delay", "1500"}));
        QueuedMessage m;
        m.to = QStringLiteral("R1");
        m.text = QStringLiteral("STOP");
        QVERIFY(sendqueue::add(f.folder, m).ok());
        QProcess run;
        run.start(Tool, {"--folder", f.folder, "--json", "--quiet", "queue", "run"});
        bool calling = false;
        while (!calling && run.waitForReadyRead(20000)) {
            while (run.canReadLine())
                calling =
                    calling || QJsonDocument::fromJson(run.readLine()).object().value("stage").toString() == u"call";
        }
        QVERIFY(calling);
        run.terminate();
        QVERIFY(run.waitForFinished(5000));
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.exitCode(), 0);
        const QList<sendqueue::Entry> left = sendqueue::list(f.folder);
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].state, sendqueue::State::Waiting);
        QCOMPARE(left[0].message.tried, 0);
        QVERIFY(history(f.folder).isEmpty());
    }
    // The window open on the folder. On another line a script sends meanwhile, and both
    // history entries survive the window's exit; on the window's line during its call the
    // script finds the line busy (3), and once the window has hung up it sends.
    void windowAndScript()
    {
        TempDir dir;
        const QString folder = dir.path() + u'/';
        QVERIFY(writeSettings(folder, 0, 0));
        ModemSim script, window;
        QVERIFY(script.start(folder, 1) && window.start(folder, 2));
        FakePlatform fake;
        AppData data;
        data.folder = folder;
        ComPort com(folder);
        LockedPort port(com, folder);
        frmMain w(data, fake.platform, port);
        w.Form_Load();
        data.settings.PortNumber = 2; // changed in the options, not yet saved
        w.txtMail->setPlainText(QStringLiteral("WINDOW"));
        const auto press = [&] { QVERIFY(pressAndSettle(w.engine(), [&] { w.engine().send(); })); };
        press(); // the window's call is open on COM2
        QVERIFY(w.engine().lineOpen());
        QCOMPARE(runSend({"--folder", folder, "--to", "R1", "SCRIPT"}).exitCode, 0);
        pressThrough(w.engine(), [&] { w.engine().send(); });
        QCOMPARE(w.engine().stage(), SendStage::Done);

        data.settings.PortNumber = 1; // the script's line
        press();                      // after a whole send the first press only readies the next
        press();
        QVERIFY(w.engine().lineOpen());
        const ToolRun busy = runSend({"--folder", folder, "--to", "R1", "BUSY"});
        QCOMPARE(busy.exitCode, 3);
        w.engine().hangUp();
        QCOMPARE(runSend({"--folder", folder, "--to", "R1", "AFTER"}).exitCode, 0);
        QCOMPARE(script.field("message", 2), QStringList({"SCRIPT", "AFTER"}));
        QCOMPARE(window.field("message", 1), QStringList({"WINDOW"}));

        try {
            w.cmdExit_Click();
        } catch (const ProcessEnded &) {
        }
        lifecycle::releaseInstanceLock();
        QStringList messages;
        for (const HistoryEntry &e : history(folder))
            messages << e.message;
        messages.sort(); // their order within one second is the merge's (tst_sender)
        QCOMPARE(messages, QStringList({"AFTER", "SCRIPT", "WINDOW"}));
    }
    // --sample: settings that reach the simulator and no real line, and an empty history,
    // so the first start opens on the main window without a message; a folder's own
    // settings file is left alone.
    void sampleSettings()
    {
        TempDir dir;
        AppData data;
        data.folder = dir.path() + QLatin1Char('/');
        auto runSample = [&] { return ModemSim().start(data.folder, 3, {"--sample"}); };
        QVERIFY(runSample());
        {
            FakePlatform fake;
            ComPort port(data.folder);
            frmMain window(data, fake.platform, port);
            window.Form_Load();
            lifecycle::releaseInstanceLock();
            QCOMPARE(fake.boxes.texts(), QStringList());
            QCOMPARE(window.cmbNumber->currentIndex(), 0);
            QCOMPARE(window.cmbCenter->currentIndex(), 0);
        }
        QCOMPARE(QFileInfo(data.historyPath()).size(), 0);
        Settings expected = Settings::defaults();
        expected.PortNumber = 3;
        QCOMPARE(data.settings, expected);
        QCOMPARE(data.centers.size(), 1);
        QCOMPARE(data.recipients.size(), 1);
        QCOMPARE(data.centers[0].number, SampleCentre);
        QCOMPARE(data.recipients[0].number, SampleRecipient);
        QCOMPARE(data.recipients[0].centerIndex, 0);

        data.settings.PortNumber = 5;
        QVERIFY(!SaveSettingsFile(data));
        const QByteArray own = settingsfile::bytes(data);
        QVERIFY(runSample());
        QCOMPARE(readFileBytes(data.settingsPath()), own);
    }
    // Faults on the line, seen from the main window: the real window on a real port, the
    // simulator playing a faulty device. Whatever the device does, the call ends, the
    // window is ready for the next send, and the address book and the history are what
    // they were on disk and in memory.
    void lineFaults_data()
    {
        const LineFaults row;
        const QString dropped = QStringLiteral("回線が切断されました");
        const QString cut = QStringLiteral("電話回線を切断しました");
        // Commands of a call with the built-in settings: ATZ, ATE0..., the centre, the number, the message.
        // (The engine's tests end the call after every write; here the window and the files are watched.)
        row("device gone mid-message", {"--drop-after", "5"}, 3, 0, dropped);
        row("a mebibyte of noise before each answer", {"--noise", "1048576"}, 2, 0, cut);
        row("NO CARRIER at the number", {"--no-carrier-after", "4"}, 3, 0, dropped);
        row("silent device, hung up by hand", {"--silent"}, 1, 400, cut);
        row("answers without CR, hung up by hand", {"--no-cr"}, 1, 400, cut);
        row("slow and noisy", {"--delay", "20", "--noise", "40"}, 2, 0, cut);
    }

    void lineFaults()
    {
        const auto [options, presses, cutAfterMs, panel1] = LineFaults::row();
        QTemporaryDir dir;
        const QString folder = dir.path() + QLatin1Char('/');
        // Files that reach the simulator on COM1: one centre, one recipient, one message already sent.
        AppData saved;
        saved.folder = folder;
        saved.settings = Settings::defaults();
        saved.history.resize(saved.settings.HistoryCount);
        saved.centers << MessageCenter{QStringLiteral("センター"), 0, QStringLiteral("0570000111"), 160, 3, 3, 3};
        saved.recipients << Recipient{QStringLiteral("相手"), 0, QStringLiteral("09012345678")};
        AddHistoryEntry(saved, QStringLiteral("相手"), QStringLiteral("センター"), QStringLiteral("前のメッセージ"));
        QVERIFY(!SaveSettingsFile(saved) && !SaveHistoryFile(saved));
        const QByteArray settingsBytes = readFileBytes(saved.settingsPath());
        const QByteArray historyBytes = readFileBytes(saved.historyPath());
        ModemSim sim;
        QVERIFY(sim.start(folder, 1, options));

        FakePlatform fake;
        AppData data;
        data.folder = folder;
        ComPort port(folder);
        frmMain window(data, fake.platform, port);
        window.Form_Load();
        window.txtMail->setPlainText(QStringLiteral("ABC あ"));
        if (cutAfterMs > 0)
            QTimer::singleShot(cutAfterMs, window.cmdCut, &QPushButton::click);
        for (int press = 0; press < presses && (press == 0 || port.isOpen()); ++press)
            QVERIFY(pressAndSettle(window.engine(), [&] { window.cmdButton->click(); }));
        if (port.isOpen())
            window.cmdCut->click();

        QVERIFY(!port.isOpen());
        QCOMPARE(window.statusText(1), panel1);
        QCOMPARE(window.cmdButton->text(), QStringLiteral("センターにかける"));
        QVERIFY(window.cmdButton->isEnabled());
        for (const ShownBox &box : fake.boxes.shown)
            QVERIFY2(box.text.contains(QStringLiteral("8018")), qPrintable(box.text)); // "port not open" at most
        QCOMPARE(data.centers, saved.centers);
        QCOMPARE(data.recipients, saved.recipients);
        QCOMPARE(data.history.used(), saved.history.used());
        QCOMPARE(readFileBytes(saved.settingsPath()), settingsBytes);
        QCOMPARE(readFileBytes(saved.historyPath()), historyBytes);
        lifecycle::releaseInstanceLock(); // the folder goes with this row
    }
    // fumidori-modemsim --kind module over its pseudo-terminal, talked to line by line: a
    // mobile-phone module driven by the 3GPP voice commands.
    void moduleSim_data()
    {
        // Each step: command => answer (echo included). The call's summary follows.
        const ModuleCall row;
        const QList<QByteArrayList> opening{{"ATZ", "ATZ\r\r\nOK\r\n"},
                                            {"ATE0", "ATE0\r\r\nOK\r\n"},
                                            {"AT+VTD=1", "\r\nOK\r\n"},
                                            {"ATD0,0570000111;", "\r\nOK\r\n"}};
        QList<QByteArrayList> keys;
        for (char key : QByteArray("09012345678#*2*216##"))
            keys.append({"AT+VTS=" + QByteArray(1, key), "\r\nOK\r\n"});
        const QByteArray summary("centre: 0,0570000111\nkeys: \nrecipient: 09012345678\ndigits: *2*216\nend: ##\n"
                                 "star: no\nmessage: A\n--\n");
        row("whole call", opening + keys + QList<QByteArrayList>{{"AT+CHUP", "\r\nOK\r\n"}}, {}, summary);
        row("ERROR to AT+CHUP, ATH hangs up",
            opening + keys + QList<QByteArrayList>{{"AT+CHUP", "\r\nERROR\r\n"}, {"ATH", "\r\nOK\r\n"}},
            {"--chup-error"}, summary);
        row("no data calls, no keys outside a call, no second call",
            QList<QByteArrayList>{{"ATE0", "ATE0\r\r\nOK\r\n"},
                                  {"ATD0570000111", "\r\nERROR\r\n"},
                                  {"AT+VTS=1", "\r\nERROR\r\n"},
                                  {"AT+VTD=0", "\r\nERROR\r\n"},
                                  {"ATD0570000111;", "\r\nOK\r\n"},
                                  {"ATD0570000222;", "\r\nERROR\r\n"},
                                  {"AT+VTS=x", "\r\nERROR\r\n"},
                                  {"AT+CHUP", "\r\nOK\r\n"}},
            {}, "centre: 0570000111\nkeys: \nrecipient: \ndigits: \nend: \nstar: no\nmessage: \n--\n");
    }
    void moduleSim()
    {
        const auto [steps, options, summary] = ModuleCall::row();
        SimFolder f;
        QVERIFY(f.start(QStringList{"--kind", "module"} + options));
        QSerialPort line(f.folder + "ports/COM1");
        QVERIFY(line.open(QIODevice::ReadWrite));
        for (const QByteArrayList &step : steps)
            QCOMPARE(command(line, step[0]), step[1]);
        f.sim.field("message", 1); // once the call is told
        QCOMPARE(f.sim.printed.toUtf8(), summary);
    }

    // Bad usage is exit status 2 with one line naming the problem; nothing starts.
    void simBadOptions_data()
    {
        const SimBadOptions row;
        row("port 0", {"--port", "0"}, "--port");
        row("port 16", {"--port", "16"}, "--port");
        row("port not a number", {"--port", "abc"}, "--port");
        row("negative delay", {"--delay", "-5"}, "--delay");
        row("negative noise", {"--noise", "-1"}, "--noise");
        row("SIP port 0", {"--sip", "0"}, "--sip");
        row("unknown kind", {"--kind", "fax"}, "--kind");
        row("IMEI not digits", {"--imei", "4901x"}, "--imei");
        row("unreachable: not digits", {"--unreachable", "05a0"}, "--unreachable");
        row("unreachable: 33 digits", {"--unreachable", QString(33, u'1')}, "--unreachable");
        row("stray argument", {"COM1"}, "COM1");
        row("unknown option", {"--speed", "9600"}, "speed");
    }
    void simBadOptions()
    {
        const auto [args, said] = SimBadOptions::row();
        TempDir dir;
        QProcess sim;
        sim.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"), QStringList{"--folder", dir.path()} + args);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 2);
        const QString err = QString::fromUtf8(sim.readAllStandardError());
        QVERIFY2(err.count(u'\n') == 1 && err.contains(said), qPrintable(err));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("ports"))));
    }

    // A program that set the line's exclusive mode and went away (killed, say) leaves it
    // open to the next one, as a real device's last close does.
    void exclusiveModeEndsWithItsProgram()
    {
        SimFolder f;
        QVERIFY(f.start({}));
        const QByteArray device = QFile::encodeName(f.folder + "ports/COM1");
        int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0);
        ::close(fd);
        // Once the simulator has answered a command sent after the close, it has seen it.
        // (Raw descriptors: a serial port object would clear the mode itself as it closes.)
        fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fd >= 0 && ::write(fd, "AT\r", 3) == 3);
        const QByteArray answer = readUntil(
            fd, [](const QByteArray &got) { return got.contains("OK\r\n"); }, 5000);
        ::close(fd);
        QVERIFY2(answer.contains("OK\r\n"), answer.constData());
        fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        int exclusive = -1;
        QVERIFY(fd >= 0 && ::ioctl(fd, TIOCGEXCL, &exclusive) == 0);
        ::close(fd);
        QCOMPARE(exclusive, 0);
    }

    // A program that closes its port mid-call (killed, say) ends the call, as DTR dropping
    // hangs a modem up: the next program's centre dial is a call of its own.
    void callEndsWithItsPort()
    {
        SimFolder f;
        QVERIFY(f.start({}));
        QSerialPort line(f.folder + "ports/COM1");
        QVERIFY(line.open(QIODevice::ReadWrite));
        QVERIFY(command(line, "ATD0570000111;").endsWith("OK\r\n"));
        QVERIFY(command(line, "ATD09012345678#;").endsWith("OK\r\n"));
        line.close();
        QCOMPARE(f.sim.field("dropped", 1), QStringList{"yes"});
        QVERIFY(line.open(QIODevice::ReadWrite));
        for (const char *text : {"ATD0570000222;", "ATD09012345678#;", "ATD*2*216##;", "ATH"})
            QVERIFY(command(line, text).endsWith("OK\r\n"));
        QCOMPARE(f.sim.field("centre", 2), QStringList({"0570000111", "0570000222"}));
        QCOMPARE(f.sim.field("message", 2), QStringList{"A"});
    }
    // The serial port itself over bare pseudo-terminals, from a folder of its own.
    void init()
    {
        m_folder = m_dir.path() + QStringLiteral("/");
        QDir(m_folder).mkpath(QStringLiteral("ports"));
        for (const QString &name : QDir(m_folder + QStringLiteral("ports")).entryList(QDir::System))
            QFile::remove(m_folder + QStringLiteral("ports/") + name);
    }
    // Answers arrive with readyRead; when the device goes away the port closes by itself.
    void answersThenDeviceGoes()
    {
        Pty pty;
        link(1, pty.path);
        ComPort port(m_folder);
        port.setPortOpen(true);
        // The device opened is the one named, whatever becomes of the link meanwhile.
        QVERIFY(QFile::remove(m_folder + "ports/COM1"));
        QVERIFY2(port.deviceText().endsWith(" → " + pty.path), qPrintable(port.deviceText()));
        QSignalSpy ready(&port, &SerialPort::readyRead);
        QSignalSpy closed(&port, &SerialPort::closed);
        QCOMPARE(port.input(), QByteArray()); // never waits
        QCOMPARE(::write(pty.master, "\r\nOK\r\n", 6), 6);
        QVERIFY(ready.wait(2000));
        QByteArray got = port.input();
        while (got.size() < 6 && ready.wait(500))
            got += port.input();
        QCOMPARE(got, QByteArray("\r\nOK\r\n"));

        pty.close(); // only our own end is left on the line
        QVERIFY(closed.wait(2000));
        QVERIFY(!port.isOpen());
        QCOMPARE(codeOf([&] { port.output("AT\r"); }), 8018);
    }
    // What a silent device's message names: the link and its device, the built-in port a
    // number without a link falls back to (and the missing link), or the device given. A
    // device that is not there fails to open (8002), and so does port 0.
    void deviceText_data()
    {
        const DeviceTexts row;
        row("link", "/dev/null", 4, "", {"ports/COM4 → /dev/null"}, false);
        row("no link, no ttyS", "", 255, "", {"/dev/ttyS254", "ports/COM255 というリンクがない"}, true);
        row("dangling link", "/dev/no-such-device", 4, "", {"ports/COM4 → （行き先がありません）"}, true);
        row("device given", "", 4, "/dev/ttyUSB9", {"/dev/ttyUSB9"}, false);
    }
    void deviceText()
    {
        const auto [target, number, device, named, missing] = DeviceTexts::row();
        if (!target.isEmpty())
            link(number, target);
        ComPort port(m_folder);
        port.setPortNumber(number);
        port.setDevice(device);
        for (const QString &part : named)
            QVERIFY2(port.deviceText().contains(part), qPrintable(port.deviceText()));
        if (!missing)
            return;
        if (target.isEmpty() && QFile::exists(QStringLiteral("/dev/ttyS254")))
            QSKIP("this machine has a /dev/ttyS254");
        QCOMPARE(codeOf([&] { port.setPortOpen(true); }), 8002);
        QVERIFY(!port.isOpen());
        QCOMPARE(codeOf([&] { port.output("ATH\r"); }), 8018);
        QCOMPARE(codeOf([&] { port.setPortNumber(0); }), 8002);
    }
    void heldByAnother()
    {
        Pty pty;
        link(2, pty.path);
        ComPort first(m_folder);
        first.setPortNumber(2);
        first.setPortOpen(true);
        ComPort second(m_folder);
        second.setPortNumber(2);
        QCOMPARE(codeOf([&] { second.setPortOpen(true); }), 8005);
        first.setPortOpen(false);
        // Another program holding the device under its own name.
        QSerialPort other(pty.path);
        QVERIFY(other.open(QIODevice::ReadWrite));
        QCOMPARE(codeOf([&] { second.setPortOpen(true); }), 8005);
        other.close();
        second.setPortOpen(true);
        QVERIFY(second.isOpen());
    }
    // A device the user may not open is not "in use": it gets its own code and advice naming the
    // device. Root may open anything, so a child drops to an unprivileged user for the attempt.
    void refusedIsNotInUse()
    {
        Pty pty;
        link(4, pty.path);
        const std::optional<otheruser::Ids> nobody = otheruser::nobody();
        if (!nobody)
            QSKIP("needs root and the user nobody to try an open that is refused");
        QVERIFY(
            QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ExeOther | QFile::ReadOther));
        const QString text =
            QString::fromUtf8(otheruser::asUser(*nobody, [&] {
                                  ComPort port(m_folder);
                                  port.setPortNumber(4);
                                  try {
                                      port.setPortOpen(true);
                                  } catch (const AppError &error) {
                                      return QByteArray::number(error.code()) + ' ' + error.description().toUtf8();
                                  }
                                  return QByteArray("opened");
                              }).value_or("not dropped"));
        QVERIFY2(text.startsWith(QStringLiteral("70 ")), qPrintable(text));
        QVERIFY2(text.contains(pty.path) && text.contains(QStringLiteral("COM4")) &&
                     text.contains(QStringLiteral("ログインし直して")),
                 qPrintable(text));
    }
    // Every byte value arrives unchanged; the hang-up goes out after them, before the port closes
    // and its earlier settings come back. A pseudo-terminal keeps the speed but not parity or
    // character size, so only the bytes can be checked here.
    void bytesThenHangUpBeforeClose_data()
    {
        const BytesThenHangUpBeforeClose row;
        row("modem", 0, "9600,n,8,1", "ATH\r");
        row("link cable", 6, "600,e,8,1", QByteArray(1, char(0xA4)));
    }
    void bytesThenHangUpBeforeClose()
    {
        const auto [modemKind, settings, hangUp] = BytesThenHangUpBeforeClose::row();
        Pty pty;
        link(5, pty.path);
        ComPort port(m_folder);
        port.setPortNumber(5);
        port.setSettings(settings);
        port.setPortOpen(true);
        QVERIFY(port.isOpen());
        QSignalSpy closed(&port, &SerialPort::closed);
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all += char(b);
        port.output(all);
        port.output(QByteArray(1, char(0xA4)));
        hangUpPort(port, modemKind);
        QVERIFY(!port.isOpen());
        QCOMPARE(closed.size(), 1);
        const qsizetype size = 257 + hangUp.size();
        QCOMPARE(readUntil(pty.master, [size](const QByteArray &got) { return got.size() >= size; }),
                 all + char(0xA4) + hangUp);
        QCOMPARE(codeOf([&] { port.output("ATH\r"); }), 8018);
        QCOMPARE(port.input(), QByteArray());
    }

private:
    void link(int number, const QString &target)
    {
        QVERIFY(QFile::link(target, m_folder + QStringLiteral("ports/COM%1").arg(number)));
    }
    QTemporaryDir m_dir;
    QString m_folder;
};

QTEST_MAIN(tst_SendLine)
#include "tst_sendline.moc"
