// Device kind 8, a mobile-phone module on the 3GPP voice commands, driven by the send
// engine on the fake port and virtual time: whole calls as literal transcripts, keys
// paced by the module's OK, ERROR to the hang-up, and NO CARRIER at every stage.
#include "support/enginerig.h"
#include "support/table.h"

#include "store/appdata.h"

#include <QTest>

namespace
{

struct Rig : EngineRig {
    QList<qint64> writeTimes;
    bool chupError = false; // the module refuses AT+CHUP

    explicit Rig(int centerKind)
    {
        oneCentre(centerKind, 2);
        data.settings.ModemKind = 8;
        data.settings.AutoTransmit = 1;
        view.mail = QStringLiteral("A");
        port.onWrite = [this](const QByteArray &bytes) {
            writeTimes << waiter.now();
            const bool last = port.writes.size() - 1 == noCarrierAt;
            const QByteArray answer = last                                ? "\r\nNO CARRIER\r\n"
                                      : bytes == "AT+CHUP\r" && chupError ? "\r\nERROR\r\n"
                                                                          : "\r\nOK\r\n";
            waiter.after(50, [this, answer] { port.receive(answer); });
        };
    }
};

// One AT+VTS per key.
QByteArray vts(const QByteArray &keys)
{
    QByteArray out;
    for (char key : keys)
        out += "AT+VTS=" + QByteArray(1, key) + '\r';
    return out;
}

const QByteArray Opening = "ATZ\rATE0\rAT+VTD=1\rATD0570000111;\r";

} // namespace

// keys: after the centre call: service key, number, message, end, star
using WholeCall = table::Of<int, QByteArray>;

using SettingsInTheCommands = table::Of<int, QString, QString, QByteArray>;

class tst_Module : public QObject
{
    Q_OBJECT
private slots:
    void wholeCall_data()
    {
        const WholeCall row;
        for (int kind : {0, 1, 3, 4, 6})
            QTest::addRow("centre kind %d", kind) << WholeCall::Row{kind, "09012345678#*2*216##"};
        row("centre kind 2", 2, "#09012345678#*2*216##*");
        row("centre kind 5", 5, "109012345678#*2*216##");
        row("centre kind 7", 7, "#09012345678#*2*216#*");
    }
    void wholeCall()
    {
        const auto [kind, keys] = WholeCall::row();
        Rig rig(kind);
        rig.press();
        QCOMPARE(rig.port.events.first(), QStringLiteral("open 115200,n,8,1"));
        QCOMPARE(rig.port.written(), Opening + vts(keys) + "AT+CHUP\r");
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(rig.data.history.used().size(), 1);
        QVERIFY(rig.view.errorsReported.isEmpty());
        // Each key waits for the module's OK to the one before.
        for (qsizetype i = 5; i < rig.writeTimes.size() - 1; ++i)
            QVERIFY2(rig.writeTimes[i] >= rig.writeTimes[i - 1] + 50, qPrintable(QString::number(i)));
    }

    void settingsInTheCommands_data()
    {
        const SettingsInTheCommands row;
        const QString none;
        row("shortest tone, at least a tenth", 40, none, none, Opening);
        row("longest tone, outside line, extra command", 500, "0", "+CLIP=0",
            "ATZ\rATE0\rAT+VTD=5\rAT+CLIP=0\rATD0,0570000111;\r");
        row("150 ms rounds to 2", 150, none, none, "ATZ\rATE0\rAT+VTD=2\rATD0570000111;\r");
    }
    void settingsInTheCommands()
    {
        const auto [toneLength, outside, extra, opening] = SettingsInTheCommands::row();
        Rig rig(0);
        rig.data.settings.ToneLength = qint16(toneLength);
        rig.data.settings.OutSide = outside;
        rig.data.settings.OutsideOn = outside.isEmpty() ? 0 : 1;
        rig.data.settings.ExCommand = extra;
        rig.data.settings.AutoTransmit = 0;
        rig.press();
        QCOMPARE(rig.port.written(), opening);
    }

    void errorToTheHangUp()
    {
        Rig rig(0);
        rig.chupError = true;
        rig.press();
        QVERIFY(rig.port.written().endsWith("AT+VTS=#\rAT+CHUP\rATH\r"));
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(rig.data.history.used().size(), 1);
        // The next call opens the port again only once the last one is closed.
        rig.press();
        QCOMPARE(rig.port.events.count(QStringLiteral("close")), 1);
    }

    void exitHangsUpWithoutWaiting()
    {
        Rig rig(0);
        rig.data.settings.AutoTransmit = 0;
        rig.press();
        rig.engine.hangUpForExit();
        QVERIFY(rig.port.written().endsWith(";\rAT+CHUP\rATH\r"));
        QVERIFY(!rig.port.isOpen());
    }
};

QTEST_GUILESS_MAIN(tst_Module)
#include "tst_module.moc"
