// The send engine on the fake port and virtual time, driven by the console front end.
#include "support/enginerig.h"

#include "store/appdata.h"

#include <QTest>

namespace
{

const QString CenterNumber = QStringLiteral("0570000111");
const QString RecipientNumber = QStringLiteral("09012345678");
const QString Mail = QStringLiteral("ABC");

// One centre of each kind (index = kind), one recipient per centre, and a modem
// answering OK 100 ms after each command (or NO CARRIER at a chosen write).
struct Rig : EngineRig {
    SendEngine &seq = engine;
    int noCarrierAt = -1; // 0-based index of the write answered with NO CARRIER

    explicit Rig(int centerKind, int autoTransmit = 0, int waits = 3)
    {
        data.settings = Settings::defaults();
        data.settings.AutoTransmit = qint16(autoTransmit);
        data.history.resize(data.settings.HistoryCount);
        for (int kind = 0; kind < 8; ++kind) {
            data.centers << MessageCenter{QStringLiteral("C%1").arg(kind),
                                          qint16(kind),
                                          CenterNumber,
                                          160,
                                          qint16(waits),
                                          qint16(waits),
                                          qint16(waits)};
            data.recipients << Recipient{QStringLiteral("R%1").arg(kind), qint16(kind), RecipientNumber};
        }
        view.center = centerKind;
        view.recipient = centerKind;
        view.mail = Mail;
        port.onWrite = [this](const QByteArray &bytes) {
            if (!bytes.endsWith('\r') || bytes.startsWith("ATH\r"))
                return;
            const QByteArray answer = port.writes.size() - 1 == noCarrierAt ? "\r\nNO CARRIER\r\n" : "\r\nOK\r\n";
            waiter.after(100, [this, answer] { port.receive(answer); });
        };
    }
    void press(int times = 1)
    {
        for (int i = 0; i < times; ++i) {
            seq.send();
            waiter.run();
        }
    }
    QByteArray writtenSince(int from) const { return port.writes.mid(from).join(); }
};

QByteArray dial(const QString &digits)
{
    return "ATD" + digits.toLatin1() + ";\r";
}

bool hasStar(int kind)
{
    return kind == 2 || kind == 7;
}

QByteArray numberWrites(int kind)
{
    QByteArray out = kind == 5 ? dial("1") : hasStar(kind) ? dial("#") : QByteArray();
    return out + dial(RecipientNumber + '#');
}

// "ABC" in one piece (or one character a piece), then the end mark.
QByteArray mailWrites(int kind, bool onePieceEach = false)
{
    const QByteArray pieces = onePieceEach ? dial("*2*216") + dial("17") + dial("18") : dial("*2*2161718");
    return pieces + dial(kind == 7 ? "#" : "##");
}

QByteArray wholeCall(int kind)
{
    return "ATZ\rATE0M1L3Q0V1X4&C1T\r" + dial(CenterNumber + 'T') + numberWrites(kind) + mailWrites(kind) +
           (hasStar(kind) ? dial("*") : QByteArray()) + "ATH\r";
}

void addKinds()
{
    QTest::addColumn<int>("kind");
    for (int kind = 0; kind < 8; ++kind)
        QTest::addRow("centre kind %d", kind) << kind;
}

} // namespace

// The line ends while the n-th write waits: by the hang-up button, by NO CARRIER,
// or by the device going away.
enum LineEnd { HangUp, NoCarrier, Vanish };

class tst_Send : public QObject
{
    Q_OBJECT
private slots:
    void stageByStage_data() { addKinds(); }
    void stageByStage()
    {
        QFETCH(int, kind);
        Rig rig(kind);
        const QStringList captions = {QStringLiteral("電話番号を送る"),    QStringLiteral("メールを送る"),
                                      QStringLiteral("「*」メールを送る"), QStringLiteral("回線を切る"),
                                      QStringLiteral("送ったよ！"),        QStringLiteral("もう一回送る")};
        for (const QString &caption : captions) {
            if (caption == captions[2] && !hasStar(kind))
                continue;
            rig.press();
            QCOMPARE(rig.view.sendCaption, caption);
            QVERIFY(rig.view.sendEnabled);
            QCOMPARE(rig.view.menusEnabled, !rig.port.isOpen());
        }
        QCOMPARE(rig.port.written(), wholeCall(kind));
        QCOMPARE(rig.seq.stage(), SendStage::Call);
        QCOMPARE(rig.data.history.used().size(), 1);
        QCOMPARE(rig.data.history.row(0).recipientName, QStringLiteral("R%1").arg(kind));
        QCOMPARE(rig.data.history.row(0).message, Mail);
        QVERIFY(rig.view.errorsShown.isEmpty());
        QVERIFY(rig.view.errorsReported.isEmpty());
        QVERIFY(rig.view.mailEnabled);
        QCOMPARE(rig.view.panels[1], QString());
    }
    void pieces_data()
    {
        QTest::addColumn<QString>("mail");
        QTest::addColumn<int>("sendStrings");
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QStringList>("marks");
        const QString ten = QStringLiteral("ABCDEFGHIJ");
        const QStringList ends = {"Send Data OK", "Send ## OK", "Line Cut OK"};
        QTest::newRow("8") << ten << 8 << QStringList{"*2*21617181910262728", "2920"}
                           << QStringList{"", "T = 2/10", "T = -6/10"} + ends;
        QTest::newRow("20") << ten << 20 << QStringList{"*2*2161718191026272829 20"}.replaceInStrings(" ", "")
                            << QStringList{"", "T = -10/10"} + ends;
        QStringList ones{"*2*216", "17", "18", "19", "10", "26", "27", "28", "29", "20"};
        QStringList oneMarks{""};
        for (int left = 9; left >= 0; --left)
            oneMarks << QStringLiteral("T = %1/10").arg(left);
        QTest::newRow("1") << ten << 1 << ones << oneMarks + ends;
        QTest::newRow("line break counts two")
            << "A\nB" << 2 << QStringList{"*2*216", "17"} << QStringList{"", "T = 2/4", "T = 0/4"} + ends;
        QTest::newRow("kuten between") << QStringLiteral("AあB") << 2 << QStringList{"*2*216#0402", "*2*217"}
                                       << QStringList{"", "T = 1/3", "T = -1/3"} + ends;
        QTest::newRow("empty") << "" << 8 << QStringList{} << QStringList{""} + ends;
    }
    void pieces()
    {
        QFETCH(QString, mail);
        QFETCH(int, sendStrings);
        QFETCH(QStringList, pieces);
        QFETCH(QStringList, marks);
        Rig rig(0);
        rig.data.settings.SendStrings = qint16(sendStrings);
        rig.view.mail = mail;
        rig.press(2);
        const int before = int(rig.port.writes.size());
        rig.press();
        QByteArrayList expected;
        for (const QString &piece : pieces)
            expected << dial(piece);
        expected << dial("##");
        QCOMPARE(rig.port.writes.mid(before), expected);
        QCOMPARE(rig.view.clipboard, marks);
        QVERIFY(!rig.view.mailEnabled);
    }
    void automatic_data() { addKinds(); }
    void automatic()
    {
        QFETCH(int, kind);
        Rig rig(kind, 1, 4);
        rig.press();
        QCOMPARE(rig.view.sendCaption, QStringLiteral("送ったよ！"));
        QCOMPARE(rig.seq.stage(), SendStage::Done);
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(rig.port.written(), wholeCall(kind));
        QCOMPARE(rig.data.history.used().size(), 1);
        QVERIFY(rig.view.sendEnabled);
        QVERIFY(!rig.view.repeatEnabled);
        // The three waits (and 6 s before the star's hang-up) passed on the virtual clock.
        QVERIFY(rig.waiter.now() >= 3 * 4000 + (hasStar(kind) ? 6000 : 0));
        QVERIFY(rig.waiter.now() < 3 * 4000 + (hasStar(kind) ? 6000 : 0) + (kind == 5 ? 1000 : 0) + 3000);
        rig.press();
        QCOMPARE(rig.view.sendCaption, QStringLiteral("もう一回送る"));
    }
    void zeroWaitStopsChain_data()
    {
        QTest::addColumn<int>("zeroWait"); // 0 before the number, 1 before the mail, 2 before the hang-up
        QTest::addColumn<SendStage>("stage");
        QTest::addColumn<bool>("repeat");
        QTest::newRow("before number") << 0 << SendStage::Number << false;
        QTest::newRow("before mail") << 1 << SendStage::Mail << true;
        QTest::newRow("before hang-up") << 2 << SendStage::HangUp << true;
    }
    void zeroWaitStopsChain()
    {
        QFETCH(int, zeroWait);
        QFETCH(SendStage, stage);
        QFETCH(bool, repeat);
        Rig rig(0, 1, 2);
        MessageCenter &c = rig.data.centers[0];
        (zeroWait == 0 ? c.waitBeforeNumber : zeroWait == 1 ? c.waitBeforeMail : c.waitBeforeHangUp) = 0;
        rig.press();
        QCOMPARE(rig.seq.stage(), stage);
        QVERIFY(rig.port.isOpen());
        QCOMPARE(rig.view.repeatEnabled, repeat);
        QVERIFY(rig.view.sendEnabled);
        QVERIFY(rig.view.timerEnabled);
        QCOMPARE(rig.view.panels[2], QStringLiteral("0"));
    }
    void lineEndsMidCall_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("autoTransmit");
        QTest::addColumn<int>("atWrite");
        QTest::addColumn<int>("how");
        QTest::addColumn<int>("recorded"); // after the star the send is complete, and recorded
        // Kind 2 with SendStrings 1: ATZ, ATE0, ATD centre, #, number, A, B, C, ##, *.
        for (int at = 0; at < 10; ++at) {
            QTest::addRow("NO CARRIER after write %d", at) << 2 << 1 << at << int(NoCarrier) << (at == 9 ? 1 : 0);
            QTest::addRow("hang-up after write %d", at) << 2 << 1 << at << int(HangUp) << (at == 9 ? 1 : 0);
            QTest::addRow("device gone after write %d", at) << 2 << 1 << at << int(Vanish) << (at == 9 ? 1 : 0);
        }
        // NO CARRIER answering the last write of each stage, for the other centre kinds:
        // the call's three writes, the number (after "1" or "#" for some kinds), A, B, C, the end, the star.
        for (int kind : {0, 1, 3, 4, 5, 6, 7}) {
            const int number = kind == 5 || hasStar(kind) ? 4 : 3;
            const int end = number + 4;
            QTest::addRow("kind %d: NO CARRIER at the centre", kind) << kind << 1 << 2 << int(NoCarrier) << 0;
            QTest::addRow("kind %d: NO CARRIER at the number", kind) << kind << 1 << number << int(NoCarrier) << 0;
            QTest::addRow("kind %d: NO CARRIER mid-message", kind) << kind << 1 << number + 2 << int(NoCarrier) << 0;
            QTest::addRow("kind %d: NO CARRIER at the end", kind)
                << kind << 1 << end << int(NoCarrier) << (hasStar(kind) ? 0 : 1);
            if (hasStar(kind))
                QTest::addRow("kind %d: NO CARRIER at the star", kind) << kind << 1 << end + 1 << int(NoCarrier) << 1;
        }
        QTest::addRow("hang-up in the 1 s of kind 5") << 5 << 0 << 3 << int(HangUp) << 0;
        QTest::addRow("hang-up mid-mail, by hand") << 0 << 0 << 4 << int(HangUp) << 0;
    }
    void lineEndsMidCall()
    {
        QFETCH(int, kind);
        QFETCH(int, autoTransmit);
        QFETCH(int, atWrite);
        QFETCH(int, how);
        QFETCH(int, recorded);
        Rig rig(kind, autoTransmit);
        rig.data.settings.SendStrings = 1;
        if (how == NoCarrier) {
            rig.noCarrierAt = atWrite;
        } else {
            auto answer = rig.port.onWrite;
            rig.port.onWrite = [&, answer](const QByteArray &bytes) {
                answer(bytes);
                if (rig.port.writes.size() - 1 == atWrite)
                    rig.waiter.after(50, [&] { how == HangUp ? rig.seq.hangUp() : rig.port.vanish(); });
            };
        }
        do
            rig.press();
        while (rig.port.writes.size() <= atWrite && rig.port.isOpen());
        QVERIFY(!rig.port.isOpen());
        if (how == Vanish) {
            QCOMPARE(rig.port.writes.size(), atWrite + 1);
        } else {
            QCOMPARE(rig.port.writes.size(), atWrite + 2);
            // The hang-up leaves the device before the port closes (and its settings are restored).
            QCOMPARE(rig.port.events.mid(rig.port.events.size() - 3), QStringList({"> ATH%0D", "drain", "close"}));
        }
        QCOMPARE(rig.seq.stage(), SendStage::Call);
        QCOMPARE(rig.view.sendCaption, QStringLiteral("センターにかける"));
        QCOMPARE(rig.view.panels[1],
                 how == HangUp ? QStringLiteral("電話回線を切断しました") : QStringLiteral("回線が切断されました"));
        QVERIFY(rig.view.errorsShown.isEmpty());
        for (int code : rig.view.errorsReported)
            QCOMPARE(code, 8018);
        QCOMPARE(rig.data.history.used().size(), recorded);
        QVERIFY(!rig.view.repeatEnabled);
        QVERIFY(rig.view.mailEnabled);
        QVERIFY(rig.view.menusEnabled);
        QVERIFY(rig.view.sendEnabled);
        // Another user of the port (modem detection) closing it later changes nothing here.
        rig.view.panels[1].clear();
        rig.port.setPortOpen(true);
        rig.port.setPortOpen(false);
        QCOMPARE(rig.view.panels[1], QString());
    }
    void sendAgain_data() { addKinds(); }
    void sendAgain()
    {
        QFETCH(int, kind);
        Rig rig(kind);
        rig.press();
        QVERIFY(!rig.view.repeatEnabled); // the centre call is not sent again
        const QByteArrayList stages = {numberWrites(kind), mailWrites(kind), dial("*")};
        for (int s = 0; s < (hasStar(kind) ? 3 : 2); ++s) {
            rig.press();
            QVERIFY(rig.view.repeatEnabled);
            const SendStage stageAfter = rig.seq.stage();
            const int before = int(rig.port.writes.size());
            rig.seq.sendAgain();
            rig.waiter.run();
            QCOMPARE(rig.writtenSince(before), stages[s]);
            QCOMPARE(rig.seq.stage(), stageAfter);
            QVERIFY(rig.view.repeatEnabled);
        }
        // The hang-up button at the last stage records the send as the send button would.
        rig.seq.hangUp();
        QVERIFY(!rig.view.repeatEnabled);
        QCOMPARE(rig.data.history.used().size(), 1);
    }
    void refusals()
    {
        Rig rig(0);
        rig.view.center = -1;
        rig.press();
        QCOMPARE(rig.view.errorsShown, QStringList{QStringLiteral("センターを選択してください。")});
        QVERIFY(rig.port.events.isEmpty());

        rig.view.center = 0;
        rig.port.failOpenWith = 8005;
        rig.press();
        QCOMPARE(rig.view.errorsReported, QList<int>{8005});
        QCOMPARE(rig.seq.stage(), SendStage::Call);
        QVERIFY(rig.port.writes.isEmpty());

        rig.port.failOpenWith = 0;
        rig.view.recipient = -1;
        rig.press(2);
        QCOMPARE(rig.view.errorsShown.last(), QStringLiteral("送信相手を選択してください。"));
        QCOMPARE(rig.seq.stage(), SendStage::Number);
        QCOMPARE(rig.port.writes.size(), 3);
        QVERIFY(rig.view.sendEnabled);
    }
    void answersNotChecked()
    {
        Rig rig(0, 1);
        rig.data.settings.OkCheckNo = 1;
        rig.data.settings.MailInterval = 2;
        rig.data.settings.SendStrings = 1;
        rig.press(5);
        QCOMPARE(rig.port.nonEmptyReads, 0);
        QCOMPARE(rig.port.written(), "ATZ\rATE0M1L3Q0V1X4&C1T\r" + dial(CenterNumber + 'T') + numberWrites(0) +
                                         mailWrites(0, true) + "ATH\r");
        QCOMPARE(rig.waiter.now(),
                 qint64(Mail.size() * 2000)); // only the pauses between pieces
        QVERIFY(!rig.view.repeatEnabled);
    }
};

QTEST_GUILESS_MAIN(tst_Send)
#include "tst_send.moc"
