// The send engine on the fake port and virtual time, driven by the console front end.
#include "support/centrekinds.h"
#include "support/enginerig.h"
#include "support/table.h"

#include "modem/stagetexts.h"
#include "store/appdata.h"

#include <QTest>

namespace
{

// The modem's set-up and the call to the centre, the same for every centre kind.
const QByteArray Opening = "ATZ\rATE0M1L3Q0V1X4&C1T\rATD0570000111T;\r";

// One centre of each kind (index = kind), one recipient per centre, and a modem
// answering OK 100 ms after each command (or NO CARRIER at a chosen write).
struct Rig : EngineRig {
    explicit Rig(int centerKind, int autoTransmit = 0, int waits = 3)
    {
        data.settings = Settings::defaults();
        data.settings.AutoTransmit = qint16(autoTransmit);
        data.history.resize(data.settings.HistoryCount);
        const qint16 wait = qint16(waits);
        for (int kind = 0; kind < 8; ++kind) {
            data.centers << MessageCenter{
                QStringLiteral("C%1").arg(kind), qint16(kind), QStringLiteral("0570000111"), 160, wait, wait, wait};
            data.recipients << Recipient{QStringLiteral("R%1").arg(kind), qint16(kind), QStringLiteral("09012345678")};
        }
        view.center = view.recipient = centerKind;
        view.mail = QStringLiteral("ABC");
        answerCommands();
    }
};

// What each centre kind's stages write after the call, each string of digits a dial.
using Kinds = table::Of<int, QByteArrayList>;

// One row for each centre kind.
void addKinds(const std::function<void(const QByteArray &tag, int kind, const QByteArrayList &stages)> &row)
{
    for (int kind = 0; kind < 8; ++kind) {
        QByteArrayList writes;
        for (const QByteArrayList &keys : centreKindKeys(kind, "09012345678", {"*2*2161718"}))
            writes << "ATD" + keys.join(";\rATD") + ";\r";
        row("centre kind " + QByteArray::number(kind), kind, writes);
    }
}

constexpr qint64 Limit = 60000;

} // namespace

// The line ends while the n-th write waits: by the hang-up button, by NO CARRIER,
// or by the device going away.
enum LineEnd { HangUp, NoCarrier, Vanish };

using Pieces = table::Of<QString, int, QStringList, QStringList>;

// zeroWait: 0 before the number, 1 before the mail, 2 before the hang-up
using ZeroWaitStopsChain = table::Of<int, SendStage, bool>;

// recorded: after the star the send is complete, and recorded
using LineEndsMidCall = table::Of<int, int, int, int, int>;

// stages; AutoTransmit, the centre's waits, OkCheckNo, unattended
using Chained = table::Of<int, QByteArrayList, int, int, int, bool>;

// answer: empty: none at all; endsAt: virtual ms, 0: not looked at
using UnattendedEnds = table::Of<int, QByteArray, QString, qint64, bool>;

class tst_Send : public QObject
{
    Q_OBJECT
private slots:
    void stageByStage_data() { addKinds(Kinds()); }
    void stageByStage()
    {
        const auto [kind, stages] = Kinds::row();
        Rig rig(kind);
        QList<SendStage> next{SendStage::Number, SendStage::Mail, SendStage::Star,
                              SendStage::HangUp, SendStage::Done, SendStage::Call};
        if (stages.size() < 3)
            next.removeOne(SendStage::Star);
        for (SendStage stage : next) {
            rig.press();
            QCOMPARE(rig.engine.stage(), stage);
            QVERIFY(rig.view.sendEnabled);
            QCOMPARE(rig.view.menusEnabled, !rig.port.isOpen());
        }
        QCOMPARE(rig.port.written(), Opening + stages.join() + "ATH\r");
        QCOMPARE(rig.data.history.used().size(), 1);
        QVERIFY(rig.view.errorsShown.isEmpty() && rig.view.errorsReported.isEmpty());
        QVERIFY(rig.view.mailEnabled);
    }
    void pieces_data()
    {
        const Pieces row;
        const QString ten = QStringLiteral("ABCDEFGHIJ");
        const QStringList ends = {"Send Data OK", "Send ## OK", "Line Cut OK"};
        row("8", ten, 8, {"*2*21617181910262728", "2920"}, QStringList{"", "T = 2/10", "T = -6/10"} + ends);
        row("20", ten, 20,
            {"*2*2161718191026272829"
             "20"},
            QStringList{"", "T = -10/10"} + ends);
        const QStringList oneMarks{"",         "T = 9/10", "T = 8/10", "T = 7/10", "T = 6/10", "T = 5/10",
                                   "T = 4/10", "T = 3/10", "T = 2/10", "T = 1/10", "T = 0/10"};
        row("1", ten, 1, {"*2*216", "17", "18", "19", "10", "26", "27", "28", "29", "20"}, oneMarks + ends);
        row("line break counts two", "A\nB", 2, {"*2*216", "17"}, QStringList{"", "T = 2/4", "T = 0/4"} + ends);
        row("kuten between", "AあB", 2, {"*2*216#0402", "*2*217"}, QStringList{"", "T = 1/3", "T = -1/3"} + ends);
        row("empty", "", 8, {}, QStringList{""} + ends);
    }
    void pieces()
    {
        auto [mail, sendStrings, pieces, marks] = Pieces::row();
        Rig rig(0);
        rig.data.settings.SendStrings = qint16(sendStrings);
        rig.view.mail = mail;
        rig.press(2);
        const int before = int(rig.port.writes.size());
        rig.press();
        QByteArrayList expected;
        for (const QString &piece : pieces)
            expected << "ATD" + piece.toLatin1() + ";\r";
        expected << "ATD##;\r";
        QCOMPARE(rig.port.writes.mid(before), expected);
        QCOMPARE(rig.view.clipboard, marks);
        QVERIFY(!rig.view.mailEnabled);
    }
    void zeroWaitStopsChain_data()
    {
        const ZeroWaitStopsChain row;
        row("before number", 0, SendStage::Number, false);
        row("before mail", 1, SendStage::Mail, true);
        row("before hang-up", 2, SendStage::HangUp, true);
    }
    void zeroWaitStopsChain()
    {
        const auto [zeroWait, stage, repeat] = ZeroWaitStopsChain::row();
        Rig rig(0, 1, 2);
        MessageCenter &c = rig.data.centers[0];
        (zeroWait == 0 ? c.waitBeforeNumber : zeroWait == 1 ? c.waitBeforeMail : c.waitBeforeHangUp) = 0;
        rig.press();
        QCOMPARE(rig.engine.stage(), stage);
        QVERIFY(rig.port.isOpen());
        QCOMPARE(rig.view.repeatEnabled, repeat);
        QVERIFY(rig.view.sendEnabled);
        QVERIFY(rig.view.timerEnabled);
    }
    void lineEndsMidCall_data()
    {
        const LineEndsMidCall row;
        // Kind 2 with SendStrings 1: ATZ, ATE0, ATD centre, #, number, A, B, C, ##, *.
        for (int at = 0; at < 10; ++at) {
            const QByteArray after = " after write " + QByteArray::number(at);
            row("NO CARRIER" + after, 2, 1, at, int(NoCarrier), at == 9);
            row("hang-up" + after, 2, 1, at, int(HangUp), at == 9);
            row("device gone" + after, 2, 1, at, int(Vanish), at == 9);
        }
        // NO CARRIER answering the last write of each stage, for the other centre kinds:
        // the call's three writes, the number (after "1" or "#" for some kinds), A, B, C, the end, the star.
        for (int kind : {0, 1, 3, 4, 5, 6, 7}) {
            const bool star = kind == 7;
            const int number = kind == 5 || star ? 4 : 3;
            const QByteArray noCarrier = "kind " + QByteArray::number(kind) + ": NO CARRIER ";
            row(noCarrier + "at the centre", kind, 1, 2, int(NoCarrier), 0);
            row(noCarrier + "at the number", kind, 1, number, int(NoCarrier), 0);
            row(noCarrier + "mid-message", kind, 1, number + 2, int(NoCarrier), 0);
            row(noCarrier + "at the end", kind, 1, number + 4, int(NoCarrier), !star);
            if (star)
                row(noCarrier + "at the star", kind, 1, number + 5, int(NoCarrier), 1);
        }
        row("hang-up in the 1 s of kind 5", 5, 0, 3, int(HangUp), 0);
        row("hang-up mid-mail, by hand", 0, 0, 4, int(HangUp), 0);
    }
    void lineEndsMidCall()
    {
        const auto [kind, autoTransmit, atWrite, how, recorded] = LineEndsMidCall::row();
        Rig rig(kind, autoTransmit);
        rig.data.settings.SendStrings = 1;
        if (how == NoCarrier) {
            rig.noCarrierAt = atWrite;
        } else {
            auto answer = rig.port.onWrite;
            rig.port.onWrite = [&, answer](const QByteArray &bytes) {
                answer(bytes);
                if (rig.port.writes.size() - 1 == atWrite)
                    rig.waiter.after(50, [&] { how == HangUp ? rig.engine.hangUp() : rig.port.vanish(); });
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
        QCOMPARE(rig.engine.stage(), SendStage::Call);
        QCOMPARE(rig.view.status, stagetexts::lineStatus(how == HangUp ? LineStatus::HungUp : LineStatus::Dropped));
        QVERIFY(rig.view.errorsShown.isEmpty());
        for (int code : rig.view.errorsReported)
            QCOMPARE(code, 8018);
        QCOMPARE(rig.data.history.used().size(), recorded);
        QVERIFY(!rig.view.repeatEnabled);
        QVERIFY(rig.view.mailEnabled && rig.view.menusEnabled && rig.view.sendEnabled);
        // Another user of the port (modem detection) closing it later changes nothing here.
        rig.view.status.clear();
        rig.port.setPortOpen(true);
        rig.port.setPortOpen(false);
        QCOMPARE(rig.view.status, QString());
    }
    void sendAgain_data() { addKinds(Kinds()); }
    void sendAgain()
    {
        const auto [kind, stages] = Kinds::row();
        Rig rig(kind);
        rig.press();
        QVERIFY(!rig.view.repeatEnabled); // the centre call is not sent again
        for (const QByteArray &writes : stages) {
            rig.press();
            QVERIFY(rig.view.repeatEnabled);
            const SendStage stageAfter = rig.engine.stage();
            const int before = int(rig.port.writes.size());
            rig.engine.sendAgain();
            rig.waiter.run();
            QCOMPARE(rig.port.writes.mid(before).join(), writes);
            QCOMPARE(rig.engine.stage(), stageAfter);
            QVERIFY(rig.view.repeatEnabled);
        }
        // The hang-up button at the last stage records the send as the send button would.
        rig.engine.hangUp();
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
        QCOMPARE(rig.engine.stage(), SendStage::Call);
        QVERIFY(rig.port.writes.isEmpty());

        rig.port.failOpenWith = 0;
        rig.view.recipient = -1;
        rig.press(2);
        QCOMPARE(rig.view.errorsShown.last(), QStringLiteral("送信相手を選択してください。"));
        QCOMPARE(rig.engine.stage(), SendStage::Number);
        QCOMPARE(rig.port.writes.size(), 3);
        QVERIFY(rig.view.sendEnabled);
    }
    // Every centre kind's send goes through by itself with AutoTransmit, and unattended
    // whatever AutoTransmit and OkCheckNo say, waits of 0 included; each wait is taken from
    // the centre, on the virtual clock. With the OK check off, only the set-up commands'
    // answers are read.
    void chained_data()
    {
        const Chained row;
        addKinds([&](const QByteArray &tag, int kind, const QByteArrayList &stages) {
            row(tag + ", AutoTransmit, waits 4", kind, stages, 1, 4, 0, false);
            row(tag + ", unattended, waits 0, OkCheckNo 1", kind, stages, 0, 0, 1, true);
            row(tag + ", unattended, waits 3, OkCheckNo 0", kind, stages, 0, 3, 0, true);
        });
    }
    void chained()
    {
        const auto [kind, stages, autoTransmit, waits, okCheckNo, unattended] = Chained::row();
        Rig rig(kind, autoTransmit, waits);
        rig.data.settings.OkCheckNo = qint16(okCheckNo);
        if (unattended)
            rig.engine.setUnattended(Limit);
        rig.press();
        QCOMPARE(rig.engine.stage(), SendStage::Done);
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(rig.port.written(), Opening + stages.join() + "ATH\r");
        QCOMPARE(rig.view.outcomes.size(), unattended ? 1 : 0);
        QVERIFY(rig.view.outcomes.isEmpty() || rig.view.outcomes[0].failure == Failure::None);
        QCOMPARE(rig.data.history.used().size(), 1);
        QVERIFY(rig.view.sendEnabled && !rig.view.repeatEnabled);
        if (okCheckNo == 1)
            QCOMPARE(rig.port.nonEmptyReads, 2); // ATZ and ATE0..., not the dial
        // The three waits (and 6 s before the star's hang-up); kind 5 pauses a second after its service key.
        const qint64 star = stages.size() == 3 ? qint64(SendEngine::StarToHangUpSeconds * 1000) : 0;
        const qint64 centreWaits = 3 * waits * 1000 + star;
        QVERIFY2(rig.waiter.now() >= centreWaits, QByteArray::number(rig.waiter.now()));
        QVERIFY2(rig.waiter.now() < centreWaits + (kind == 5 ? 1000 : 0) + 3000, QByteArray::number(rig.waiter.now()));
        if (!unattended) { // the next press readies the next send
            rig.press();
            QCOMPARE(rig.engine.stage(), SendStage::Call);
        }
    }
    // Unattended, a device silent beyond the limit (plus 200 ms a digit of the command),
    // or refusing the call, ends it at once as a line failure naming why; with a person
    // there the same refusal is passed over, and the send goes on at the next "OK".
    void unattendedEnds_data()
    {
        const UnattendedEnds row;
        row("silent at ATZ", 0, {}, "60 秒以内に応答しません", Limit, true);
        // ATD0570000111T; has 10 digits
        row("silent at the dial", 2, {}, "62 秒以内に応答しません", Limit + 200 + 10 * 200, true);
        row("ERROR at set-up", 1, "\r\nERROR\r\n", "ERROR と答え", qint64(0), true);
        row("BUSY", 2, "\r\nBUSY\r\n", "BUSY と答え", qint64(0), false);
        row("NO DIALTONE", 2, "\r\nNO DIALTONE\r\n", "NO DIALTONE と答え", qint64(0), true);
        row("NO ANSWER", 2, "\r\nNO ANSWER\r\n", "NO ANSWER と答え", qint64(0), false);
        // The wait after the end mark is at the hang-up stage: still no send to record.
        row("ERROR after the end mark", 5, "\r\nERROR\r\n", "ERROR と答え", qint64(0), false);
        row("ERROR split across reads mid-mail", 4, "\r\nERR|OR\r\n", "ERROR と答え", qint64(0), false);
    }
    void unattendedEnds()
    {
        const auto [atWrite, answer, why, endsAt, deviceFault] = UnattendedEnds::row();
        for (const bool attended : {false, true}) {
            Rig rig(0, 1, 0);
            auto ok = rig.port.onWrite;
            rig.port.onWrite = [&](const QByteArray &bytes) {
                if (rig.port.writes.size() - 1 != atWrite)
                    return ok(bytes);
                // A person's device answers the refusal, then "OK" after a while.
                for (const QByteArray &piece : answer.split('|'))
                    rig.waiter.after(50, [&rig, piece] { rig.port.receive(piece); });
                if (attended)
                    rig.waiter.after(500, [&rig] { rig.port.receive("\r\nOK\r\n"); });
            };
            if (attended) {
                if (answer.isEmpty())
                    continue; // silence with a person there waits for them
                rig.press(5);
                QCOMPARE(rig.port.written(), Opening + "ATD09012345678#;\rATD*2*2161718;\rATD##;\rATH\r");
                QVERIFY(rig.view.errorsReported.isEmpty());
                continue;
            }
            rig.engine.setUnattended(Limit);
            rig.press();
            QCOMPARE(rig.port.writes.size(), atWrite + 2);
            QCOMPARE(rig.port.writes.last(), QByteArray("ATH\r"));
            QVERIFY(!rig.port.isOpen());
            QCOMPARE(rig.view.outcomes.size(), 1);
            QVERIFY2(rig.view.outcomes[0].text.contains(why), qPrintable(rig.view.outcomes[0].text));
            // The device's fault, not the number's: another line may well carry the message.
            QCOMPARE(rig.view.outcomes[0].failure, deviceFault ? Failure::DeviceFailed : Failure::CallFailed);
            QCOMPARE(rig.data.history.used().size(), 0);
            if (endsAt)
                QCOMPARE(rig.waiter.now(), endsAt);
        }
    }
    // Unattended: the port held by another program is busy; a send abandoned is a
    // failure for its reason, told once, but one abandoned in the wait before its
    // hang-up had gone out: sent, and recorded once.
    void unattendedOtherEnds()
    {
        Rig busy(0);
        busy.port.failOpenWith = 8005;
        busy.engine.setUnattended(Limit);
        busy.press();
        QCOMPARE(busy.view.outcomes.size(), 1);
        QCOMPARE(busy.view.outcomes[0].failure, Failure::PortInUse); // the line's, and busy

        for (const int atWrite : {2, 5}) { // the centre call, the end mark
            const bool gone = atWrite == 5;
            Rig rig(0, 0, 3);
            rig.engine.setUnattended(Limit);
            auto ok = rig.port.onWrite;
            rig.port.onWrite = [&](const QByteArray &bytes) {
                ok(bytes);
                if (rig.port.writes.size() - 1 == atWrite)
                    rig.waiter.after(1000, [&rig] { rig.engine.abandon(QStringLiteral("止めた")); });
            };
            rig.press();
            QVERIFY(!rig.port.isOpen());
            QCOMPARE(rig.view.outcomes.size(), 1);
            QCOMPARE(rig.view.outcomes[0].failure, gone ? Failure::None : Failure::Stopped);
            QCOMPARE(rig.view.outcomes[0].text, gone ? QString() : QStringLiteral("止めた"));
            QCOMPARE(rig.data.history.used().size(), gone ? 1 : 0);
            rig.engine.abandon(QStringLiteral("again"));
            QCOMPARE(rig.view.outcomes.size(), 1);
        }
    }
    // Without the OK check nothing is read, and the mail's pieces are MailInterval apart.
    void answersNotChecked()
    {
        Rig rig(0, 1);
        rig.data.settings.OkCheckNo = 1;
        rig.data.settings.MailInterval = 2;
        rig.data.settings.SendStrings = 1;
        rig.press(5);
        QCOMPARE(rig.port.nonEmptyReads, 0);
        QCOMPARE(rig.port.written(), Opening + "ATD09012345678#;\rATD*2*216;\rATD17;\rATD18;\rATD##;\rATH\r");
        QCOMPARE(rig.waiter.now(), qint64(3 * 2000)); // only the pauses between pieces
        QVERIFY(!rig.view.repeatEnabled);
    }
};

QTEST_GUILESS_MAIN(tst_Send)
#include "tst_send.moc"
