#include "modem/detector.h"
#include "store/appdata.h"
#include "support/fakeplatform.h"
#include "support/probeport.h"
#include "ui/dlgmodemdet.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <memory>

namespace
{
const QByteArray echoAnswer = "ATI6\r\r\nFM56K-JP Rev.2.10\r\n\r\nOK\r\n";
}

// Modem detection on a scripted port and virtual time: which ports answer, what the result box
// says, which port becomes PortNumber, and that the port is closed whatever happens.
class tst_dlgModemDet : public QObject
{
    Q_OBJECT

    AppData m_data;
    FakePlatform m_fake;
    std::unique_ptr<ProbePort> m_port;
    std::unique_ptr<ProbeWaiter> m_waiter;
    std::unique_ptr<dlgModemDet> m_dialog;

    QPushButton *startButton() { return m_dialog->findChild<QPushButton *>("cmdDetModem"); }
    void open(const QMap<int, ProbePort::Device> &devices)
    {
        m_data.settings = Settings::defaults();
        m_data.settings.PortNumber = 9;
        m_fake.boxes.shown.clear();
        m_port = std::make_unique<ProbePort>();
        m_waiter = std::make_unique<ProbeWaiter>();
        m_port->clock = &m_waiter->clock;
        m_port->devices = devices;
        m_dialog = std::make_unique<dlgModemDet>(m_data, m_fake.platform, *m_port, *m_waiter);
    }
    void scan(bool productCode = false)
    {
        m_dialog->findChild<QCheckBox *>("chkRevision")->setChecked(productCode);
        startButton()->click();
        QVERIFY(!m_port->isOpen());
        QVERIFY(startButton()->isEnabled());
    }
    static ProbePort::Device silent() { return {ProbePort::Present, {}}; }
    static ProbePort::Device modem(const QByteArray &answer) { return {ProbePort::Present, {{120, answer}}}; }

private slots:
    void noModemAnywhere()
    {
        open({{1, silent()}, {2, silent()}});
        scan();
        QCOMPARE(m_dialog->resultText(), QStringLiteral("COM1 : - 未接続 -\r\nCOM2 : - 未接続 -\r\n"));
        QCOMPARE(m_data.settings.PortNumber, qint16(9));
        QCOMPARE(m_waiter->waits, QList<qint64>({2000, 2000}));
        QCOMPARE(m_port->written, QList<QByteArray>({"ATI6\r", "ATI6\r"}));
        QCOMPARE(m_port->inputMode(), SerialPort::Text);
        QVERIFY(m_fake.boxes.shown.isEmpty());
    }

    void firstAnsweringPortWins()
    {
        open({{1, silent()}, {3, modem(echoAnswer)}, {5, modem(echoAnswer)}});
        scan();
        QCOMPARE(m_dialog->resultText(),
                 QStringLiteral("COM1 : - 未接続 -\r\nCOM3 : 検出しました\r\nCOM5 : 検出しました\r\n"));
        QCOMPARE(m_data.settings.PortNumber, qint16(3));
        QCOMPARE(m_waiter->clock, 2000 + 120 + 120); // "OK" ends each wait early
        QCOMPARE(m_port->opened, QList<int>({1, 3, 5}));
    }

    void answerWithoutOkTakesTheFullWait()
    {
        open({{4, modem("ATI6\r")}});
        scan(true);
        QCOMPARE(m_dialog->resultText(), QStringLiteral("COM4 : 検出しました\r\n製品コード : ATI6\r\n\r\n"));
        QCOMPARE(m_waiter->clock, 2000);
        QCOMPARE(m_data.settings.PortNumber, qint16(4));
    }

    void productCodeIsCut_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("code");
        QTest::newRow("echo on") << QString::fromLatin1(echoAnswer) << "FM56K-JP Rev.2.10\r\n";
        QTest::newRow("echo off") << "\r\n56000\r\n\r\nOK\r\n"
                                  << "56000\r\n";
        QTest::newRow("no line break before the code") << "ABC\r\nOK\r\n"
                                                       << "ABC";
        QTest::newRow("no OK: shown whole") << "  ATI6\r\r\nXYZ\r\n"
                                            << "ATI6\r\r\nXYZ\r\n";
        QTest::newRow("OK first: shown whole") << "OK\r\n"
                                               << "OK\r\n";
        QTest::newRow("OK second") << "\nOK\r\n"
                                   << "OK\r\n";
    }
    void productCodeIsCut()
    {
        QFETCH(QString, answer);
        QFETCH(QString, code);
        QCOMPARE(ModemDetector::productCode(answer), code);
    }

    void portInUseStopsTheScan()
    {
        open({{1, modem(echoAnswer)}, {2, {ProbePort::InUse, {}}}, {3, modem(echoAnswer)}});
        scan();
        QCOMPARE(m_fake.boxes.texts(),
                 QStringList{"ポートがすでに使われております。\n他のソフトで使用中でないか、もう一度ご確認ください。"});
        QCOMPARE(m_fake.boxes.shown[0].icon, MessageBoxes::Critical);
        QCOMPARE(m_dialog->resultText(), QStringLiteral("COM1 : 検出しました\r\n"));
        QCOMPARE(m_data.settings.PortNumber, qint16(9));
    }

    void otherFailureReportsAndCloses()
    {
        open({{2, {ProbePort::Failing, {}}}});
        scan();
        QCOMPARE(
            m_fake.boxes.texts(),
            QStringList{
                "エラーです。\nオブジェクト : MSComm\nエラー番号   : 8010\nThe device is not available\nVer 2.32"});
        QCOMPARE(m_data.settings.PortNumber, qint16(9));
    }

    void closingDuringAScanStopsIt()
    {
        open({{1, silent()}, {2, silent()}, {3, modem(echoAnswer)}});
        int waits = 0;
        m_waiter->duringWait = [&] {
            if (++waits == 2)
                m_dialog->reject();
        };
        m_dialog->show();
        scan();
        QCOMPARE(m_port->opened, QList<int>({1, 2}));
        QCOMPARE(m_dialog->resultText(), QStringLiteral("COM1 : - 未接続 -\r\n"));
        QVERIFY(!m_dialog->isVisible());
        QCOMPARE(m_data.settings.PortNumber, qint16(9));
    }
};

QTEST_MAIN(tst_dlgModemDet)
#include "tst_dlgmodemdet.moc"
