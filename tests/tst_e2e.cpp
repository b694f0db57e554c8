// Whole sends over a real pseudo-terminal to fumidori-modemsim, for every centre
// kind and every device kind: what the centre decodes is what was written, and
// the line carried exactly the commands of the device kind.
#include "support/consolefrontend.h"

#include "encoding/codetable.h"
#include "modem/comport.h"
#include "modem/modemline.h"
#include "modem/sendengine.h"
#include "modem/waiter.h"
#include "store/appdata.h"
#include "store/settingsfile.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace
{

const QString CenterNumber = QStringLiteral("0570000111");
const QString RecipientNumber = QStringLiteral("09012345678");
const QString Mail = QStringLiteral("ﾃｽﾄ ABC-123 あいう漢字");

// The bytes the program sent in the transcript's lines from the given one on.
QByteArray receivedSince(const QString &path, int &line)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    QByteArray out;
    for (; line < lines.size() - 1; ++line) { // the last one is not finished yet
        const QList<QByteArray> parts = lines[line].split(' ');
        if (parts.size() < 3 || parts[1] != "rx")
            continue;
        const QByteArray text = lines[line].mid(parts[0].size() + 4);
        for (int i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
                out += char(text.mid(i + 2, 2).toInt(nullptr, 16));
                i += 3;
            } else {
                out += text[i];
            }
        }
    }
    return out;
}

AppData sampleData(const QString &folder, int port, int centerKind, int modemKind, int autoTransmit)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
    data.settings.PortNumber = qint16(port);
    data.settings.ModemKind = qint16(modemKind);
    data.settings.AutoTransmit = qint16(autoTransmit);
    data.settings.MailInterval = 0; // the link cable's pause between pieces
    data.history.resize(5);
    const qint16 wait = autoTransmit ? 1 : 0;
    data.centers << MessageCenter{QStringLiteral("C"), qint16(centerKind), CenterNumber, 160, wait, wait, wait};
    data.recipients << Recipient{QStringLiteral("R"), 0, RecipientNumber};
    return data;
}

// The engine on the real port, driven by the console front end.
struct Sender {
    Sender(AppData &data, const QString &folder)
        : port(folder), line(data.settings, port, waiter), view(data), engine(data, lines, view)
    {
        view.mail = Mail;
    }
    ComPort port;
    EventLoopWaiter waiter;
    ModemLine line;
    SingleLine lines{line};
    ConsoleFrontEnd view;
    SendEngine engine;

    // Presses the send button, each time once the press has run, until the call is done
    // or the line is gone.
    void pressThrough()
    {
        for (int press = 0; press < 6 && engine.stage() != SendStage::Done; ++press) {
            QEventLoop loop;
            QObject::connect(&engine, &SendEngine::settled, &loop, &QEventLoop::quit);
            engine.send();
            if (engine.busy())
                loop.exec();
            if (!port.isOpen() && engine.stage() != SendStage::Done)
                return;
        }
    }
};

} // namespace

class tst_E2e : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void send_data();
    void send();
    void faults_data();
    void faults();
    void probe();
    void sampleSettings();

private:
    QMap<QString, QString> nextCall();
    QTemporaryDir m_dir;
    QString m_folder;
    QProcess m_sim;
    QByteArray m_out;
    int m_transcriptLine = 0;
};

void tst_E2e::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_folder = m_dir.path() + QLatin1Char('/');
    m_sim.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"),
                {"--folder", m_folder, "--port", "1", "--transcript", m_folder + "transcript.txt"});
    QVERIFY(m_sim.waitForStarted());
    m_sim.setReadChannel(QProcess::StandardError);
    QVERIFY(m_sim.waitForReadyRead(5000)); // it tells its link once the line is up
    m_sim.setReadChannel(QProcess::StandardOutput);
}

void tst_E2e::cleanupTestCase()
{
    m_sim.terminate();
    QVERIFY(m_sim.waitForFinished(5000));
    QVERIFY(!QFile::exists(m_folder + "ports/COM1")); // the link goes with it
}

// The simulator's summary of the next call that ends.
QMap<QString, QString> tst_E2e::nextCall()
{
    QElapsedTimer clock;
    clock.start();
    while (!m_out.contains("--\n") && clock.elapsed() < 5000) {
        m_sim.waitForReadyRead(200);
        m_out += m_sim.readAllStandardOutput();
    }
    const int end = int(m_out.indexOf("--\n"));
    QMap<QString, QString> call;
    for (const QString &line : QString::fromUtf8(m_out.left(end)).split(QLatin1Char('\n'))) {
        const int colon = int(line.indexOf(QStringLiteral(": ")));
        if (colon > 0)
            call[line.left(colon)] = line.mid(colon + 2);
    }
    m_out.remove(0, end < 0 ? m_out.size() : end + 3);
    return call;
}

void tst_E2e::send_data()
{
    QTest::addColumn<int>("centerKind");
    QTest::addColumn<int>("modemKind");
    QTest::addColumn<int>("autoTransmit");
    for (int kind = 0; kind < 8; ++kind)
        QTest::addRow("centre kind %d", kind) << kind << 0 << 0;
    for (int kind = 1; kind < 8; ++kind)
        QTest::addRow("device kind %d", kind) << 0 << kind << 0;
    QTest::addRow("automatic") << 3 << 0 << 1;
}

void tst_E2e::send()
{
    QFETCH(int, centerKind);
    QFETCH(int, modemKind);
    QFETCH(int, autoTransmit);
    AppData data = sampleData(m_folder, 1, centerKind, modemKind, autoTransmit);
    Sender sender(data, m_folder);
    sender.pressThrough();
    const ConsoleFrontEnd &view = sender.view;
    QCOMPARE(view.sendCaption, QStringLiteral("送ったよ！"));
    QVERIFY(view.errorsReported.isEmpty());
    QCOMPARE(data.history.used().size(), 1);

    const QMap<QString, QString> call = nextCall();
    const bool star = centerKind == 2 || centerKind == 7;
    QCOMPARE(call.value("message"), Mail);
    QCOMPARE(call.value("recipient"), RecipientNumber);
    QCOMPARE(call.value("keys"), centerKind == 5 ? "1" : star ? "#" : "");
    QCOMPARE(call.value("end"), centerKind == 7 ? "#" : "##");
    QCOMPARE(call.value("star"), star ? "yes" : "no");
    QVERIFY(call.value("centre").startsWith(CenterNumber));

    QByteArray expected;
    for (const CallStep &step : deviceRules(modemKind).callSteps(data.settings, CenterNumber))
        expected += step.bytes;
    QStringList dials = {RecipientNumber + '#'};
    if (centerKind == 5 || star)
        dials.prepend(centerKind == 5 ? "1" : "#");
    dials << messagePieces(Mail, data.settings.SendStrings) << (centerKind == 7 ? "#" : "##");
    if (star)
        dials << "*";
    for (const QString &digits : dials)
        expected += deviceRules(modemKind).dialWrites(digits).join();
    expected += deviceRules(modemKind).hangUp;
    QCOMPARE(receivedSince(m_folder + "transcript.txt", m_transcriptLine), expected);
}

void tst_E2e::faults_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("userHangsUp");
    QTest::addColumn<QString>("panel1"); // empty: the send goes through
    QTest::newRow("NO CARRIER") << QStringList{"--no-carrier-after", "4"} << false
                                << QStringLiteral("回線が切断されました");
    QTest::newRow("line closed") << QStringList{"--drop-after", "2"} << false << QStringLiteral("回線が切断されました");
    QTest::newRow("no answer") << QStringList{"--silent"} << true << QStringLiteral("電話回線を切断しました");
    QTest::newRow("answer without CR") << QStringList{"--no-cr"} << true << QStringLiteral("電話回線を切断しました");
    QTest::newRow("slow and noisy") << QStringList{"--delay", "20", "--noise", "40"} << false << QString();
}

// A device that misbehaves: the send ends cleanly, by NO CARRIER, by the line going
// away, or by the user's hang-up after a while.
void tst_E2e::faults()
{
    QFETCH(QStringList, options);
    QFETCH(bool, userHangsUp);
    QFETCH(QString, panel1);
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    QProcess sim;
    sim.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"), QStringList{"--folder", folder} + options);
    QVERIFY(sim.waitForStarted());
    sim.setReadChannel(QProcess::StandardError);
    QVERIFY(sim.waitForReadyRead(5000));
    AppData data = sampleData(folder, 1, 0, 0, 0);
    Sender sender(data, folder);
    ComPort &port = sender.port;
    const ConsoleFrontEnd &view = sender.view;
    if (userHangsUp)
        QTimer::singleShot(300, [&] { sender.engine.hangUp(); });
    sender.pressThrough();
    QVERIFY(!port.isOpen());
    for (int code : view.errorsReported)
        QCOMPARE(code, 8018);
    QVERIFY(view.errorsShown.isEmpty());
    if (panel1.isEmpty()) {
        QCOMPARE(view.sendCaption, QStringLiteral("送ったよ！"));
    } else {
        QCOMPARE(view.panels[1], panel1);
        QCOMPARE(sender.engine.stage(), SendStage::Call);
        QVERIFY(data.history.used().isEmpty());
    }
    if (options.first() == "--drop-after") {
        // A fresh line has taken the old one's place under the same link.
        port.setPortOpen(true);
        port.output("AT\r");
        QTimer::singleShot(2000, [&] { port.setPortOpen(false); });
        QCoro::waitFor(sender.line.awaitOk(0));
        QVERIFY(port.isOpen());
        port.setPortOpen(false);
    }
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
}

// What modem detection relies on: the echo as set, and the product code line.
void tst_E2e::probe()
{
    ComPort port(m_folder);
    EventLoopWaiter waiter;
    port.setPortOpen(true);
    auto ask = [&](const QByteArray &command) {
        port.output(command);
        QByteArray answer;
        QCoro::waitFor([&]() -> QCoro::Task<> {
            co_await waiter.wait(&port, 2000, [&] {
                answer += port.input();
                return answer.contains("OK\r\n");
            });
        }());
        return answer;
    };
    QVERIFY(ask("ATE1\r").endsWith("\r\nOK\r\n")); // echoed or not, as the last call left it
    QCOMPARE(ask("ATI6\r"), QByteArray("ATI6\r\r\nFUMIDORI MODEMSIM VOICE 2.32\r\n\r\nOK\r\n"));
    QCOMPARE(ask("ATE0\r"), QByteArray("ATE0\r\r\nOK\r\n"));
    QCOMPARE(ask("AT\r"), QByteArray("\r\nOK\r\n"));
    port.setPortOpen(false);
}

// --sample: a settings file that the program reads and that reaches the simulator on
// its port; a folder's own settings file is left alone.
void tst_E2e::sampleSettings()
{
    QTemporaryDir dir;
    AppData data;
    data.folder = dir.path() + QLatin1Char('/');
    auto runSample = [&] {
        QProcess sim;
        sim.start(QStringLiteral(FUMIDORI_BIN_DIR "/fumidori-modemsim"),
                  {"--folder", data.folder, "--port", "3", "--sample"});
        sim.setReadChannel(QProcess::StandardError);
        const bool up = sim.waitForStarted() && sim.waitForReadyRead(5000);
        sim.terminate();
        return up && sim.waitForFinished(5000);
    };
    QVERIFY(runSample());
    QVERIFY(!LoadSettingsFile(data));
    Settings expected = Settings::defaults();
    expected.PortNumber = 3;
    QCOMPARE(data.settings, expected);
    QCOMPARE(data.centers.size(), 1);
    QCOMPARE(data.centers[0].number, CenterNumber);
    QCOMPARE(data.recipients.size(), 1);
    QCOMPARE(data.recipients[0].number, RecipientNumber);
    QCOMPARE(data.recipients[0].centerIndex, 0);

    data.settings.PortNumber = 5;
    QVERIFY(!SaveSettingsFile(data));
    const QByteArray own = settingsfile::bytes(data);
    QVERIFY(runSample());
    QFile file(data.settingsPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), own);
}

QTEST_GUILESS_MAIN(tst_E2e)
#include "tst_e2e.moc"
