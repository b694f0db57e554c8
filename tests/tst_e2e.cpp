// Whole sends over a real pseudo-terminal to fumidori-modemsim, for every centre
// kind and every device kind: what the centre decodes is what was written, and
// the line carried exactly the commands of the device kind.
#include "support/centrekinds.h"
#include "support/consolefrontend.h"
#include "support/fakeplatform.h"
#include "support/filehelpers.h"
#include "support/linelogfile.h"
#include "support/modemsim.h"
#include "support/press.h"
#include "support/table.h"

#include "app/lifecycle.h"

#include "modem/comport.h"
#include "modem/modemline.h"
#include "modem/sendengine.h"
#include "modem/waiter.h"
#include "store/appdata.h"
#include "store/settingsfile.h"
#include "ui/frmmain.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// The sample's numbers, as the sends below deliver them through the simulator: numbers
// no exchange in Japan connects (030 and 040 serve nothing; no local number begins with 0).
const QString CenterNumber = QStringLiteral("03000000111");
const QString RecipientNumber = QStringLiteral("03012345678");
const QString Mail = QStringLiteral("ﾃｽﾄ ABC-123 あいう漢字");

AppData sampleData(const QString &folder, int centerKind, int modemKind, int autoTransmit)
{
    AppData data;
    data.folder = folder;
    data.settings = Settings::defaults();
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
};

} // namespace

// dials: after the centre call, before the hang-up
using Send = table::Of<int, int, int, QByteArrayList>;

namespace
{

// What each device kind writes with the built-in settings: the centre call, the
// wrapping of one string of digits ("%1"), the hang-up. The link cable keys the digits.
struct DeviceBytes {
    QByteArray call;
    QByteArray dial;
    QByteArray hangUp;
};

const DeviceBytes Devices[] = {
    {"ATZ\rATE0M1L3Q0V1X4&C1T\rATD03000000111T;\r", "ATD%1;\r", "ATH\r"},
    {"AT\rATZ\rATE0V1Q0\rATX4&C1\rATM1L3\rATH1\rATDT;\rATDT03000000111T;\r", "ATD%1;\r", "ATH\r"},
    {"ATE0Q0V1\rATD03000000111V\r", "ATD%1V\r", "ATH\r"},
    {"ATE0Q0V1\rATDV03000000111;\r", "ATDV%1;\r", "ATH\r"},
    {"ATE0M1Q0V1X4\rATD03000000111\r", "ATD%1\r", "ATH\r"},
    {"ATE0Q0V1X4\rATD03000000111#;\r", "ATD%1;\r", "ATH\r"},
    {"\xA7\x9A\x93\x9A\x9A\x9A\x9A\x9A\x9A\x91\x91\x91\x86", "", "\xA4"},
    {"ATM1L3Q0V1X4T\rATH1\rATD03000000111T;\r", "ATD%1;\r", "ATH\r"},
};

// The link cable's keys: 1-9, 0, *, #.
QByteArray linkKeys(const QByteArray &digits)
{
    QByteArray out;
    for (char d : digits)
        out += d == '0' ? '\x9A' : d == '*' ? '\x9B' : d == '#' ? '\x9C' : char(0x90 + d - '0');
    return out;
}

} // namespace

class tst_E2e : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_folder = m_dir.path() + QLatin1Char('/');
        QVERIFY(m_sim.start(m_folder, 1));
    }
    void cleanupTestCase()
    {
        m_sim.process.terminate();
        QVERIFY(m_sim.process.waitForFinished(5000));
        QVERIFY(!QFile::exists(m_folder + "ports/COM1")); // the link goes with it
    }
    void send_data()
    {
        const Send row;
        QByteArrayList plain; // centre kind 0's
        for (int kind = 0; kind < 8; ++kind) {
            QByteArrayList keys; // the message in pieces of eight characters
            for (const QByteArrayList &stage :
                 centreKindKeys(kind, "03012345678", {"*2*24433458816171869", "96979888#0402#0404#0406#2033", "#2790"}))
                keys += stage;
            QTest::addRow("centre kind %d", kind) << Send::Row{kind, 0, 0, keys};
            plain = kind ? plain : keys;
        }
        for (int kind = 1; kind < 8; ++kind)
            QTest::addRow("device kind %d", kind) << Send::Row{0, kind, 0, plain};
        QTest::addRow("automatic") << Send::Row{3, 0, 1, plain};
    }
    void send()
    {
        const auto [centerKind, modemKind, autoTransmit, dials] = Send::row();
        AppData data = sampleData(m_folder, centerKind, modemKind, autoTransmit);
        Sender sender(data, m_folder);
        pressThrough(sender.engine, [&] { sender.engine.send(); });
        QCOMPARE(sender.engine.stage(), SendStage::Done);
        QVERIFY(sender.view.errorsReported.isEmpty());
        QCOMPARE(data.history.used().size(), 1);

        const int call = m_calls++; // what the centre decoded
        QCOMPARE(m_sim.field("message", call + 1).value(call), Mail);
        QCOMPARE(m_sim.field("recipient", call + 1).value(call), RecipientNumber);
        QVERIFY(m_sim.field("centre", call + 1).value(call).startsWith(CenterNumber));

        const DeviceBytes &device = Devices[modemKind];
        QByteArray expected = device.call;
        for (const QByteArray &digits : dials)
            expected += device.dial.isEmpty() ? linkKeys(digits) : QByteArray(device.dial).replace("%1", digits);
        expected += device.hangUp;
        QCOMPARE(transcriptReceived(m_folder + "line1.txt", &m_transcriptLine), expected);
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
        QCOMPARE(data.centers[0].number, CenterNumber);
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

private:
    TempDir m_dir;
    QString m_folder;
    ModemSim m_sim;
    int m_calls = 0;
    int m_transcriptLine = 0;
};

QTEST_MAIN(tst_E2e)
#include "tst_e2e.moc"
