// The lines on virtual time: the serial line's bytes for every device kind and its waits;
// the mobile-phone module (kind 8) through the send engine; the line through ModemManager
// (kind 11) against a scripted bus.
#include "support/enginerig.h"
#include "support/fakeport.h"
#include "support/table.h"
#include "support/virtualwaiter.h"

#include "modem/modemline.h"
#include "modem/modemmanagerline.h"
#include "store/appdata.h"
#include "store/apperror.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const QString Center = QStringLiteral("0312345678");

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// A line of the device kind with the built-in settings, on the fake port and virtual
// time; the device answers every command ending in CR with CR LF OK CR LF at once.
struct Rig {
    Settings s = Settings::defaults();
    FakePort port;
    VirtualWaiter waiter;
    ModemLine line{s, port, waiter};
    explicit Rig(int kind = 0)
    {
        s.ModemKind = qint16(kind);
        port.onWrite = [this](const QByteArray &bytes) {
            if (bytes.endsWith('\r'))
                waiter.after(0, [this] { port.receive("\r\nOK\r\n"); });
        };
    }
};

// The engine on device kind 8, a mobile-phone module on the 3GPP voice commands: each
// command answered OK after 50 ms (or ERROR to the hang-up).
struct ModuleRig : EngineRig {
    QList<qint64> writeTimes;
    bool chupError = false; // the module refuses AT+CHUP

    explicit ModuleRig(int centerKind)
    {
        oneCentre(centerKind, 2);
        data.settings.ModemKind = 8;
        data.settings.AutoTransmit = 1;
        view.mail = QStringLiteral("A");
        port.onWrite = [this](const QByteArray &bytes) {
            writeTimes << waiter.now();
            const QByteArray answer = bytes == "AT+CHUP\r" && chupError ? "\r\nERROR\r\n" : "\r\nOK\r\n";
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

// Device kind 11, the line through ModemManager, against a scripted bus.
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

using DialDigits = table::Of<int, QString, QByteArrayList>;

// reads: one read every 10 ms
using WaitForOk = table::Of<QByteArrayList, bool, bool>;

// outside: dialled when not empty
using CallCenter = table::Of<int, QString, int, QString, int, QString, int, QString, QByteArrayList>;

// keys: after the centre call: service key, number, message, end, star; whether the module
// answers AT+CHUP with ERROR (ATH hangs up then)
using ModuleCall = table::Of<int, QByteArray, bool>;

// tone length, outside line, extra command, the bytes written; hung up for the exit
using ModuleSettings = table::Of<int, QString, QString, QByteArray, bool>;

// state, registers, call end and reason, drop after keys, held method, hang-up at (ms,
// -1 none), the held answer given after the hang-up; the methods asked, the error (part),
// whose fault.
using VoiceScript = table::Of<int, bool, int, int, int, QString, int, bool, QString, QString, bool>;

class tst_ModemLine : public QObject
{
    Q_OBJECT
private slots:
    void callCenter_data()
    {
        const CallCenter row;
        // Each kind's bytes with the built-in settings are tst_sendline's, over a real line.

        auto at = [](std::initializer_list<const char *> list) {
            QByteArrayList out;
            for (const char *c : list)
                out << QByteArray(c) + '\r';
            return out;
        };
        row("0 pulse 10 speaker off", 0, "P", 10, "", 1, "", 0, Center,
            at({"ATZ", "ATE0M0Q0V1X4&C1P&P1", "ATD0312345678T;"}));
        row("0 pulse 20 outside extra", 0, "P", 20, "0", 0, "S7=30", 0, Center,
            at({"ATZ", "ATE0M1L3Q0V1X4&C1P&P2", "ATS7=30", "ATD0,0312345678T;"}));
        row("1 pulse outside extra", 1, "P", 10, "9", 1, "X3", 2000, Center,
            at({"AT", "ATZ", "ATE0V1Q0", "ATX4&C1&P1", "ATM0", "ATX3", "ATH1", "ATDP;", "ATDP9,0312345678T;"}));
        row("2 outside not dialled", 2, "P", 10, "0", 1, "X3", 0, Center, at({"ATE0Q0V1", "ATX3", "ATD0312345678V"}));
        row("3", 3, "T", 20, "0", 0, "", 0, Center, at({"ATE0Q0V1", "ATDV0312345678;"}));
        row("4", 4, "P", 20, "0", 0, "", 0, Center, at({"ATE0M1Q0V1X4", "ATD0312345678"}));
        row("5 outside", 5, "T", 20, "0", 0, "", 0, Center, at({"ATE0Q0V1X4", "ATD0,0312345678#;"}));
        const QByteArrayList keys = {hex("a7"), hex("9a"), hex("91"), hex("92")};
        row("6 keys", 6, "T", 20, "0", 0, "X3", 1000, "0120#", keys + QByteArrayList{hex("9a"), hex("9c"), hex("86")});
        row("6 hyphen and space send nothing", 6, "T", 20, "", 0, "", 1000, "01-2 *",
            keys + QByteArrayList{hex("9b"), hex("86")});
        row("7 defaults", 7, "T", 20, "", 0, "X3", 1000, Center, at({"ATM1L3Q0V1X4T", "ATH1", "ATD0312345678T;"}));
        row("7 pulse outside", 7, "P", 20, "0", 1, "", 1000, Center,
            at({"ATM0Q0V1X4P&P2", "ATH1", "ATD0,0312345678T;"}));
    }
    void callCenter()
    {
        const auto [kind, tonePulse, dialSpeed, outside, speakerOff, extra, pauseMs, number, writes] =
            CallCenter::row();

        Rig rig(kind);
        Settings &s = rig.s;
        s.TonePulse = tonePulse;
        s.DialSpeed = qint16(dialSpeed);
        s.SpeakerOff = qint16(speakerOff);
        s.OutSide = outside;
        s.OutsideOn = outside.isEmpty() ? 0 : 1;
        s.ExCommand = extra;
        s.PortNumber = 4;
        rig.line.call(number);
        rig.waiter.run();
        QCOMPARE(rig.port.writes, writes);
        QCOMPARE(rig.waiter.now(), qint64(pauseMs));
        QCOMPARE(rig.port.portNumber(), 4);
        QCOMPARE(rig.port.events.first(),
                 kind == 6 ? QStringLiteral("open 600,e,8,1") : QStringLiteral("open 9600,n,8,1"));
    }
    // A link-cable call must not leave a modem used later in the run at 600 baud.
    void linkCableThenModem()
    {
        Rig rig(6);
        rig.line.call(Center);
        rig.waiter.run();
        rig.port.setPortOpen(false);
        rig.s.ModemKind = 0;
        rig.line.call(Center);
        rig.waiter.run();
        QCOMPARE(rig.port.settings(), QStringLiteral("9600,n,8,1"));
    }
    void dialDigits_data()
    {
        const DialDigits row;
        // How each kind wraps a string of digits is tst_sendline's; here the edges.
        row("0 no digits", 0, "", {"ATD;\r"});
        row("6", 6, "*2*2 9-0#", {hex("9b"), hex("92"), hex("9b"), hex("92"), hex("99"), hex("9a"), hex("9c")});
        row("6 nothing to send", 6, "-", {});
    }
    void dialDigits()
    {
        const auto [kind, digits, writes] = DialDigits::row();
        Rig rig(kind);
        rig.port.setPortOpen(true);
        rig.line.dial(digits);
        QCOMPARE(rig.port.writes, writes);
    }
    void waitForOk_data()
    {
        const WaitForOk row;
        row("CR LF OK CR LF", {"\r\nOK\r\n"}, true, false);
        row("OK without CR", {"\r\nOK"}, false, false);
        row("lower case", {"ok\r"}, false, false);
        row("split O|K CR", {"\r\nO", "K\r\n"}, true, false);
        row("echo then OK", {"ATZ\r", "\r\n", "OK\r\n"}, true, false);
        row("NO CARRIER", {"\r\nNO CARRIER\r\n"}, true, true);
        row("NO CARRIER before OK", {"NO CARRIER\r\nOK\r\n"}, true, true);
        row("chatter then split OK", {QByteArray(200000, 'x'), "O", "K\r"}, true, false);
    }
    void waitForOk()
    {
        const auto [reads, ends, noCarrier] = WaitForOk::row();
        Rig rig;
        rig.port.setPortOpen(true);
        bool hungUp = false;
        QObject::connect(&rig.line, &Line::noCarrier, [&] {
            hungUp = true;
            rig.port.setPortOpen(false);
        });
        for (int i = 0; i < reads.size(); ++i)
            rig.waiter.after(10 * (i + 1), [&rig, bytes = reads[i]] { rig.port.receive(bytes); });
        bool ended = true;
        try {
            rig.line.awaitOk(5);
            rig.waiter.run();
        } catch (const VirtualWaiter::Stuck &) {
            ended = false;
        }
        QCOMPARE(ended, ends);
        QCOMPARE(hungUp, noCarrier);
        if (ends)
            QCOMPARE(rig.waiter.now(), qint64(10 * reads.size())); // no time limit, and no extra wait
    }
    // The hang-up button closes the port under a wait: every wait ends there.
    void waitsEndWhenPortCloses()
    {
        Rig rig;
        rig.port.setPortOpen(true);
        rig.waiter.after(300, [&] { rig.port.setPortOpen(false); });
        rig.line.awaitOk(0);
        rig.waiter.run();
        QCOMPARE(rig.waiter.now(), qint64(300));
        rig.port.setPortOpen(true);
        rig.waiter.after(200, [&] { rig.port.vanish(); });
        rig.line.pause(5);
        rig.waiter.run();
        QCOMPARE(rig.waiter.now(), qint64(500));
    }
    // Device kind 8 driven by the send engine: whole calls as literal transcripts, keys
    // paced by the module's OK, ERROR to the hang-up, and the hang-up at the exit.
    void moduleCall_data()
    {
        const ModuleCall row;
        for (int kind : {0, 1, 3, 4, 6})
            QTest::addRow("centre kind %d", kind) << ModuleCall::Row{kind, "09012345678#*2*216##", false};
        row("centre kind 2", 2, "#09012345678#*2*216##*", false);
        row("centre kind 5", 5, "109012345678#*2*216##", false);
        row("centre kind 7", 7, "#09012345678#*2*216#*", false);
        row("ERROR to the hang-up", 0, "09012345678#*2*216##", true);
    }
    void moduleCall()
    {
        const auto [kind, keys, chupError] = ModuleCall::row();
        ModuleRig rig(kind);
        rig.chupError = chupError;
        rig.press();
        QCOMPARE(rig.port.events.first(), QStringLiteral("open 115200,n,8,1"));
        QCOMPARE(rig.port.written(), Opening + vts(keys) + "AT+CHUP\r" + (chupError ? "ATH\r" : ""));
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(rig.data.history.used().size(), 1);
        QVERIFY(rig.view.errorsReported.isEmpty());
        // Each key waits for the module's OK to the one before.
        for (qsizetype i = 5; i < rig.writeTimes.size() - 1; ++i)
            QVERIFY2(rig.writeTimes[i] >= rig.writeTimes[i - 1] + 50, qPrintable(QString::number(i)));
        // The next call opens the port again only once the last one is closed.
        rig.press();
        QCOMPARE(rig.port.events.count(QStringLiteral("close")), 1);
    }

    void moduleSettings_data()
    {
        const ModuleSettings row;
        const QString none;
        row("shortest tone, at least a tenth", 40, none, none, Opening, false);
        row("longest tone, outside line, extra command", 500, "0", "+CLIP=0",
            "ATZ\rATE0\rAT+VTD=5\rAT+CLIP=0\rATD0,0570000111;\r", false);
        row("150 ms rounds to 2", 150, none, none, "ATZ\rATE0\rAT+VTD=2\rATD0570000111;\r", false);
        row("the exit hangs up without waiting", 40, none, none, Opening + "AT+CHUP\rATH\r", true);
    }
    void moduleSettings()
    {
        const auto [toneLength, outside, extra, written, exit] = ModuleSettings::row();
        ModuleRig rig(0);
        rig.data.settings.ToneLength = qint16(toneLength);
        rig.data.settings.OutSide = outside;
        rig.data.settings.OutsideOn = outside.isEmpty() ? 0 : 1;
        rig.data.settings.ExCommand = extra;
        rig.data.settings.AutoTransmit = 0;
        rig.press();
        if (exit)
            rig.engine.hangUpForExit();
        QCOMPARE(rig.port.written(), written);
        QVERIFY(!exit || !rig.port.isOpen());
    }
    // The line through ModemManager (kind 11): what it asks in which order, and that every
    // way a call ends leaves no call behind, including the ones the real ModemManager cannot
    // be made to show on cue (a hang-up while an answer is still out, a module that never
    // registers, the far end hanging up mid-message; the real one is tst_modemmanager's).
    void voiceCall_data()
    {
        const VoiceScript row;
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
    void voiceCall()
    {
        const auto [state, registers, callEnd, reason, dropAfter, hold, hangUpAt, answerLate, asked, error,
                    deviceFault] = VoiceScript::row();
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

QTEST_GUILESS_MAIN(tst_ModemLine)
#include "tst_modemline.moc"
