// The line through ModemManager (kind 11) on virtual time against a scripted bus: what
// it asks in which order, and that every way a call ends leaves no call behind, including
// the ones the real ModemManager cannot be made to show on cue (a hang-up while an answer
// is still out, a module that never registers, the far end hanging up mid-message).
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

const QString CallPath = QStringLiteral("/org/freedesktop/ModemManager1/Call/1");

// ModemManager with one module, answering at once, except the one method held back.
struct ScriptedBus : SystemBus {
    int state = 3;         // the module's, at the start
    bool registers = true; // enabling it ends registered
    int callEnd = 4;       // the call's state after Start: 4 active, 7 terminated
    uint reason = 0;       // why, when terminated
    int dropAfterKeys = 0; // the far end hangs up after this many digits
    QString hold;          // this method's answer waits for answerHeld()
    QStringList asked;     // the methods called, in order
    std::function<void(const BusReply &)> held;
    std::map<QString, std::function<void(const QString &, const QVariantList &)>> watches;

    void signal(const QString &path, int from, int to, uint why = 0)
    {
        if (watches.count(path))
            watches[path](path, {from, to, why});
    }
    void answerHeld(const BusReply &reply) { std::exchange(held, nullptr)(reply); }

    BusReply callNow(const QString &, const QString &, const QString &, const QString &method, const QVariantList &,
                     int) override
    {
        asked << method;
        return {};
    }
    void call(const QString &, const QString &path, const QString &, const QString &method, const QVariantList &, int,
              std::function<void(const BusReply &)> done) override
    {
        asked << method;
        if (method == hold) {
            held = std::move(done);
            return;
        }
        BusReply reply;
        if (method == u"GetNameOwner")
            reply.values = {QStringLiteral(":1.7")};
        else if (method == u"GetManagedObjects")
            reply.values = {QVariantMap{
                {QStringLiteral("/org/freedesktop/ModemManager1/Modem/0"),
                 QVariantMap{{QStringLiteral("org.freedesktop.ModemManager1.Modem.Voice"), QVariantMap{}},
                             {QStringLiteral("org.freedesktop.ModemManager1.Modem"),
                              QVariantMap{{QStringLiteral("EquipmentIdentifier"), QStringLiteral("490154203237518")},
                                          {QStringLiteral("State"), state}}}}}}};
        else if (method == u"Get")
            reply.values = {state};
        else if (method == u"CreateCall")
            reply.values = {CallPath};
        done(reply);
        if (method == u"Enable" && registers)
            signal(path, std::exchange(state, 8), 8);
        if (method == u"Start")
            signal(CallPath, 1, callEnd, reason);
        if (method == u"SendDtmf" && asked.count(QStringLiteral("SendDtmf")) == dropAfterKeys)
            signal(CallPath, 4, 7, 4);
    }
    int watch(const QString &, const QString &path, const QString &, const QString &,
              std::function<void(const QString &, const QVariantList &)> signal) override
    {
        watches[path] = std::move(signal);
        return int(watches.size());
    }
    void unwatch(int) override {}
};

struct Outcome {
    QString error;
    bool deviceFault = false;
    bool done = false;
};

// check: the idle line's check in place of the call.
QCoro::Task<> callAndKey(ModemManagerLine *line, Outcome *out, bool check)
{
    try {
        if (check) {
            co_await line->check();
            out->done = true;
            co_return;
        }
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

// state, registers, call end and reason, drop after keys, held method ("check": the idle
// check in place of the call), hang-up at (ms,
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
        row("check, registered already", 8, true, 4, 0, 0, "check", -1, false, "GetNameOwner GetManagedObjects", "",
            false);
        row("check, never registers", 3, false, 4, 0, 0, "check", -1, false,
            "GetNameOwner GetManagedObjects Enable Get", "登録されていません", true);
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
        callAndKey(&line, &out, hold == u"check");
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
