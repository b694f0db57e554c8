// The line through ModemManager (kind 11) on virtual time against a scripted bus: what
// it asks in which order, and that every way a call ends leaves no call behind, including
// the ones the real ModemManager cannot be made to show on cue (a hang-up while an answer
// is still out, a module that never registers, the far end hanging up mid-message).
#include "support/scriptedbus.h"
#include "support/table.h"
#include "support/virtualwaiter.h"

#include "modem/modemmanagerline.h"
#include "store/appdata.h"
#include "store/apperror.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace
{

struct Outcome {
    QString error;
    bool deviceFault = false;
    bool done = false;
};

QCoro::Task<> callAndKey(ModemManagerLine *line, Outcome *out)
{
    try {
        co_await line->call(QStringLiteral("0570000111"));
        co_await line->dial(QStringLiteral("0901#"));
        line->hangUp();
    } catch (const AppError &e) {
        out->error = e.description();
        out->deviceFault = e.deviceFault();
    }
    out->done = true;
}

} // namespace

// state, registers, call end and reason, drop after keys, held method, hang-up at (ms,
// -1 none), the held answer given after the hang-up; the methods asked, the error (part),
// whose fault.
using Script = table::Of<int, bool, int, int, int, QString, int, bool, QString, QString, bool>;

class tst_VoiceLine : public QObject
{
    Q_OBJECT

private slots:
    void call_data()
    {
        const Script row;
        const QString set = QStringLiteral("GetNameOwner GetManagedObjects Enable Get CreateCall Start ");
        const QString keys = QStringLiteral("SendDtmf SendDtmf SendDtmf SendDtmf SendDtmf ");
        row("whole call", 3, true, 4, 0, 0, "", -1, false, set + keys + "Hangup DeleteCall", "", false);
        row("enabled already", 8, true, 4, 0, 0, "", -1, false,
            "GetNameOwner GetManagedObjects CreateCall Start " + keys + "Hangup DeleteCall", "", false);
        row("never registers", 3, false, 4, 0, 0, "", -1, false, "GetNameOwner GetManagedObjects Enable Get",
            "登録されていません", true);
        row("SIM locked", 2, true, 4, 0, 0, "", -1, false, "GetNameOwner GetManagedObjects", "ロック", true);
        row("busy before active", 3, true, 7, 5, 0, "", -1, false, set + "Hangup DeleteCall", "話し中", false);
        row("never turns active", 3, true, 2, 0, 0, "", -1, false, set + "Hangup DeleteCall", "応答しませんでした",
            false);
        row("dropped after two keys", 3, true, 4, 0, 2, "", -1, false, set + "SendDtmf SendDtmf Hangup DeleteCall",
            "切れました", false);
        row("hung up while starting", 3, true, 4, 0, 0, "Start", 5000, false, set + "Hangup DeleteCall",
            "回線が切れています", false);
        row("call made after the hang-up is deleted", 3, true, 4, 0, 0, "CreateCall", 5000, true,
            "GetNameOwner GetManagedObjects Enable Get CreateCall DeleteCall", "回線が切れています", false);
    }
    void call()
    {
        const auto [state, registers, callEnd, reason, dropAfter, hold, hangUpAt, answerLate, asked, error,
                    deviceFault] = Script::row();
        QTemporaryDir dir;
        ScriptedBus bus;
        bus.state = state;
        bus.registers = registers;
        bus.callEnd = callEnd;
        bus.reason = uint(reason);
        bus.dropAfterKeys = dropAfter;
        bus.hold = hold;
        Settings settings = Settings::defaults();
        VirtualWaiter waiter;
        ModemManagerLine line(settings, dir.path() + u'/', waiter);
        line.setBus(&bus);
        line.setAnswerLimit(10000);
        int released = 0;
        connect(&line, &Line::released, this, [&] { ++released; });
        if (hangUpAt >= 0)
            waiter.after(hangUpAt, [&] { line.hangUp(); });
        Outcome out;
        callAndKey(&line, &out);
        waiter.run();
        if (answerLate)
            bus.answerHeld({{CallPath}, {}, {}});
        QVERIFY(out.done);
        QCOMPARE(bus.asked.join(u' '), asked);
        QVERIFY2(error.isEmpty() ? out.error.isEmpty() : out.error.contains(error), qPrintable(out.error));
        QCOMPARE(out.deviceFault, deviceFault);
        QCOMPARE(released, asked.endsWith(QLatin1String("Hangup DeleteCall")) ? 1 : 0);
        QCOMPARE(QDir(dir.filePath(QStringLiteral("queue/state"))).entryList(QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_VoiceLine)
#include "tst_voiceline.moc"
