#include "modem/comport.h"
#include "modem/detector.h"
#include "modem/waiter.h"
#include "store/appdata.h"
#include "support/fakeplatform.h"
#include "support/modemsim.h"
#include "support/portbank.h"
#include "support/table.h"
#include "ui/dlgmodemdet.h"

#include <QCheckBox>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <list>
#include <memory>

namespace
{
const QByteArray echoAnswer = "ATI6\r\r\nFM56K-JP Rev.2.10\r\n\r\nOK\r\n";
const PortBank::Device echo{PortBank::Present, echoAnswer}; // a modem answering with its echo on

// Simulated modems on pseudo-terminals, linked as COMn of a temporary program folder; every
// other COM number links to nothing, so that the machine's own serial ports play no part.
struct SimulatedPorts {
    QTemporaryDir dir;
    QString folder = dir.path() + QLatin1Char('/');
    std::list<ModemSim> sims;
    bool ready = QDir().mkpath(folder + QStringLiteral("ports"));

    explicit SimulatedPorts(const QMap<int, QStringList> &modems)
    {
        for (int n = ModemDetector::FirstPort; n <= ModemDetector::LastPort; ++n) {
            if (modems.contains(n))
                ready = sims.emplace_back().start(folder, n, modems[n]) && ready;
            else
                QFile::link(QStringLiteral("/nonexistent/fumidori-no-device"),
                            folder + QStringLiteral("ports/COM%1").arg(n));
        }
    }
};
} // namespace

using ProductCodeIsCut = table::Of<QString, QString>;

// devices, result text, box (empty: none), PortNumber after, ports that opened, virtual ms (-1: not looked at)
using Scans = table::Of<QMap<int, PortBank::Device>, QString, QString, int, QList<int>, qint64>;

// Modem detection on a scripted port and virtual time: which ports answer, what the result box
// says, which port becomes PortNumber, and that the port is closed whatever happens.
class tst_dlgModemDet : public QObject
{
    Q_OBJECT

    AppData m_data;
    FakePlatform m_fake;
    std::unique_ptr<VirtualWaiter> m_waiter;
    std::unique_ptr<PortBank> m_port;
    std::unique_ptr<dlgModemDet> m_dialog;

    QPushButton *startButton() { return m_dialog->findChild<QPushButton *>("cmdDetModem"); }
    void open(const QMap<int, PortBank::Device> &devices)
    {
        m_data.settings = Settings::defaults();
        m_data.settings.PortNumber = 9;
        m_fake.boxes.shown.clear();
        m_dialog.reset();
        m_waiter = std::make_unique<VirtualWaiter>();
        m_port = std::make_unique<PortBank>(*m_waiter);
        m_port->devices = devices;
        m_dialog = std::make_unique<dlgModemDet>(m_data, m_fake.platform, *m_port, *m_waiter);
    }
    void scan(bool productCode = false)
    {
        m_dialog->findChild<QCheckBox *>("chkRevision")->setChecked(productCode);
        startButton()->click();
        m_waiter->run();
        QVERIFY(!m_port->isOpen());
        QVERIFY(startButton()->isEnabled());
    }
    static PortBank::Device silent() { return {PortBank::Present, {}}; }

private slots:

    // A scan from the last call's 600 baud: each port opened at 9600 8N1 in turn, the first
    // that answers taken; a busy port stops the scan, one this user may not open is noted
    // and passed over.
    void scans_data()
    {
        using Devices = QMap<int, PortBank::Device>;
        const Scans row;
        row("first answering port wins", Devices{{1, silent()}, {3, echo}, {5, echo}},
            "COM1 : - 未接続 -\r\nCOM3 : 検出しました\r\nCOM5 : 検出しました\r\n", {}, 3, {1, 3, 5},
            2000 + 120 + 120); // "OK" ends each wait early
        row("port in use stops the scan", Devices{{1, echo}, {2, {PortBank::InUse, {}}}, {3, echo}},
            "COM1 : 検出しました\r\n",
            "ポートがすでに使われております。\n他のソフトで使用中でないか、もう一度ご確認ください。", 9, {1}, -1);
        row("refused port noted and skipped", Devices{{1, {PortBank::Refused, {}}}, {2, echo}},
            "COM1 : - 開けません（権限がありません） -\r\nCOM2 : 検出しました\r\n", {}, 2, {2}, -1);
        row("other failure reports and closes", Devices{{2, {PortBank::Failing, {}}}}, {},
            "エラーです。\nオブジェクト : MSComm\nエラー番号   : 8010\nThe device is not available\nVer 2.32", 9, {2},
            -1);
    }
    void scans()
    {
        const auto [devices, result, box, portNumber, opened, ms] = Scans::row();
        open(devices);
        m_port->setSettings(QStringLiteral("600,e,8,1"));
        scan();
        QCOMPARE(m_fake.boxes.texts(), box.isEmpty() ? QStringList() : QStringList{box});
        if (!box.isEmpty())
            QCOMPARE(m_fake.boxes.shown[0].icon, MessageBoxes::Critical);
        QCOMPARE(m_dialog->resultText(), result);
        QCOMPARE(m_data.settings.PortNumber, qint16(portNumber));
        QCOMPARE(m_port->events.first(), QStringLiteral("open 9600,n,8,1"));
        QCOMPARE(m_port->opened, opened);
        if (ms >= 0)
            QCOMPARE(m_waiter->now(), ms);
    }

    void productCodeIsCut_data()
    {
        const ProductCodeIsCut row;
        row("echo on", QString::fromLatin1(echoAnswer), "FM56K-JP Rev.2.10\r\n");
        row("echo off", "\r\n56000\r\n\r\nOK\r\n", "56000\r\n");
        row("no line break before the code", "ABC\r\nOK\r\n", "ABC");
        row("no OK: shown whole", "  ATI6\r\r\nXYZ\r\n", "ATI6\r\r\nXYZ\r\n");
        row("OK first: shown whole", "OK\r\n", "OK\r\n");
    }
    void productCodeIsCut()
    {
        const auto [answer, code] = ProductCodeIsCut::row();
        QCOMPARE(ModemDetector::productCode(answer), code);
    }

    void closingDuringAScanStopsIt()
    {
        open({{1, silent()}, {2, silent()}, {3, echo}});
        m_waiter->after(2010, [this] { m_dialog->reject(); }); // while COM2 is probed
        m_dialog->show();
        scan();
        QCOMPARE(m_port->opened, QList<int>({1, 2}));
        QCOMPARE(m_dialog->resultText(), QStringLiteral("COM1 : - 未接続 -\r\n"));
        QVERIFY(!m_dialog->isVisible());
        QCOMPARE(m_data.settings.PortNumber, qint16(9));
    }

    // Real pseudo-terminals and real time: a silent port and one answering without CR take
    // their two seconds each; the modems on COM3 and COM5 answer at once.
    void simulatedModems()
    {
        SimulatedPorts sims({{1, {"--silent"}}, {3, {}}, {4, {"--no-cr"}}, {5, {}}});
        QVERIFY(sims.ready);
        AppData data;
        data.settings = Settings::defaults();
        ComPort port(sims.folder);
        EventLoopWaiter waiter;
        dlgModemDet dialog(data, m_fake.platform, port, waiter);
        dialog.findChild<QCheckBox *>("chkRevision")->setChecked(true);
        QCoro::waitFor(dialog.cmdDetModem_Click());
        // COM4's answer has no CR LF in front of "OK" to cut away, so its code ends without one.
        const QString code = QStringLiteral("製品コード : FUMIDORI MODEMSIM VOICE 2.32");
        QCOMPARE(dialog.resultText().split(QStringLiteral("\r\n")),
                 QStringList({"COM1 : - 未接続 -", "COM3 : 検出しました", code, "", "COM4 : 検出しました", code,
                              "COM5 : 検出しました", code, "", ""}));
        QCOMPARE(data.settings.PortNumber, qint16(3));
        QVERIFY(!port.isOpen());
    }
};

QTEST_MAIN(tst_dlgModemDet)
#include "tst_dlgmodemdet.moc"
