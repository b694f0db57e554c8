// The serial line: the bytes every device kind is sent, and the waits.
#include "support/fakeport.h"
#include "support/table.h"
#include "support/virtualwaiter.h"

#include "modem/modemline.h"
#include "store/appdata.h"

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

} // namespace

using DialDigits = table::Of<int, QString, QByteArrayList>;

// reads: one read every 10 ms
using WaitForOk = table::Of<QByteArrayList, bool, bool>;

// outside: dialled when not empty
using CallCenter = table::Of<int, QString, int, QString, int, QString, int, QString, QByteArrayList>;

class tst_ModemLine : public QObject
{
    Q_OBJECT
private slots:
    void callCenter_data()
    {
        const CallCenter row;
        // Each kind's bytes with the built-in settings are tst_e2e's, over a real line.

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
        // How each kind wraps a string of digits is tst_e2e's; here the edges.
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
};

QTEST_GUILESS_MAIN(tst_ModemLine)
#include "tst_modemline.moc"
